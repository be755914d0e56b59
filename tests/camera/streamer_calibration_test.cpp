// The board-corner calibration through the camera object, on the rig's lens files: the
// console, the store and the pipeline after an accepted and a refused set of
// corners, and the calibrationFinished signal the dialogue listens to.
#include "fake_camera.h"

#include "calibration_store.h"
#include "file_set.h"
#include "test_rig.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>

namespace {

using Corners = std::array<cv::Point2d, 4>;

// A camera object on rig frames whose calibration picture has been made, counting the
// calibrationFinished answers.
struct Calibrating : StreamerRig {
    std::vector<bool> finished;
    QString reason;

    Calibrating() {
        script.streamSize = cv::Size(3840, 2160);
        // Rendered once: a read must return at once, or stopping the camera thread waits.
        const cv::Mat frame = testRig().frame(rig::Board::White, 0);
        script.frameForRead = [frame](int) { return frame; };
        script.readPeriod = std::chrono::milliseconds(30);
        start();
        QObject::connect(streamer.get(), &VideoStreamer::calibrationFinished,
                         [this](bool ok, const QString& why) {
                             finished.push_back(ok);
                             reason = why;
                         });
        openCalibrationPicture();
    }
    void openCalibrationPicture() {
        calibration.clear(); // 4K pictures, not looked at here
        streamer->setOpenCalibration(true);
        EXPECT_TRUE(pumpUntil(
            [&] { return !calibration.empty() && !isPlaceholder(calibration.back()); }, 60000))
            << "no calibration picture";
    }
    void click(const Corners& c) {
        streamer->setP1x(c[0].x);
        streamer->setP1y(c[0].y);
        streamer->setP2x(c[1].x);
        streamer->setP2y(c[1].y);
        streamer->setP3x(c[2].x);
        streamer->setP3y(c[2].y);
        streamer->setP4x(c[3].x);
        streamer->setP4y(c[3].y);
    }
    // Back to the live view until the pipeline has rebuilt from the calibration.
    void rebuilt() {
        streamer->setOpenCalibration(false);
        EXPECT_TRUE(pumpUntil([&] { return streamer->pipeline().rebuildCount() > 0; }, 60000));
    }
    // Calibrated with `corners` and rebuilt, the calibration picture open again.
    void calibrated(const Corners& corners) {
        ConsoleCapture quiet;
        click(corners);
        rebuilt();
        openCalibrationPicture();
        EXPECT_EQ(finished, std::vector<bool>{true});
    }
};

Corners trueCorners() {
    const auto& f = testRig().cornerFractions;
    // Clicked bottom-right first.
    return {cv::Point2d(f[2]), cv::Point2d(f[0]), cv::Point2d(f[3]), cv::Point2d(f[1])};
}

Corners shifted(Corners c, double dx, double dy) {
    for (cv::Point2d& p : c) {
        p.x += dx;
        p.y += dy;
    }
    return c;
}

} // namespace

// An accepted set is saved, reloaded into the store and rebuilds the pipeline; a refused
// one (the kinds, and the files kept, are BoardCalibrator's) leaves the store and the
// running pipeline as they were. Both answer the dialogue.
TEST(StreamerCalibration, AcceptedCornersAreReloadedAndRebuiltRefusedOnesChangeNothing) {
    CalibrationStore& store = CalibrationStore::instance();
    Calibrating cam;
    cam.calibrated(shifted(trueCorners(), -0.02, 0.01));
    const cv::Mat shiftedHomography = store.homography.clone();

    ConsoleCapture console;
    cam.click(trueCorners());
    const std::vector<std::string> out = lines(console.take());
    // Each line as it starts.
    const std::vector<std::string> expected =
        lines("Received all board corners\np1 : \np2 : \np3 : \np4 : \n7440 2760\n[\n[\n[\n[\n"
              "=====================\n[\n[\n[\n[\nsaving current path: \nw/h: \n"
              "w: 1920 h: 1280\nSaving calibration files done!!!\n"
              "Total Grids : 800 Final grids size : \nafter calibration!\n");
    ASSERT_EQ(out.size(), expected.size());
    for (size_t i = 0; i < out.size(); ++i) {
        EXPECT_EQ(out[i].rfind(expected[i], 0), 0u) << i << ": " << out[i];
    }
    EXPECT_EQ(cam.finished, (std::vector<bool>{true, true}));
    EXPECT_EQ(cam.reason, QString());
    EXPECT_EQ(cam.streamer->pipeline().rebuildCount(), 0) << "rebuild requested";
    EXPECT_GT(cv::norm(store.homography, shiftedHomography, cv::NORM_INF), 1e-3) << "reloaded";

    // The same corners again calibrate only as a new set; a set that cannot be saved
    // names the file.
    cam.click(trueCorners());
    EXPECT_EQ(cam.finished.size(), 2u);
    cam.streamer->beginCorners();
    cam.click(trueCorners());
    EXPECT_EQ(cam.finished, (std::vector<bool>{true, true, true}));
    const std::string blocked = "calib_data/" + file_set::stagedName("board_corners.xml");
    std::filesystem::create_directories(blocked + "/x");
    cam.streamer->beginCorners();
    cam.click(trueCorners());
    std::filesystem::remove_all(blocked);
    EXPECT_EQ(cam.finished, (std::vector<bool>{true, true, true, false}));
    EXPECT_EQ(cam.reason, QString("Calibration could not be saved: board_corners.xml"));

    console.start();
    cam.rebuilt();
    cam.openCalibrationPicture();
    const cv::Mat homography = store.homography.clone();
    const std::vector<int> board = store.boardGrids;
    const int builds = cam.streamer->pipeline().rebuildCount();
    cam.click({cv::Point2d(0.3, 0.3), cv::Point2d(0.7, 0.3), cv::Point2d(0.3, 0.3),
               cv::Point2d(0.3, 0.71)});
    EXPECT_EQ(console.take().find("Saving calibration files done!!!"), std::string::npos);
    EXPECT_EQ(cam.finished, (std::vector<bool>{true, true, true, false, false}));
    EXPECT_EQ(cam.reason, QString("Corners refused: click the four board corners again"));
    EXPECT_EQ(cv::norm(store.homography, homography, cv::NORM_INF), 0.0);
    EXPECT_EQ(store.boardGrids, board);
    EXPECT_EQ(cam.streamer->pipeline().rebuildCount(), builds) << "no rebuild";
}

// The process-wide store holds the rig's lens files, made before any camera object.
const ::testing::Environment* const rigStore =
    ::testing::AddGlobalTestEnvironment(new RigStoreEnvironment);
