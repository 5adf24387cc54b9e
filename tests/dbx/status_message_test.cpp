#include "dbx/status_message.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <string>

#include "dbx/status_codes.h"

namespace bitlay::dbx {
namespace {

struct Listed {
    DbxStatusCode code;
    const char* text;
};

std::ostream& operator<<(std::ostream& out, const Listed& listed) { return out << listed.code; }

std::string utf8(const std::u16string& text) {
    std::string bytes;
    for (const char16_t c : text) {
        EXPECT_LT(c, 0x80) << "status texts are plain ASCII";
        bytes.push_back(static_cast<char>(c));
    }
    return bytes;
}

// Every listed code with its text, letter for letter.
const Listed kListed[] = {
    {0, "Status: OK"},
    {32001, "Connection Error"},
    {32002, "Disconnect Error"},
    {32003, "Bad Server Data"},
    {32004, "Server Error"},
    {32005, "Fatal DBX Error"},
    {32006, "Version Incompatible"},
    {32007, "Client Error"},
    {32008, "Security Error"},
    {32009, "Flip Error"},
    {32010, "Rotate Error"},
    {32011, "Move Error"},
    {32012, "Highlight Error"},
    {32013, "Delete Error"},
    {32014, "Modify Error"},
    {32015, "Create Error"},
    {32016, "Database Error"},
    {32101, "Invalid Conv Handle"},
    {32102, "Server Terminated"},
    {32103, "Low Memory"},
    {32104, "Already Connected"},
    {32105, "No Connection"},
    {32106, "Server Busy"},
    {32121, "Illegal Operation"},
    {32122, "Bad Input"},
    {32123, "Array Too Small"},
    {32124, "Invalid Item ID"},
    {32141, "Item Not Found"},
    {32142, "Item Not Supported"},
    {32143, "Illegal Item"},
    {32144, "Shape Not Defined"},
    {32145, "GetFirst Not Called"},
    {32146, "GetComp Not Called"},
    {32147, "GetNet Not Called"},
    {32161, "No More Layers"},
    {32162, "No More Nets"},
    {32163, "No More Items"},
    {32164, "No More Net Classes"},
    {32165, "No More Class To Class Rules"},
    {32166, "No More Rooms"},
    {32167, "No More Room Points"},
    {32168, "No More Components"},
    {32170, "Invalid Angle"},
    {32171, "Invalid Highlight Color"},
    {32172, "Invalid Item Type"},
    {32173, "Invalid Justification"},
    {32174, "Invalid Layer"},
    {32175, "Invalid Location"},
    {32176, "Invalid Net Id"},
    {32177, "Invalid Netname"},
    {32178, "Invalid Padstyle"},
    {32180, "Invalid Radius"},
    {32181, "Invalid Refdes"},
    {32182, "Invalid Rotation Angle"},
    {32183, "Invalid TextStyle"},
    {32184, "Invalid Width"},
    {32185, "Invalid Layer Name"},
    {32186, "Invalid Component Name"},
    {32187, "Mismatched Part Numbers"},
    {32188, "Mismatched Pin Numbers"},
    {32189, "Mismatched Component Type"},
    {32190, "Mismatched Hetero"},
    {32191, "Invalid Line Style"},
    {32192, "Invalid Pin Length"},
    {32193, "Invalid Pin Style"},
    {32194, "Invalid Alt Type"},
    {32195, "Invalid Net Class Name"},
    {32196, "Invalid Class To Class Id"},
    {32197, "Invalid Net Class Id"},
    {32198, "Invalid Layer Id"},
    {32199, "Invalid Room Name"},
    {32200, "Invalid Attribute Value"},
    {32201, "Invalid Attribute Name"},
    {32205, "Duplicate Attribute"},
    {32206, "Duplicate Netname"},
    {32207, "Duplicate Net Class Name"},
    {32208, "Duplicate Class To Class Name"},
    {32209, "Duplicate Refdes"},
    {32215, "Component Not Found"},
    {32216, "Layer Not Found"},
    {32217, "Net Not Found"},
    {32218, "Net Not Empty"},
    {32219, "Net Exists"},
    {32220, "Net Conflict"},
    {32221, "Net Class Not Found"},
    {32222, "Net Class Not Empty"},
    {32223, "Net Class Exists"},
    {32224, "Class To Class Not Found"},
    {32225, "Room Not Found"},
    {32226, "Point Not Found"},
    {32230, "Component Cache Conflict"},
    {32231, "Library Not Open"},
    {32232, "Item Outside Workspace"},
    {32233, "No Attached Pattern"},
    {32234, "Too Few Pins"},
    {32235, "Pindes Not Found"},
    {32236, "Name Too Long"},
    {32237, "Print Job Not Found"},
    {32238, "No Print Jobs Selected"},
    {32239, "Unable to open file"},
    {32250, "Invalid Library Name"},
    {32251, "Unable to open Library"},
    {32252, "Component Already Open"},
    {32253, "Open Component Not Called"},
    {32254, "Save Component Failed"},
    {32255, "Library is READ Only"},
    {32256, "Save Symbol Failed"},
    {32257, "Save Pattern Failed"},
    {32258, "Internal Parameter Error"},
    {32279, "Invalid Pin Number"},
};

class ListedStatus : public ::testing::TestWithParam<Listed> {};

TEST_P(ListedStatus, GivesItsOwnText) {
    const DbxStatusCode status = GetParam().code;
    EXPECT_EQ(utf8(StatusMessage(status)), GetParam().text);
    EXPECT_EQ(status, GetParam().code);
}

INSTANTIATE_TEST_SUITE_P(EveryCode, ListedStatus, ::testing::ValuesIn(kListed));

TEST(StatusMessage, UnlistedCodesInTheTableRangeFallBack) {
    std::set<DbxStatusCode> listed;
    for (const Listed& entry : kListed) listed.insert(entry.code);
    int fallbacks = 0;
    for (DbxStatusCode code = 32001; code <= 32279; ++code) {
        if (listed.count(code)) continue;
        ++fallbacks;
        EXPECT_EQ(utf8(StatusMessage(code)), "Status: " + std::to_string(code));
    }
    EXPECT_EQ(fallbacks, 279 - 109);
}

class FallbackStatus : public ::testing::TestWithParam<Listed> {};

TEST_P(FallbackStatus, IsPlainDecimal) {
    EXPECT_EQ(utf8(StatusMessage(GetParam().code)), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Codes, FallbackStatus,
    ::testing::Values(Listed{1, "Status: 1"}, Listed{-1, "Status: -1"},
                      Listed{32000, "Status: 32000"}, Listed{32017, "Status: 32017"},
                      Listed{32179, "Status: 32179"}, Listed{32280, "Status: 32280"},
                      Listed{32767, "Status: 32767"}, Listed{-32768, "Status: -32768"},
                      // Beyond 16 bits: the full value, never a wrapped one (97537 wraps to
                      // 32001) and never an overflow.
                      Listed{32768, "Status: 32768"}, Listed{97537, "Status: 97537"},
                      Listed{-32769, "Status: -32769"}, Listed{INT32_MAX, "Status: 2147483647"},
                      Listed{INT32_MIN, "Status: -2147483648"}));

// The texts are found by a binary search over the table, which holds only while it is sorted and
// each code is listed once.
TEST(StatusTable, IsSortedByCodeWithEachCodeOnce) {
    for (std::size_t i = 1; i < std::size(status::kTable); ++i)
        EXPECT_LT(status::kTable[i - 1].code, status::kTable[i].code) << "entry " << i;
}

}  // namespace
}  // namespace bitlay::dbx
