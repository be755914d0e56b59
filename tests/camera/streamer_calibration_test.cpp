// The board-corner calibration through the camera object, on the rig's lens files: the
// console, the files, the store and the pipeline after an accepted and a refused set of
// corners, and the calibrationFinished signal the dialogue listens to.
#include "event_pump.h"
#include "fake_camera.h"
#include "qt_test_home.h"
#include "video_streamer.h"

#include "calibration_files.h"
#include "calibration_store.h"
#include "cell_grid.h"
#include "file_set.h"
#include "test_rig.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QThread>

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <sstream>

namespace {

class ConsoleCapture {
public:
    ConsoleCapture() : previous(std::cout.rdbuf(buffer.rdbuf())) {}
    ~ConsoleCapture() { std::cout.rdbuf(previous); }
    std::vector<std::string> lines() const {
        std::vector<std::string> out;
        std::istringstream in(buffer.str());
        for (std::string line; std::getline(in, line);) {
            out.push_back(line);
        }
        return out;
    }

private:
    std::ostringstream buffer;
    std::streambuf* previous;
};

std::string fileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

using Corners = std::array<cv::Point2d, 4>;

// A camera object on rig frames whose calibration picture has been made, counting the
// calibrationFinished answers.
struct Calibrating {
    CameraScript script;
    std::unique_ptr<VideoStreamer> streamer;
    std::vector<bool> finished;
    QString reason;
    size_t pictures = 0;

