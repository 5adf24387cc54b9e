#include "dbx/status_message.h"

#include <algorithm>
#include <iterator>

namespace bitlay::dbx {
namespace {

struct StatusText {
    std::int16_t code;
    const char16_t* text;
};

// Sorted by code, for the binary search below.
constexpr StatusText kStatusTexts[] = {
    {0, u"Status: OK"},
    {32001, u"Connection Error"},
    {32002, u"Disconnect Error"},
    {32003, u"Bad Server Data"},
    {32004, u"Server Error"},
    {32005, u"Fatal DBX Error"},
    {32006, u"Version Incompatible"},
    {32007, u"Client Error"},
    {32008, u"Security Error"},
    {32009, u"Flip Error"},
    {32010, u"Rotate Error"},
    {32011, u"Move Error"},
    {32012, u"Highlight Error"},
    {32013, u"Delete Error"},
    {32014, u"Modify Error"},
    {32015, u"Create Error"},
    {32016, u"Database Error"},
    {32101, u"Invalid Conv Handle"},
    {32102, u"Server Terminated"},
    {32103, u"Low Memory"},
    {32104, u"Already Connected"},
    {32105, u"No Connection"},
    {32106, u"Server Busy"},
    {32121, u"Illegal Operation"},
    {32122, u"Bad Input"},
    {32123, u"Array Too Small"},
    {32124, u"Invalid Item ID"},
    {32141, u"Item Not Found"},
    {32142, u"Item Not Supported"},
    {32143, u"Illegal Item"},
    {32144, u"Shape Not Defined"},
    {32145, u"GetFirst Not Called"},
    {32146, u"GetComp Not Called"},
    {32147, u"GetNet Not Called"},
    {32161, u"No More Layers"},
    {32162, u"No More Nets"},
    {32163, u"No More Items"},
    {32164, u"No More Net Classes"},
    {32165, u"No More Class To Class Rules"},
    {32166, u"No More Rooms"},
    {32167, u"No More Room Points"},
    {32168, u"No More Components"},
    {32170, u"Invalid Angle"},
    {32171, u"Invalid Highlight Color"},
    {32172, u"Invalid Item Type"},
    {32173, u"Invalid Justification"},
    {32174, u"Invalid Layer"},
    {32175, u"Invalid Location"},
    {32176, u"Invalid Net Id"},
    {32177, u"Invalid Netname"},
    {32178, u"Invalid Padstyle"},
    {32180, u"Invalid Radius"},
    {32181, u"Invalid Refdes"},
    {32182, u"Invalid Rotation Angle"},
    {32183, u"Invalid TextStyle"},
    {32184, u"Invalid Width"},
    {32185, u"Invalid Layer Name"},
    {32186, u"Invalid Component Name"},
    {32187, u"Mismatched Part Numbers"},
    {32188, u"Mismatched Pin Numbers"},
    {32189, u"Mismatched Component Type"},
    {32190, u"Mismatched Hetero"},
    {32191, u"Invalid Line Style"},
    {32192, u"Invalid Pin Length"},
    {32193, u"Invalid Pin Style"},
    {32194, u"Invalid Alt Type"},
    {32195, u"Invalid Net Class Name"},
    {32196, u"Invalid Class To Class Id"},
    {32197, u"Invalid Net Class Id"},
    {32198, u"Invalid Layer Id"},
    {32199, u"Invalid Room Name"},
    {32200, u"Invalid Attribute Value"},
    {32201, u"Invalid Attribute Name"},
    {32205, u"Duplicate Attribute"},
    {32206, u"Duplicate Netname"},
    {32207, u"Duplicate Net Class Name"},
    {32208, u"Duplicate Class To Class Name"},
    {32209, u"Duplicate Refdes"},
    {32215, u"Component Not Found"},
    {32216, u"Layer Not Found"},
    {32217, u"Net Not Found"},
    {32218, u"Net Not Empty"},
    {32219, u"Net Exists"},
    {32220, u"Net Conflict"},
    {32221, u"Net Class Not Found"},
    {32222, u"Net Class Not Empty"},
    {32223, u"Net Class Exists"},
    {32224, u"Class To Class Not Found"},
    {32225, u"Room Not Found"},
    {32226, u"Point Not Found"},
    {32230, u"Component Cache Conflict"},
    {32231, u"Library Not Open"},
    {32232, u"Item Outside Workspace"},
    {32233, u"No Attached Pattern"},
    {32234, u"Too Few Pins"},
    {32235, u"Pindes Not Found"},
    {32236, u"Name Too Long"},
    {32237, u"Print Job Not Found"},
    {32238, u"No Print Jobs Selected"},
    {32239, u"Unable to open file"},
    {32250, u"Invalid Library Name"},
    {32251, u"Unable to open Library"},
    {32252, u"Component Already Open"},
    {32253, u"Open Component Not Called"},
    {32254, u"Save Component Failed"},
    {32255, u"Library is READ Only"},
    {32256, u"Save Symbol Failed"},
    {32257, u"Save Pattern Failed"},
    {32258, u"Internal Parameter Error"},
    {32279, u"Invalid Pin Number"},
};
static_assert(std::size(kStatusTexts) == 110);

std::u16string decimal(DbxStatusCode value) {
    std::u16string text;
    for (const char c : std::to_string(value)) text.push_back(static_cast<char16_t>(c));
    return text;
}

}  // namespace

std::u16string StatusMessage(const DbxStatusCode& status) {
    // Every listed code fits 16 bits; a wider status cannot be one of them and keeps its full value
    // in the fallback text instead of failing as a narrowing overflow.
    if (status >= INT16_MIN && status <= INT16_MAX) {
        const auto code = static_cast<std::int16_t>(status);
        const auto* end = std::end(kStatusTexts);
        const auto* found = std::lower_bound(
            std::begin(kStatusTexts), end, code,
            [](const StatusText& entry, std::int16_t wanted) { return entry.code < wanted; });
        if (found != end && found->code == code) return found->text;
    }
    return u"Status: " + decimal(status);
}

}  // namespace bitlay::dbx
