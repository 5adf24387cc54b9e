#include "dbx/design_opening.h"

#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <cstring>
#include <optional>
#include <ostream>
#include <string>
#include <thread>

#include "dbx/design_link.h"
#include "dbx/library_loader.h"
#include "tests/fakedbx/fake_dbx.h"

namespace bitlay::dbx {
namespace {

using namespace std::chrono_literals;

struct Ending {
    const char* what;
    DbxStatusCode openStatus;
    bool waitedFor;  // the caller took the result
    std::size_t closes;
};

void PrintTo(const Ending& ending, std::ostream* out) { *out << ending.what; }

class OpeningEnds : public ::testing::TestWithParam<Ending> {
  protected:
    void SetUp() override {
        fakedbx::reset();
        resetLinkForTesting();
    }
    void TearDown() override { resetLinkForTesting(); }
};

// Whatever became of the call, the opening's end leaves no design attached that the caller does
// not hold, and never leaves the library inside the call.
TEST_P(OpeningEnds, LetsGoOfADesignOnlyWhenNobodyTookIt) {
    const Ending& ending = GetParam();
    fakedbx::script().openStatus = ending.openStatus;
    fakedbx::script().openWaits = true;
    DesignContext context{};
    std::optional<DesignOpening> opening(std::in_place, 0, 16000, u"");
    EXPECT_FALSE(opening->waitFor(50ms)) << "the editor has not answered";
    std::thread answer([] {
        std::this_thread::sleep_for(100ms);
        fakedbx::releaseOpen();
    });
    if (ending.waitedFor) {
        EXPECT_TRUE(opening->waitFor(10s));
        EXPECT_EQ(opening->finish(context), ending.openStatus);
        EXPECT_EQ(link::DbxStatus, ending.openStatus);
    }
    opening.reset();
    EXPECT_TRUE(fakedbx::openReturned()) << "the end waited for the call";
    answer.join();
    const auto closes = fakedbx::callsOf("TCloseDesign");
    ASSERT_EQ(closes.size(), ending.closes);
    for (const fakedbx::Call& close : closes) EXPECT_EQ(close.context, fakedbx::openedContext());
    if (ending.waitedFor && ending.openStatus == 0) {
        EXPECT_EQ(0, std::memcmp(&context, fakedbx::openedContext().data(), sizeof context))
            << "the caller holds the context the library filled";
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, OpeningEnds,
                         ::testing::Values(Ending{"attached and taken", 0, true, 0},
                                           Ending{"failed and taken", 32102, true, 0},
                                           Ending{"attached after the caller gave up", 0, false, 1},
                                           Ending{"failed after the caller gave up", 32105, false,
                                                  0}),
                         [](const auto& info) {
                             std::string name = info.param.what;
                             for (char& c : name)
                                 if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                             return name;
                         });

TEST(DesignOpening, AMissingLibraryIsReportedBeforeAnyCall) {
    fakedbx::reset();
    resetLinkForTesting("libdbx32-absent.so");
    EXPECT_THROW(DesignOpening(0, 16000, u""), LinkError);
    EXPECT_TRUE(fakedbx::calls().empty());
    resetLinkForTesting();
}

}  // namespace
}  // namespace bitlay::dbx
