// The synthetic rig: consistent geometry, deterministic scenes with a still stretch and
// a presenter, and the brisel-rig command line.
#include "rig.h"
#include "test_rig.h"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include <filesystem>
#include <fstream>
#include <sstream>

#ifndef BRISEL_RIG_PATH
#error "BRISEL_RIG_PATH must name the brisel-rig executable"
#endif

namespace {

int runRig(const std::string& args) {
    return runTool(std::string(BRISEL_RIG_PATH) + " " + args).status;
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

// A presenter close to the camera is larger and covers more of the board.
TEST(Rig, PresenterScaleEnlargesThePresenter) {
    rig::SceneConfig config;
    const rig::Scene standing(config);
    config.presenterScale = 1.5;
    const rig::Scene close(config);
    const cv::Rect a = standing.presenterBox(60), b = close.presenterBox(60);
    EXPECT_EQ(b.size(), cv::Size(a.width * 3 / 2, a.height * 3 / 2));
    const cv::Mat board = standing.planePicture(0);
    const auto covered = [&board](const cv::Mat& p) {
        cv::Mat changed;
        cv::absdiff(p, board, changed);
        return cv::countNonZero(changed.reshape(1));
    };
    EXPECT_GT(covered(close.planePicture(60)), 2 * covered(standing.planePicture(60)));
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
    for (const char* args :
         {"", "--out", "--out x --board blue", "--out x --frames 0", "--out x --frames many",
          "--out x --still -1", "--out x --bogus", "--out x --video --quality 0",
          "--out x --video --damage-every 0", "--out x --video --video-noise -1"}) {
        EXPECT_NE(runRig(args), 0) << args;
    }
    EXPECT_FALSE(std::filesystem::exists("x"));
}

TEST(RigCommandLine, VideoCarriesCameraLikeJpegsWithTheDamageAskedFor) {
    ScopedWorkDir work("rig-video");
    ASSERT_EQ(runRig("--out out --frames 4 --still 4 --video --damage-every 2 --corrupt-every 3"),
              0);
    // The bytes of each frame as the AVI holds them.
    cv::VideoCapture video("out/scene_white.avi", cv::CAP_FFMPEG);
    ASSERT_TRUE(video.set(cv::CAP_PROP_FORMAT, -1));
    EXPECT_EQ(video.get(cv::CAP_PROP_FPS), 30.0);
    std::vector<cv::Mat> jpegs;
    for (cv::Mat jpeg; video.read(jpeg);) {
        jpegs.push_back(jpeg.clone());
    }
    ASSERT_EQ(jpegs.size(), 4u);
    const auto psnrToPng = [&](int i) {
        char png[64];
        std::snprintf(png, sizeof png, "out/scene_white/f_%04d.png", i);
        const cv::Mat decoded = cv::imdecode(jpegs[i], cv::IMREAD_COLOR);
        return decoded.empty() ? 0.0 : cv::PSNR(decoded, cv::imread(png));
    };
    const auto endsWithMarker = [&](int i) {
        const cv::Mat& j = jpegs[i];
        return j.total() > 2 && j.at<uchar>(j.total() - 2) == 0xFF &&
               j.at<uchar>(j.total() - 1) == 0xD9;
    };
    // Frame 0 intact, 1 and 3 cut short, 2 corrupt.
    EXPECT_GT(jpegs[0].total(), 800u * 1024);
    EXPECT_LT(jpegs[0].total(), 1600u * 1024);
    EXPECT_TRUE(endsWithMarker(0));
    EXPECT_GT(psnrToPng(0), 35.0);
    for (int cut : {1, 3}) {
        EXPECT_FALSE(endsWithMarker(cut)) << cut;
        EXPECT_LT(jpegs[cut].total(), jpegs[0].total() * 95 / 100) << cut;
    }
    EXPECT_TRUE(endsWithMarker(2));
    EXPECT_LT(psnrToPng(2), psnrToPng(0) - 5.0);
    // OpenCV's own reader finds the frames through the index alone.
    cv::VideoCapture indexed("out/scene_white.avi", cv::CAP_OPENCV_MJPEG);
    int frames = 0;
    for (cv::Mat frame; indexed.read(frame); ++frames) {
    }
    EXPECT_EQ(frames, 4);
}
