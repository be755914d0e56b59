// BoardCalibrator: corner sorting, picture heights, the two files and the refusals.
#include "board_calibrator.h"
#include "calibration_files.h"
#include "file_set.h"
#include "file_set_faults.h"
#include "test_rig.h"

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>

namespace {

using Points = std::vector<cv::Point2f>;

struct Saved {
    Points corners;
    cv::Mat homography;
    int width = 0;
    int height = 0;
};

Saved readSaved() {
    Saved s;
    cv::FileStorage c(calib_files::boardCornersXml, cv::FileStorage::READ);
    for (const char* key : {"TopLeft", "TopRight", "BottomRight", "BottomLeft"}) {
        std::vector<float> xy;
        c[key] >> xy;
        EXPECT_EQ(xy.size(), 2u) << key;
        s.corners.emplace_back(xy.size() == 2 ? cv::Point2f(xy[0], xy[1]) : cv::Point2f());
    }
    cv::FileStorage p(calib_files::perspectiveXml, cv::FileStorage::READ);
    p["Homography"] >> s.homography;
    p["Homography_Width"] >> s.width;
    p["Homography_Height"] >> s.height;
    return s;
}

BoardCalibrator calibratorFor(int width, int height) {
    BoardCalibrator c;
    c.imageWidth = width;
    c.imageHeight = height;
    return c;
}

Points rigFractions() {
    const std::array<cv::Point2f, 4> f = rig::cornerFractions();
    return Points(f.begin(), f.end());
}

const Points quad{{0.30f, 0.28f}, {0.70f, 0.25f}, {0.72f, 0.80f}, {0.27f, 0.76f}}; // TL TR BR BL

} // namespace

TEST(SortCorners, EveryClickOrderGivesTheSameCorners) {
    std::vector<int> order{0, 1, 2, 3};
    do {
        const Points clicks{quad[order[0]], quad[order[1]], quad[order[2]], quad[order[3]]};
        EXPECT_EQ(BoardCalibrator::sortCorners(clicks), quad);
    } while (std::next_permutation(order.begin(), order.end()));
}

TEST(SortCorners, TiesAndTheMeanHeight) {
    // Two top corners with equal x: the first clicked is top-left.
    const cv::Point2f a{10, 0}, b{10, 1}, c{0, 20}, d{30, 21};
    EXPECT_EQ(BoardCalibrator::sortCorners({b, a, c, d}), (Points{b, a, d, c}));
    EXPECT_EQ(BoardCalibrator::sortCorners({a, b, c, d}), (Points{a, b, d, c}));
    // Two bottom corners with equal x: the first clicked is bottom-left.
    const cv::Point2f e{0, 0}, f{30, 1}, g{15, 20}, h{15, 22};
    EXPECT_EQ(BoardCalibrator::sortCorners({e, f, g, h}), (Points{e, f, h, g}));
    EXPECT_EQ(BoardCalibrator::sortCorners({h, e, g, f}), (Points{e, f, g, h}));
    // y 0, 0, 10, 30: mean 10, and the point at 10 is a bottom corner.
    EXPECT_EQ(BoardCalibrator::sortCorners({{0, 0}, {5, 0}, {1, 10}, {6, 30}}),
              (Points{{0, 0}, {5, 0}, {6, 30}, {1, 10}}));
    // y 0, 10, 10, 20: mean 10, one above, three at or below: no corners.
    EXPECT_TRUE(BoardCalibrator::sortCorners({{0, 0}, {5, 10}, {1, 10}, {6, 20}}).empty());
    // Three above and one below.
    EXPECT_TRUE(BoardCalibrator::sortCorners({{0, 0}, {5, 1}, {1, 2}, {6, 90}}).empty());
    EXPECT_TRUE(BoardCalibrator::sortCorners({}).empty());
    EXPECT_TRUE(BoardCalibrator::sortCorners({{1, 1}, {2, 3}}).empty());
}

