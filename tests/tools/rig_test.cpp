// The synthetic rig: consistent geometry, deterministic scenes with a still stretch and
// a presenter, and the brisel-rig command line.
#include "rig.h"
#include "test_rig.h"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/wait.h>

#ifndef BRISEL_RIG_PATH
#error "BRISEL_RIG_PATH must name the brisel-rig executable"
#endif

namespace {

int runRig(const std::string& args) {
    const std::string command = std::string(BRISEL_RIG_PATH) + " " + args + " >rig.txt 2>&1";
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

double meanAbsDiff(const cv::Mat& a, const cv::Mat& b) {
    cv::Mat d;
    cv::absdiff(a, b, d);
    const cv::Scalar m = cv::mean(d);
    return (m[0] + m[1] + m[2]) / 3.0;
}

} // namespace

TEST(Rig, BoardCellsStayInsideTheirSourceWindowsAndBothMapsShowOneView) {
    std::string report;
    EXPECT_TRUE(rig::verifyGeometry(report)) << report;
    EXPECT_NE(report.find(" 0 outside their source window"), std::string::npos) << report;
}

TEST(Rig, TrueCornersAndPictureSize) {
    const auto c = rig::canvasCorners();
    const auto f = rig::cornerFractions();
    for (int i = 0; i < 4; ++i) {
        EXPECT_FLOAT_EQ(f[i].x * rig::canvasWidth, c[i].x);
        EXPECT_FLOAT_EQ(f[i].y * rig::canvasHeight, c[i].y);
    }
    EXPECT_EQ(rig::boardPictureHeight(), 1280);
    std::vector<cv::Point2f> mapped;
    cv::perspectiveTransform(std::vector<cv::Point2f>(c.begin(), c.end()), mapped,
                             rig::trueHomography());
    EXPECT_NEAR(mapped[2].x, 1920.0, 1e-3);
    EXPECT_NEAR(mapped[2].y, 1280.0, 1e-3);
}

TEST(Rig, ScenesAreDeterministicStillThenAPresenter) {
    const TestRig& r = testRig();
    const rig::Scene& scene = r.scene(rig::Board::Black);
    const cv::Mat a = scene.frame(0);
    EXPECT_EQ(a.size(), cv::Size(3840, 2160));
    EXPECT_EQ(a.type(), CV_8UC3);
    EXPECT_EQ(cv::norm(a, scene.frame(0), cv::NORM_INF), 0.0);
    // Still frames differ by sensor noise only.
    EXPECT_LT(meanAbsDiff(a, scene.frame(r.still - 1)), 2.0);
    EXPECT_TRUE(scene.presenterBox(r.still - 1).empty());
    // With the presenter the board changes where the presenter stands.
    const int walking = r.still + (r.frames - r.still) / 2;
    const cv::Rect box = scene.presenterBox(walking);
    ASSERT_FALSE(box.empty());
    const cv::Rect inBoard = box & cv::Rect(0, 0, 1920, 1280);
    ASSERT_GT(inBoard.area(), 0);
    const cv::Rect plane = inBoard + cv::Point(rig::Scene::planeMargin, rig::Scene::planeMargin);
    EXPECT_GT(meanAbsDiff(scene.planePicture(0)(plane), scene.planePicture(walking)(plane)), 20.0);
    EXPECT_GT(meanAbsDiff(a, scene.frame(walking)), 0.5);
    // The truth board has no presenter and is the board of the plane picture.
    const cv::Mat& truth = scene.truthBoard();
    EXPECT_EQ(truth.size(), cv::Size(1920, 1280));
    const cv::Rect boardArea(rig::Scene::planeMargin, rig::Scene::planeMargin, 1920, 1280);
    EXPECT_EQ(cv::norm(scene.planePicture(0)(boardArea), truth, cv::NORM_INF), 0.0);
}

TEST(Rig, BoardColoursAndSeedsGiveDifferentBoards) {
    rig::SceneConfig white;
    white.board = rig::Board::White;
    rig::SceneConfig green = white;
    green.board = rig::Board::Green;
    rig::SceneConfig otherSeed = white;
    otherSeed.seed = 2;
    const cv::Mat w = rig::Scene(white).truthBoard();
    const cv::Scalar wm = cv::mean(w);
    const cv::Scalar gm = cv::mean(rig::Scene(green).truthBoard());
    EXPECT_GT(wm[1], 200.0);
    EXPECT_LT(gm[1], 140.0);
    EXPECT_GT(gm[1], gm[0]); // green
    EXPECT_GT(gm[1], gm[2]);
    EXPECT_GT(meanAbsDiff(w, rig::Scene(otherSeed).truthBoard()), 1.0);
    EXPECT_EQ(cv::norm(w, rig::Scene(white).truthBoard(), cv::NORM_INF), 0.0);
}

TEST(RigCommandLine, WritesCalibDataSceneAndTruth) {
    ScopedWorkDir work("rig-cli");
    ASSERT_EQ(runRig("--out out --board green --frames 2 --still 1 --seed 3"), 0);
    for (const char* f :
         {"calib_data/map1.png", "calib_data/map2.png", "calib_data/intrinsic.xml",
          "calib_data/distortion.xml", "scene_green/f_0000.png", "scene_green/f_0001.png",
          "truth_green/board.png", "truth_green/corners.txt"}) {
        EXPECT_TRUE(std::filesystem::exists(std::string("out/") + f)) << f;
    }
    EXPECT_FALSE(std::filesystem::exists("out/scene_green/f_0002.png"));
    EXPECT_FALSE(std::filesystem::exists("out/scene_green.avi"));
    std::ifstream in("out/truth_green/corners.txt");
    std::string line;
    std::getline(in, line);
    std::istringstream values(line);
    std::vector<float> v;
    for (std::string part; std::getline(values, part, ',');) {
        v.push_back(std::stof(part));
    }
    ASSERT_EQ(v.size(), 8u);
    const auto f = rig::cornerFractions();
    for (int i = 0; i < 4; ++i) {
        EXPECT_FLOAT_EQ(v[2 * i], f[i].x);
        EXPECT_FLOAT_EQ(v[2 * i + 1], f[i].y);
    }
    const cv::Mat frame = cv::imread("out/scene_green/f_0001.png");
    EXPECT_EQ(frame.size(), cv::Size(3840, 2160));
}

TEST(RigCommandLine, RejectsBadArguments) {
    ScopedWorkDir work("rig-bad");
    EXPECT_EQ(runRig("--help"), 0);
    for (const char* args : {"", "--out", "--out x --board blue", "--out x --frames 0",
                             "--out x --frames many", "--out x --still -1", "--out x --bogus"}) {
        EXPECT_NE(runRig(args), 0) << args;
    }
    EXPECT_FALSE(std::filesystem::exists("x"));
}
