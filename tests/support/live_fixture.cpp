#include "live_fixture.h"

#include <algorithm>
#include <iterator>

namespace bitlay::kicad::test {

const fs::path kFourLayerBoard = fs::path(BITLAY_TEST_DATA) / "kicad" / "four-layer.kicad_pcb";
const fs::path kVideoBoard = "/usr/share/kicad/demos/video/video.kicad_pcb";

Editor& editor() {
    static Editor instance;
    return instance;
}

namespace {

class LiveEnvironment final : public ::testing::Environment {
  public:
    void SetUp() override {
        Editor& e = editor();
        e.kicad = kicadFromEnvironment();
        e.skipReason = whyNoKicad(e.kicad);
        if (!e.skipReason.empty()) return;
        e.x = std::make_unique<XServer>();
        if (!e.x->running()) {
            e.failure = "Xvfb did not start";
            return;
        }
        e.pcbnew = Pcbnew::start(e.kicad, e.x->display(), kFourLayerBoard, e.failure);
    }
    void TearDown() override {
        editor().pcbnew.reset();
        editor().x.reset();
    }
};
const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new LiveEnvironment);

}  // namespace

std::string skipMessage() {
    return "KiCad " + editor().kicad.name + " cannot run here: " + editor().skipReason;
}

Segment expectedSegment(int apiLayer, const LineRecord& line) {
    return {apiLayer,
            std::int64_t{line.startX} * 10,
            -std::int64_t{line.startY} * 10,
            std::int64_t{line.endX} * 10,
            -std::int64_t{line.endY} * 10,
            std::int64_t{line.width} * 10};
}

std::vector<Segment> added(const std::vector<Segment>& before, const std::vector<Segment>& after) {
    std::vector<Segment> result;
    std::set_difference(after.begin(), after.end(), before.begin(), before.end(),
                        std::back_inserter(result));
    return result;
}

std::vector<Segment> placeTransfer(DesignContext& context, int lines, int row) {
    std::vector<Segment> expected;
    for (int i = 0; i < lines; ++i) {
        const std::int32_t x = (i % 300) * 5080;
        const std::int32_t y = (row + i / 300) * 2540;
        LineRecord line = makeLine(9, 2540, x, y, x + 1300, y);
        EXPECT_EQ(TPlaceLine(&context, &line), 0);
        expected.push_back(expectedSegment(kFSilkS, line));
    }
    std::sort(expected.begin(), expected.end());
    return expected;
}

}  // namespace bitlay::kicad::test