// The proportion r compares fractions of the picture, so the cases keep their values
// on the 7440 x 2760 canvas.
struct HeightCase {
    const char* name;
    Points fractions;
    int expected;
};

class PictureHeight : public testing::TestWithParam<HeightCase> {};

TEST_P(PictureHeight, FollowsTheBoardProportions) {
    const HeightCase& c = GetParam();
    ScopedWorkDir work("height");
    work.makeCalibDir();
    BoardCalibrator calibrator = calibratorFor(7440, 2760);
    ConsoleCapture console;
    ASSERT_TRUE(calibrator.calibrate(c.fractions));
    const std::string out = console.take();
    EXPECT_NE(out.find("w: 1920 h: " + std::to_string(c.expected)), std::string::npos) << out;
    const Saved s = readSaved();
    EXPECT_EQ(s.width, 1920);
    EXPECT_EQ(s.height, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    BoardCalibrator, PictureHeight,
    testing::Values(
        // A board twice as wide as tall, seen squarely: r = 0.5 / (400 / 900) = 1.125.
        HeightCase{"TwiceAsWide",
                   {{0.25f, 0.2f},
                    {0.75f, 0.2f},
                    {0.75f, 0.2f + 400.f / 900.f},
                    {0.25f, 0.2f + 400.f / 900.f}},
                   1280},
        // Top edge half the width, left edge nine tenths of the height: r = 0.556.
        HeightCase{
            "TallBoard", {{0.25f, 0.05f}, {0.75f, 0.05f}, {0.75f, 0.95f}, {0.25f, 0.95f}}, 1440},
        // Exactly at the threshold: r = 0.5 / 0.625 = 0.8 (fractions exact in binary).
        HeightCase{"Threshold",
                   {{0.125f, 0.125f}, {0.625f, 0.125f}, {0.625f, 0.75f}, {0.125f, 0.75f}},
                   1080},
        // The rig's board on its canvas.
        HeightCase{"Rig", rigFractions(), 1280}),
    [](const testing::TestParamInfo<HeightCase>& i) { return std::string(i.param.name); });

TEST(BoardCalibrator, WritesCornersAndAHomographyTakingThemToThePictureCorners) {
    ScopedWorkDir work("calibrate");
    work.makeCalibDir();
    BoardCalibrator calibrator = calibratorFor(7440, 2760);
    // Clicked bottom-right first.
    const Points clicks{quad[2], quad[0], quad[3], quad[1]};
    ConsoleCapture console;
    ASSERT_TRUE(calibrator.calibrate(clicks));
    const std::string out = console.take();
    EXPECT_EQ(out.rfind("7440 2760\n", 0), 0u) << out;
    EXPECT_NE(out.find("=====================\n"), std::string::npos);
    EXPECT_NE(out.find("saving current path: "), std::string::npos);
    EXPECT_NE(out.find("w/h: "), std::string::npos);
    const Saved s = readSaved();
    ASSERT_EQ(s.corners.size(), 4u);
    for (int i = 0; i < 4; ++i) {
        EXPECT_FLOAT_EQ(s.corners[i].x, static_cast<float>(7440.0 * quad[i].x)) << i;
        EXPECT_FLOAT_EQ(s.corners[i].y, static_cast<float>(2760.0 * quad[i].y)) << i;
    }
    ASSERT_EQ(s.homography.size(), cv::Size(3, 3));
    EXPECT_EQ(s.homography.type(), CV_64F);
    std::vector<cv::Point2f> mapped;
    cv::perspectiveTransform(s.corners, mapped, s.homography);
    const Points target{{0, 0}, {1920, 0}, {1920, float(s.height)}, {0, float(s.height)}};
    for (int i = 0; i < 4; ++i) {
        EXPECT_NEAR(mapped[i].x, target[i].x, 1e-3) << i;
        EXPECT_NEAR(mapped[i].y, target[i].y, 1e-3) << i;
    }
    EXPECT_FALSE(std::filesystem::exists(calib_files::boardCornersXml + ".tmp.xml"));
}

TEST(BoardCalibrator, FractionsZeroAndOneAreTheEdgesWithoutClamping) {
    ScopedWorkDir work("edges");
    work.makeCalibDir();
    BoardCalibrator calibrator = calibratorFor(7440, 2760);
    ConsoleCapture console;
    ASSERT_TRUE(calibrator.calibrate({{0, 0}, {1, 0}, {1, 1}, {0, 1}}));
    console.take();
    const Saved s = readSaved();
    EXPECT_EQ(s.corners, (Points{{0, 0}, {7440, 0}, {7440, 2760}, {0, 2760}}));
}

struct RefusalCase {
    const char* name;
    Points fractions;
    const char* message;
    int width = 7440, height = 2760;
};

class CalibrationRefused : public testing::TestWithParam<RefusalCase> {};

TEST_P(CalibrationRefused, KeepsThePreviousFilesAndSavesNothing) {
    const RefusalCase& c = GetParam();
    ScopedWorkDir work("refused");
    work.makeCalibDir();
    BoardCalibrator good = calibratorFor(7440, 2760);
    ConsoleCapture console;
    ASSERT_TRUE(good.calibrate(quad));
    console.take();
    const std::string corners = readFile(calib_files::boardCornersXml);
    const std::string perspective = readFile(calib_files::perspectiveXml);

    BoardCalibrator calibrator = calibratorFor(c.width, c.height);
    console.start();
    EXPECT_FALSE(calibrator.calibrate(c.fractions));
    const std::string out = console.take();
    EXPECT_NE(out.find(c.message), std::string::npos) << out;
    EXPECT_EQ(out.find("calibration refused: "), 0u) << "nothing else printed: " << out;
    EXPECT_EQ(out.find('\n'), out.size() - 1) << "one line: " << out;
    EXPECT_EQ(readFile(calib_files::boardCornersXml), corners);
    EXPECT_EQ(readFile(calib_files::perspectiveXml), perspective);
}

INSTANTIATE_TEST_SUITE_P(
    BoardCalibrator, CalibrationRefused,
    testing::Values(
        RefusalCase{"ThreeAboveOneBelow",
                    {{0.1f, 0.1f}, {0.9f, 0.12f}, {0.5f, 0.2f}, {0.5f, 0.9f}},
                    "calibration refused: the 4 corners do not split"},
        RefusalCase{"AllOnOneLine",
                    {{0.1f, 0.5f}, {0.3f, 0.5f}, {0.6f, 0.5f}, {0.9f, 0.5f}},
                    "corner 1 lies on the line through corners 2 and 3"},
        // Sorted, these would pass as a board: TL (0.2, 0.2), TR (0.5, 0.5).
        RefusalCase{"ThreeOnADiagonal",
                    {{0.2f, 0.2f}, {0.5f, 0.5f}, {0.8f, 0.8f}, {0.2f, 0.8f}},
                    "corner 1 lies on the line through corners 2 and 3"},
        // 70 canvas pixels (0.9 % of the diagonal) off the line through corners 1 and 2.
        RefusalCase{"NearlyOnTheTopEdge",
                    {{0.2f, 0.2f}, {0.8f, 0.2f}, {0.8f, 0.8f}, {0.5f, 0.2f + 70.f / 2760.f}},
                    "corner 4 lies on the line through corners 1 and 2"},
        RefusalCase{"TwoCornersNinePixelsApart",
                    {{0.3f, 0.3f}, {0.7f, 0.3f}, {0.7f, 0.7f}, {0.7f, 0.7f + 9.f / 2760.f}},
                    "corners 3 and 4 lie within 10 canvas pixels of each other"},
        RefusalCase{"SameCornerTwice",
                    {{0.3f, 0.3f}, {0.7f, 0.3f}, {0.3f, 0.3f}, {0.3f, 0.7f}},
                    "corners 1 and 3 lie within 10 canvas pixels"},
        RefusalCase{"NotANumber",
                    {{0.3f, 0.3f}, {0.7f, std::nanf("")}, {0.7f, 0.7f}, {0.3f, 0.7f}},
                    "corner 2 is not a finite number"},
        RefusalCase{"Infinite",
                    {{0.3f, 0.3f}, {0.7f, 0.3f}, {0.7f, 0.7f}, {-HUGE_VALF, 0.7f}},
                    "corner 4 is not a finite number"},
        RefusalCase{"OverflowsWhenScaled",
                    {{1e38f, 0.3f}, {0.7f, 0.3f}, {0.7f, 0.7f}, {0.3f, 0.7f}},
                    "corner 1 is not a finite number"},
        // Sorted, the bottom-right corner lies inside the others: the picture would fold.
        RefusalCase{"NotConvex",
                    {{0.2f, 0.8f}, {0.45f, 0.45f}, {0.8f, 0.2f}, {0.2f, 0.2f}},
                    "the corners do not make a convex quadrilateral"},
        RefusalCase{"PictureNotTheCanvas", quad,
                    "the calibration picture is 3840 x 2160, not the canvas size 7440 x 2760", 3840,
                    2160},
        RefusalCase{"NoCalibrationPicture", quad, "no calibration picture has been made yet", 0, 0},
        RefusalCase{"NoPictureHeight", quad, "no calibration picture has been made yet", 7440, 0}),
    [](const testing::TestParamInfo<RefusalCase>& i) { return std::string(i.param.name); });

TEST(BoardCalibrator, WithoutCalibDataNothingIsWrittenAndFalseIsReturned) {
    ScopedWorkDir work("no-dir");
    BoardCalibrator calibrator = calibratorFor(7440, 2760);
    ConsoleCapture console;
    EXPECT_FALSE(calibrator.calibrate(quad));
    console.take();
    EXPECT_FALSE(std::filesystem::exists("calib_data"));
}

// Each step of replacing the pair failed, killed (then the next start's recovery runs)
// or, for a read-back, given a cut file: the folder holds the whole old pair or the
// whole new one, and a failure is reported with the file's name.
TEST(BoardCalibrator, EverySavingStepGoneWrongLeavesAWholePair) {
    ScopedWorkDir work("steps");
    work.makeCalibDir();
    BoardCalibrator calibrator = calibratorFor(7440, 2760);
    const Points other{{0.1f, 0.1f}, {0.9f, 0.1f}, {0.9f, 0.9f}, {0.1f, 0.9f}};
    std::vector<std::string> steps;
    ConsoleCapture console;
    ASSERT_TRUE(calibrator.calibrate(quad));
    const std::string oldPair = folderText(calib_files::dir);
    file_set::beforeStep = [&steps](const std::string& step) {
        steps.push_back(step);
        return file_set::Step::Go;
    };
    ASSERT_TRUE(calibrator.calibrate(other));
    clearFault();
    const std::string newPair = folderText(calib_files::dir);
    console.take();
    ASSERT_EQ(steps.size(), 14u);
    for (const std::string& at : steps) {
        for (const SetFault fault : {SetFault::Fail, SetFault::Kill, SetFault::Cut}) {
            if (!faultApplies(at, fault)) {
                continue;
            }
            console.start();
            ASSERT_TRUE(calibrator.calibrate(quad));
            injectFault(calib_files::dir, at, fault);
            std::string unsaved;
            const bool ok = calibrator.calibrate(other, &unsaved);
            clearFault();
            calib_files::recoverSets(); // as the next start does
            const std::string out = console.take();
            const std::string where = at + faultName(fault);
            EXPECT_EQ(folderText(calib_files::dir), at == "clean" ? newPair : oldPair) << where;
            if (fault != SetFault::Kill && at != "clean") {
                EXPECT_FALSE(ok) << where;
                EXPECT_FALSE(unsaved.empty()) << where;
                EXPECT_NE(out.find("the previous calibration stays in force"), std::string::npos)
                    << where << ": " << out;
            }
        }
    }
}
