// Window placement rules and the spinner's colour steps.
#include <gtest/gtest.h>

#include "core/Geometry.h"
#include "core/Spinner.h"
#include "core/WaitRequest.h"

TEST(Placement, CenteringRoundsHalvesToEven) {
    EXPECT_EQ(core::CenteredPosition(15360, 11520, 1860, 1650), (core::Position{6750, 4935}));
    EXPECT_EQ(core::CenteredPosition(101, 103, 0, 0), (core::Position{50, 52}));  // 50.5 -> 50, 51.5 -> 52
    EXPECT_EQ(core::CenteredPosition(1000, 1000, 3001, 1000), (core::Position{-1000, 0}));  // -1000.5 -> -1000
    EXPECT_EQ(core::CenteredPosition(1000, 500, 2000, 500).left, -500);  // wider than the screen
}

TEST(Placement, TwipsScaleWithTheDisplay) {
    EXPECT_EQ(core::TwipsToPixels(7335, 96), 489);
    EXPECT_EQ(core::TwipsToPixels(7335, 144), 734);  // 733.5 rounds to even
    EXPECT_EQ(core::TwipsToPixels(2760, 144), 276);
    EXPECT_DOUBLE_EQ(core::PixelsToTwips(100, 96), 1500);
}

TEST(WaitRequest, PositionOnlyWhenBothHalvesAreGiven) {
    core::WaitRequest r;
    core::FillWaitRequest(r, 1, 300.0f, std::nullopt, true);
    EXPECT_EQ(r.left, core::kNoPosition);
    EXPECT_EQ(r.top, core::kNoPosition);
    EXPECT_TRUE(r.updating);
    EXPECT_EQ(r.device, 1);
    EXPECT_STREQ(core::WaitCaption(r), L"Updating ...");

    core::FillWaitRequest(r, 0, 1200.0f, 900.0f, false);
    EXPECT_EQ(core::WaitWindowPosition(r, 15360, 11520, 1860, 1650), (core::Position{3960, 3150}));
    EXPECT_STREQ(core::WaitCaption(r), L"Connecting .....");
}

TEST(WaitRequest, LeftOfMinusThousandCentresWhateverTheTop) {
    core::WaitRequest r;
    core::FillWaitRequest(r, 0, -1000.0f, 5000.0f, true);  // a main window standing exactly there
    EXPECT_EQ(core::WaitWindowPosition(r, 15360, 11520, 1860, 1650), (core::Position{6750, 4935}));
}

TEST(Spinner, BuiltWithDarkDotAtTopAndTwoTailDots) {
    auto fills = core::InitialDotFills();
    EXPECT_EQ(fills[0], core::kDotDark);
    EXPECT_EQ(fills[11], core::kDotTail1);
    EXPECT_EQ(fills[10], core::kDotTail2);
    for (int i = 1; i <= 9; ++i) EXPECT_EQ(fills[i], core::kDotBlank);
    EXPECT_EQ(core::kDotTail1, 0xC0C0C0u);
}

TEST(Spinner, TicksMoveClockwiseAndWrap) {
    std::uint8_t step = 0;
    auto first = core::SpinnerTick(step);
    EXPECT_EQ(step, 1);
    EXPECT_EQ(first, (std::array<core::DotFill, 4>{
                         {{1, core::kDotDark}, {0, core::kDotTail1}, {11, core::kDotTail2}, {10, core::kDotBlank}}}));
    step = 11;
    auto wrapped = core::SpinnerTick(step);
    EXPECT_EQ(step, 0);
    EXPECT_EQ(wrapped, (std::array<core::DotFill, 4>{
                           {{0, core::kDotDark}, {11, core::kDotTail1}, {10, core::kDotTail2}, {9, core::kDotBlank}}}));

    // Applying ticks to the built picture always leaves exactly one dark dot and two tail dots.
    auto fills = core::InitialDotFills();
    step = 0;
    for (int t = 0; t < 30; ++t)
        for (auto f : core::SpinnerTick(step)) fills[f.index] = f.colour;
    EXPECT_EQ(std::count(fills.begin(), fills.end(), core::kDotDark), 1);
    EXPECT_EQ(fills[step], core::kDotDark);
    EXPECT_EQ(std::count(fills.begin(), fills.end(), core::kDotBlank), 9);
}