    Calibrating() {
        script.streamSize = cv::Size(3840, 2160);
        // Rendered once: a read must return at once, or stopping the camera thread waits.
        const cv::Mat frame = testRig().frame(rig::Board::White, 0);
        script.frameForRead = [frame](int) { return frame; };
        script.readPeriod = std::chrono::milliseconds(30);
        streamer = std::make_unique<VideoStreamer>(scriptedPlatform(script));
        QObject::connect(streamer.get(), &VideoStreamer::calibrationFinished,
                         [this](bool ok, const QString& why) {
                             finished.push_back(ok);
                             reason = why;
                         });
        QObject::connect(streamer.get(), &VideoStreamer::imageForCalibration,
                         [this](QImage& image) { pictures += isPlaceholder(image) ? 0 : 1; });
        openCalibrationPicture();
    }
    static bool isPlaceholder(const QImage& image) {
        return image.constBits() == placeholderImage.constBits();
    }
    void openCalibrationPicture() {
        const size_t before = pictures;
        streamer->setOpenCalibration(true);
        EXPECT_TRUE(pumpUntil([&] { return pictures > before; }, 60000))
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
        EXPECT_TRUE(pumpUntil([&] { return streamer->pipeline().buildCount > 0; }, 60000));
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

TEST(StreamerCalibration, AcceptedCornersAreSavedReloadedAndRebuilt) {
    CalibrationStore& store = CalibrationStore::instance();
    Calibrating cam;
    {
        ConsoleCapture quiet;
        cam.click(shifted(trueCorners(), -0.02, 0.01));
        cam.rebuilt();
        cam.openCalibrationPicture();
    }
    ASSERT_EQ(cam.finished, std::vector<bool>{true});
    ASSERT_GT(cam.streamer->pipeline().buildCount, 0);

    ConsoleCapture console;
    cam.click(trueCorners());
    const std::vector<std::string> out = console.lines();
    const std::vector<std::string> expected{"Received all board corners",
                                            "p1 : ",
                                            "p2 : ",
                                            "p3 : ",
                                            "p4 : ",
                                            "7440 2760",
                                            "[",
                                            "[",
                                            "[",
                                            "[",
                                            "=====================",
                                            "[",
                                            "[",
                                            "[",
                                            "[",
                                            "saving current path: ",
                                            "w/h: ",
                                            "w: 1920 h: 1280",
                                            "Saving calibration files done!!!",
                                            "Total Grids : 800 Final grids size : ",
                                            "after calibration!"};
    ASSERT_EQ(out.size(), expected.size()) << console.lines().size();
    for (size_t i = 0; i < out.size(); ++i) {
        EXPECT_EQ(out[i].rfind(expected[i], 0), 0u) << i << ": " << out[i];
    }
    EXPECT_EQ(cam.finished, (std::vector<bool>{true, true}));
    EXPECT_EQ(cam.reason, QString());
    EXPECT_EQ(cam.streamer->pipeline().buildCount, 0) << "rebuild requested";
    // The store holds the new calibration: the true corners go to the picture corners.
    std::vector<cv::Point2f> mapped;
    const auto& c = testRig().canvasCorners;
    cv::perspectiveTransform(std::vector<cv::Point2f>(c.begin(), c.end()), mapped,
                             store.homography);
    EXPECT_NEAR(mapped[0].x, 0.0, 0.01);
    EXPECT_NEAR(mapped[2].x, 1920.0, 0.01);
    EXPECT_NEAR(mapped[2].y, 1280.0, 0.01);
    std::array<cv::Point, 4> rounded;
    for (int i = 0; i < 4; ++i) {
        rounded[i] = cv::Point(cvRound(c[i].x), cvRound(c[i].y));
    }
    EXPECT_EQ(store.boardGrids, cell_grid::boardCells(rounded, store.canvasWidth,
                                                      store.canvasHeight, store.canvasCells));

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
}

struct RefusedCase {
    const char* name;
    Corners corners;
    const char* reason;
};

class StreamerRefusal : public testing::TestWithParam<RefusedCase> {};

// A refusal leaves the files byte for byte, the store and the running pipeline as they
// were, and answers false.
TEST_P(StreamerRefusal, LeavesTheGoodCalibrationIntact) {
    CalibrationStore& store = CalibrationStore::instance();
    Calibrating cam;
    {
        ConsoleCapture quiet;
        cam.click(trueCorners());
        cam.rebuilt();
        cam.openCalibrationPicture();
    }
    ASSERT_EQ(cam.finished, std::vector<bool>{true});
    const std::string corners = fileBytes(calib_files::boardCornersXml);
    const std::string perspective = fileBytes(calib_files::perspectiveXml);
    const cv::Mat homography = store.homography.clone();
    const std::vector<int> board = store.boardGrids;
    const int builds = cam.streamer->pipeline().buildCount;
    ASSERT_GT(builds, 0);

    ConsoleCapture console;
    cam.click(GetParam().corners);
    std::string out;
    for (const std::string& line : console.lines()) {
        out += line + "\n";
    }
    EXPECT_NE(out.find(std::string("calibration refused: ") + GetParam().reason), std::string::npos)
        << out;
    EXPECT_EQ(out.find("Saving calibration files done!!!"), std::string::npos) << out;
    EXPECT_EQ(cam.finished, (std::vector<bool>{true, false}));
    EXPECT_EQ(cam.reason, QString("Corners refused: click the four board corners again"));
    EXPECT_EQ(fileBytes(calib_files::boardCornersXml), corners);
    EXPECT_EQ(fileBytes(calib_files::perspectiveXml), perspective);
    EXPECT_EQ(cv::norm(store.homography, homography, cv::NORM_INF), 0.0);
    EXPECT_EQ(store.boardGrids, board);
    EXPECT_EQ(cam.streamer->pipeline().buildCount, builds) << "no rebuild";
}

INSTANTIATE_TEST_SUITE_P(
    StreamerCalibration, StreamerRefusal,
    testing::Values(RefusedCase{"SameCornerTwice",
                                {cv::Point2d(0.3, 0.3), cv::Point2d(0.7, 0.3),
                                 cv::Point2d(0.3, 0.3), cv::Point2d(0.3, 0.71)},
                                "corners 1 and 3 lie within 10 canvas pixels"},
                    RefusedCase{"ThreeOnADiagonal",
                                {cv::Point2d(0.2, 0.2), cv::Point2d(0.5, 0.5),
                                 cv::Point2d(0.8, 0.8), cv::Point2d(0.2, 0.81)},
                                "corner 1 lies on the line through corners 2 and 3"},
                    RefusedCase{"NotANumber",
                                {cv::Point2d(0.3, 0.3), cv::Point2d(0.7, 0.3),
                                 cv::Point2d(0.7, 0.7), cv::Point2d(0.3, std::nan(""))},
                                "corner 4 is not a finite number"}),
    [](const testing::TestParamInfo<RefusedCase>& i) { return std::string(i.param.name); });

int main(int argc, char** argv) {
    QtTestHome home;
    QGuiApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    // The process-wide store holds the rig's lens files (made before any camera object).
    static ScopedWorkDir work("streamer-calibration");
    work.linkRigCalibData();
    CalibrationStore::instance();
    return RUN_ALL_TESTS();
}
