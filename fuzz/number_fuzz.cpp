// The three number texts X, Y and Scale, whatever is typed or pasted, through the reader the
// window uses and a transfer of a small picture. The input holds the three texts one after the
// other, NUL-separated (a text box holds no NUL). A number is never NaN, and a transfer either
// completes, is refused with its message, or stops on an overflow it names.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz_support.h"
#include "picture/picture_box.h"
#include "transfer/number_text.h"
#include "transfer/transfer.h"

namespace {

using namespace bitlay;

constexpr picture::Colour kInk = 0x0000FF;

// Five by four pixels, the ink on the first row's ends and through the middle of the third.
const picture::PictureBox& smallPicture() {
    static const picture::PictureBox box = [] {
        picture::PictureBox made(75, 60, 0);
        made.setBackColor(0xFFFFFF);
        made.Cls();
        made.setScaleModePixels();
        made.PSet(0, 0, kInk);
        made.PSet(4, 0, kInk);
        for (int x = 1; x < 4; ++x) made.PSet(x, 2, kInk);
        return made;
    }();
    return box;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view rest(reinterpret_cast<const char*>(data), size);
    std::string_view texts[3];
    for (std::string_view& text : texts) {
        const std::size_t end = rest.find('\0');
        text = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
    }
    for (const std::string_view text : texts) FUZZ_CHECK(!std::isnan(transfer::numberOfText(text)));

    const transfer::TransferInput input{texts[0], texts[1], texts[2], {0}, kInk};
    std::int64_t placed = 0;
    const transfer::LineSink placeLine = [&placed](dbx::LineRecord& record) {
        FUZZ_CHECK(record.width > 0 && record.layerId == 1);
        ++placed;
        return dbx::DbxStatusCode{0};
    };
    try {
        const transfer::TransferResult result =
            transfer::Transfer(smallPicture(), input, placeLine, [](const std::string&) {});
        FUZZ_CHECK(result.linesPlaced == placed);
        if (result.outcome == transfer::TransferOutcome::kCompleted) FUZZ_CHECK(placed == 3);
    } catch (const transfer::TransferStopped& stopped) {
        FUZZ_CHECK(stopped.linesPlaced() == placed);
        FUZZ_CHECK(!transfer::stoppedReport(stopped).empty());
    }
    return 0;
}
