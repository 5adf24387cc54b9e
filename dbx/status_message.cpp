#include "dbx/status_message.h"

#include <algorithm>
#include <iterator>

#include "dbx/status_codes.h"

namespace bitlay::dbx {
namespace {

std::u16string decimal(DbxStatusCode value) {
    std::u16string text;
    for (const char c : std::to_string(value)) text.push_back(static_cast<char16_t>(c));
    return text;
}

}  // namespace

std::u16string StatusMessage(const DbxStatusCode& status) {
    // A status outside the table, however wide, keeps its full value in the fallback text.
    const auto* end = std::end(status::kTable);
    const auto* found = std::lower_bound(
        std::begin(status::kTable), end, status,
        [](const status::Entry& entry, DbxStatusCode wanted) { return entry.code < wanted; });
    if (found != end && found->code == status) return found->text;
    return u"Status: " + decimal(status);
}

}  // namespace bitlay::dbx
