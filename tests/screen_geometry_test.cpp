// Which screens full screen spans, over given monitor layouts (origin at the top left).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bridge/NSScreenUtils.h"
#include "platform/screen.h"

using platform::Rect;

namespace {

std::string show(const Rect& r) {
    return "(" + std::to_string(int(r.x)) + "," + std::to_string(int(r.y)) + " " + std::to_string(int(r.width)) + "x" +
           std::to_string(int(r.height)) + ")";
}

std::string show(const std::vector<Rect>& rs) {
    std::string out;
    for (const auto& r : rs) out += show(r);
    return out;
}

struct Layout {
    const char* name;
    Rect main;
    std::vector<Rect> screens;
    std::vector<Rect> expectedRects;
    Rect expectedFull;
};

const Rect kMain{0, 0, 1920, 1080};

const Layout kLayouts[] = {
    {"one screen", kMain, {kMain}, {kMain}, kMain},
    {"two equal side by side", kMain, {kMain, {1920, 0, 1920, 1080}}, {kMain, {1920, 0, 1920, 1080}}, {0, 0, 3840, 1080}},
    {"one to the left", kMain, {{-1920, 0, 1920, 1080}, kMain}, {kMain}, kMain},
    {"main is the right-hand one", {1920, 0, 1920, 1080}, {{0, 0, 1920, 1080}, {1920, 0, 1920, 1080}},
     {{1920, 0, 1920, 1080}}, {1920, 0, 1920, 1080}},
    {"one lower", kMain, {kMain, {1920, 200, 1920, 1080}}, {kMain}, kMain},
    {"one higher", kMain, {kMain, {1920, -200, 1920, 1080}}, {kMain}, kMain},
    // The top edges decide, not the bottom ones.
    {"taller to the right, same top", kMain, {kMain, {1920, 0, 1200, 1920}}, {kMain, {1920, 0, 1200, 1920}},
     {0, 0, 3120, 1080}},
    {"shorter to the right, same bottom", kMain, {kMain, {1920, 312, 1280, 768}}, {kMain}, kMain},
    // Listed out of order: the right-hand screens come left to right; the lower one is skipped.
    {"three in a row and one below", kMain,
     {{3200, 0, 1024, 768}, {0, 1080, 1920, 1080}, {1920, 0, 1280, 1024}, kMain, {-1280, 0, 1280, 1024}},
     {kMain, {1920, 0, 1280, 1024}, {3200, 0, 1024, 768}},
     {0, 0, 4224, 1080}},
    // A mirrored twin has the main screen's origin, so it is not to its right.
    {"mirrored twin", kMain, {kMain, kMain}, {kMain}, kMain},
    {"main not at the origin", {100, 50, 800, 600}, {{100, 50, 800, 600}, {900, 50, 800, 600}},
     {{100, 50, 800, 600}, {900, 50, 800, 600}}, {100, 50, 1600, 600}},
};

}  // namespace

TEST(ScreenGeometry, FullScreenSpansTheMainScreenAndTopAlignedScreensToItsRight) {
    for (const auto& l : kLayouts) {
        SCOPED_TRACE(l.name);
        EXPECT_EQ(show(NSScreenUtils::sortedScreenRects(l.main, l.screens)), show(l.expectedRects));
        EXPECT_EQ(show(NSScreenUtils::fullScreenRect(l.main, l.screens)), show(l.expectedFull));
    }
}

// A compositor lays screens out in window units or in device pixels; either way the frame comes
// out in window units.
TEST(ScreenGeometry, ScreenFramesComeInWindowUnits) {
    const struct {
        const char* name;
        Rect frame;
        int scale, modeWidth, modeHeight;
        Rect expected;
    } cases[] = {
        {"laid out in device pixels at scale 2", {0, 0, 2560, 1600}, 2, 2560, 1600, {0, 0, 1280, 800}},
        {"second screen so laid out", {2560, 0, 2560, 1600}, 2, 2560, 1600, {1280, 0, 1280, 800}},
        {"laid out in window units at scale 2", {0, 0, 1280, 800}, 2, 2560, 1600, {0, 0, 1280, 800}},
        {"rotated mode given as shown", {0, 0, 1600, 2560}, 2, 1600, 2560, {0, 0, 800, 1280}},
        {"scale 1", {0, 0, 1920, 1080}, 1, 1920, 1080, {0, 0, 1920, 1080}},
        {"mode unknown", {0, 0, 2560, 1600}, 2, 0, 0, {0, 0, 2560, 1600}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(show(platform::screenFrameInWindowUnits(c.frame, c.scale, c.modeWidth, c.modeHeight)), show(c.expected));
    }
}
