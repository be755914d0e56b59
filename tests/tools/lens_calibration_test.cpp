// The parts of the lens calibration: corners found on the rig's photos, the rule that
// drops bad views, the fit, and the scaling of the model to the reduced frame.
#include "calibration_files.h"
#include "chessboard.h"
#include "file_set.h"
#include "file_set_faults.h"
#include "lens_calibration.h"
#include "lens_maps.h"
#include "rig.h"
#include "test_rig.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace {

struct KeepRow {
    const char* name;
    std::vector<double> errors;
    std::vector<bool> keep;
};

class KeepViews : public testing::TestWithParam<KeepRow> {};

TEST_P(KeepViews, DropsOnlyViewsAboveThreeMediansAndOnePixel) {
    EXPECT_EQ(lens_calibration::keepViews(GetParam().errors), GetParam().keep);
}

INSTANTIATE_TEST_SUITE_P(
    LensCalibration, KeepViews,
    testing::Values(KeepRow{"OneOutlier", {0.2, 0.3, 2.0, 0.25}, {true, true, false, true}},
                    // 0.9 is above 3 x 0.1 but below a pixel.
                    KeepRow{"BelowAPixel", {0.1, 0.1, 0.9, 0.1}, {true, true, true, true}},
                    // 1.2 is above a pixel but not above 3 x the median 0.5.
                    KeepRow{"WithinThreeMedians", {0.5, 0.5, 1.2, 0.4}, {true, true, true, true}},
                    // Median of an even count: (0.5 + 0.6) / 2 = 0.55, so 2.0 goes, 1.6 stays.
                    KeepRow{"EvenMedian",
                            {0.3, 2.0, 0.5, 0.2, 1.6, 0.6},
                            {true, false, true, true, true, true}},
                    KeepRow{"AllEqual", {3.0, 3.0, 3.0}, {true, true, true}}),
    [](const testing::TestParamInfo<KeepRow>& i) { return std::string(i.param.name); });

struct ScaleRow {
    int photoWidth;
    double f, cx, cy; // in photo pixels
};

class ScaleToSmallFrame : public testing::TestWithParam<ScaleRow> {};

// Every row is the rig's lens (f 200, c (320, 180) on the 640 x 360 frame) seen at
// another photo width.
TEST_P(ScaleToSmallFrame, AlignsPixelCentres) {
    const ScaleRow& row = GetParam();
    const cv::Mat k = (cv::Mat_<double>(3, 3) << row.f, 0, row.cx, 0, row.f, row.cy, 0, 0, 1);
    const cv::Mat s = lens_calibration::scaleToSmallFrame(k, row.photoWidth);
    const cv::Mat expected = (cv::Mat_<double>(3, 3) << 200, 0, 320, 0, 200, 180, 0, 0, 1);
    EXPECT_LT(cv::norm(s, expected, cv::NORM_INF), 1e-9) << s;
}

INSTANTIATE_TEST_SUITE_P(LensCalibration, ScaleToSmallFrame,
                         testing::Values(ScaleRow{3840, 1200, 1922.5, 1082.5},
                                         ScaleRow{1920, 600, 961, 541},
                                         ScaleRow{640, 200, 320, 180}));

// The true corners of the rig's poses, one view spoiled by 4 px of noise.
TEST(LensCalibration, FitDropsABadViewAndFindsTheRigLens) {
    std::vector<std::vector<cv::Point2f>> views;
    for (const rig::ChessboardPose& pose : rig::chessboardPoses()) {
        views.push_back(rig::chessboardCorners(pose));
    }
    const size_t bad = 3;
    cv::RNG rng(5);
    for (cv::Point2f& p : views[bad]) {
        p += cv::Point2f(rng.gaussian(4.0), rng.gaussian(4.0));
    }
    lens_calibration::Fit fit;
    std::string why;
    const cv::Size pattern(rig::chessboardCols, rig::chessboardRows);
    ASSERT_TRUE(lens_calibration::calibrate(views, pattern, 25.0, {3840, 2160}, fit, why)) << why;
    ASSERT_EQ(fit.used.size(), views.size());
    for (size_t i = 0; i < views.size(); ++i) {
        EXPECT_EQ(fit.used[i], i != bad) << i;
    }
    EXPECT_GT(fit.viewErrors[bad], 2.0);
    EXPECT_EQ(fit.usedCount(), static_cast<int>(views.size()) - 1);
    EXPECT_LT(fit.rms, 0.01);
    const cv::Mat truth = lens_maps::fullCameraMatrix(rig::camera().k);
    EXPECT_LT(cv::norm(fit.k, truth, cv::NORM_INF), 0.05) << fit.k;
    EXPECT_LT(cv::norm(fit.d, rig::camera().d, cv::NORM_INF), 1e-4) << fit.d;

    views.resize(2);
    EXPECT_FALSE(lens_calibration::calibrate(views, pattern, 25.0, {3840, 2160}, fit, why));
    EXPECT_NE(why.find("at least 3"), std::string::npos) << why;
}

// A new model without maps replaces the model files and removes the old maps as one
// set: each step failed, killed (then recovered as at the next start) or given a cut
// file to read back leaves the whole old set or the whole new one.
TEST(LensFiles, EveryStepGoneWrongLeavesAWholeSet) {
    ScopedWorkDir work("lens-files");
    const rig::Camera cam = rig::camera();
    const auto oldSet = [] {
        std::filesystem::remove_all("lens");
        std::filesystem::create_directory("lens");
        for (const std::string& name : calib_files::lensSet) {
            std::ofstream("lens/" + name) << "old " << name;
        }
    };
    oldSet();
    const std::string before = folderText("lens");
    std::vector<std::string> steps;
    file_set::beforeStep = [&steps](const std::string& step) {
        steps.push_back(step);
        return file_set::Step::Go;
    };
    std::string why;
    ASSERT_TRUE(lens_maps::writeLensFiles("lens", cam.k, cam.d, true, false, why)) << why;
    clearFault();
    const std::string after = folderText("lens");
    ASSERT_EQ(steps.size(), 16u);
    // The maps are read back too: a cut map1.png fails the new maps alone.
    steps.push_back("check map1.png");
    for (const std::string& at : steps) {
        for (const SetFault fault : {SetFault::Fail, SetFault::Kill, SetFault::Cut}) {
            if (!faultApplies(at, fault) || (at == "check map1.png") != (fault == SetFault::Cut)) {
                continue;
            }
            oldSet();
            injectFault("lens", at, fault);
            why.clear();
            const bool maps = at == "check map1.png";
            const bool ok = lens_maps::writeLensFiles("lens", cam.k, cam.d, !maps, maps, why);
            clearFault();
            ConsoleCapture quiet;
            file_set::recover("lens", calib_files::lensSet);
            quiet.take();
            const std::string where = at + faultName(fault);
            EXPECT_EQ(folderText("lens"), at == "clean" ? after : before) << where;
            if (fault != SetFault::Kill) {
                EXPECT_EQ(ok, at == "clean") << where;
                EXPECT_EQ(why.empty(), at == "clean") << where << ": " << why;
            }
        }
    }
}

} // namespace
