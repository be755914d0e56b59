#include "fake_camera.h"
#include "video_streamer.h"

#include "calibration_files.h"

#include <QDir>
#include <QFile>
#include <QTextStream>

#include <opencv2/videoio.hpp>

#include <gtest/gtest.h>

#include <iostream>
#include <sstream>

namespace {

// Collects what the camera object prints.
class ConsoleCapture {
public:
    ConsoleCapture() : previous(std::cout.rdbuf(buffer.rdbuf())) {}
    ~ConsoleCapture() { std::cout.rdbuf(previous); }
    std::string text() const { return buffer.str(); }

private:
    std::ostringstream buffer;
    std::streambuf* previous;
};

// A camera object on a scripted camera, with the pictures it publishes.
struct StreamerRig {
    CameraScript script;
    std::unique_ptr<VideoStreamer> streamer;
    std::vector<QImage> live;
    std::vector<QImage> calibration;

    void start() {
        streamer = std::make_unique<VideoStreamer>(std::make_unique<ScriptedPlatform>(script));
        QObject::connect(streamer.get(), &VideoStreamer::newImage,
                         [this](QImage& image) { live.push_back(image); });
        QObject::connect(streamer.get(), &VideoStreamer::imageForCalibration,
                         [this](QImage& image) { calibration.push_back(image); });
    }
    void ticks(int count) {
        for (int i = 0; i < count; ++i) {
            streamer->onFrameTimer();
        }
    }
};

bool isPlaceholder(const QImage& image) {
    return image.constBits() == placeholderImage.constBits();
}

std::string fourccWrite(char a, char b, char c, char d) {
    return std::to_string(cv::CAP_PROP_FOURCC) + "=" +
           std::to_string(static_cast<double>(cv::VideoWriter::fourcc(a, b, c, d)));
}

std::string write(int property, double value) {
    return std::to_string(property) + "=" + std::to_string(value);
}

QStringList logLines() {
    QFile file("log.txt");
    file.open(QIODevice::ReadOnly);
    return QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
}

void removeCalibrationDirectory() {
    QDir("calib_data").removeRecursively();
}

} // namespace

TEST(OpenSequence, ProbesUntilTheIndexThatSettlesAt4KAndConfiguresItInOrder) {
    StreamerRig rig;
    rig.script.openableIndices = {0, 1, 2};
    rig.script.boardCameraIndex = 2;
    rig.start();
    EXPECT_EQ(rig.streamer->currentCameraIndex(), 2);
    EXPECT_TRUE(rig.streamer->getCameraConnected());

    const std::vector<std::string> probe = {write(cv::CAP_PROP_FRAME_HEIGHT, 1),
                                            write(cv::CAP_PROP_FRAME_WIDTH, 10000)};
    std::vector<std::string> expected;
    for (int i = 0; i < 3; ++i) {
        expected.insert(expected.end(), probe.begin(), probe.end());
    }
    const std::vector<std::string> configure = {
        write(cv::CAP_PROP_FPS, 30), fourccWrite('m', 'j', 'p', 'g'),
        fourccWrite('M', 'J', 'P', 'G'), write(cv::CAP_PROP_FRAME_WIDTH, 3840),
        write(cv::CAP_PROP_FRAME_HEIGHT, 2160)};
    expected.insert(expected.end(), configure.begin(), configure.end());
    EXPECT_EQ(rig.script.writes, expected);
    EXPECT_EQ(rig.script.reads, 5) << "five frames are discarded after opening";
    EXPECT_TRUE(logLines().contains("camera connected : 1 cam id : 2"));
    EXPECT_TRUE(logLines().contains("****dim1 : 3840 dim2 : 2160"));
}

TEST(OpenSequence, NoBoardCameraLeavesIndexUnsetAndConnectedUnchanged) {
    StreamerRig rig;
    rig.script.openableIndices = {0, 1};
    rig.script.boardCameraIndex = 7;
    rig.start();
    EXPECT_EQ(rig.streamer->currentCameraIndex(), -1);
    EXPECT_TRUE(rig.streamer->getCameraConnected());
    EXPECT_EQ(rig.script.reads, 0);
}

TEST(OpenSequence, AnUnplugAtAnyStepEndsWithNoCameraOpen) {
    for (int checks = 0; checks <= 14; ++checks) {
        StreamerRig rig;
        rig.script.detachAfterChecks = checks;
        rig.start();
        if (rig.script.attached) {
            EXPECT_EQ(rig.streamer->currentCameraIndex(), 0) << "detach after " << checks;
        } else {
            EXPECT_EQ(rig.streamer->currentCameraIndex(), -1) << "detach after " << checks;
            EXPECT_FALSE(rig.streamer->getCameraConnected()) << "detach after " << checks;
        }
    }
}

TEST(FrameLoop, UnpluggedTicksPublishThePlaceholderOncePerSecond) {
    QFile::remove("log.txt");
    StreamerRig rig;
    rig.script.attached = false;
    rig.start();
    rig.ticks(3);
    ASSERT_EQ(rig.live.size(), 3u);
    for (const QImage& image : rig.live) {
        EXPECT_TRUE(isPlaceholder(image));
    }
    EXPECT_EQ(rig.streamer->currentTimerInterval(), VideoStreamer::reconnectIntervalMs);
    // The constructor's open sequence and one per tick.
    EXPECT_EQ(logLines().filter("camera connected : 0 cam id : -1").size(), 4);

    rig.script.attached = true;
    rig.ticks(1);
    EXPECT_EQ(rig.streamer->currentCameraIndex(), 0);
    EXPECT_EQ(rig.streamer->currentTimerInterval(), 0) << "full speed once a camera is open";
    ASSERT_EQ(rig.live.size(), 4u);
    EXPECT_FALSE(isPlaceholder(rig.live.back()));
    EXPECT_EQ(rig.live.back().size(), QSize(3840, 2160));
}

TEST(FrameLoop, AnEmptyPipelineResultCountsAsALostCamera) {
    StreamerRig rig;
    rig.start();
    rig.script.frameForRead = [](int) { return cv::Mat(); };
    rig.ticks(1);
    ASSERT_EQ(rig.live.size(), 1u);
    EXPECT_TRUE(isPlaceholder(rig.live[0]));
    EXPECT_FALSE(rig.streamer->getCameraConnected());
    EXPECT_EQ(rig.streamer->currentCameraIndex(), -1);
    EXPECT_FALSE(rig.streamer->saveImage());
}

TEST(FrameLoop, CalibrationModeSendsOnePicturePerOpeningAndFreezesTheLiveView) {
    StreamerRig rig;
    rig.start();
    rig.ticks(1);
    const size_t liveBefore = rig.live.size();
    int emptyReads = 2;
    rig.script.frameForRead = [&emptyReads](int) {
        return emptyReads-- > 0 ? cv::Mat() : cv::Mat(2160, 3840, CV_8UC3, cv::Scalar(1, 2, 3));
    };
    rig.streamer->setOpenCalibration(true);
    rig.ticks(5);
    ASSERT_EQ(rig.calibration.size(), 3u);
    EXPECT_TRUE(isPlaceholder(rig.calibration[0]));
    EXPECT_TRUE(isPlaceholder(rig.calibration[1]));
    EXPECT_FALSE(isPlaceholder(rig.calibration[2]));
    EXPECT_EQ(rig.live.size(), liveBefore);

    rig.streamer->setOpenCalibration(false);
    rig.streamer->setOpenCalibration(true);
    rig.ticks(2);
    EXPECT_EQ(rig.calibration.size(), 4u) << "reopening the window sends a fresh picture";

    rig.script.attached = false;
    rig.ticks(1);
    ASSERT_EQ(rig.calibration.size(), 5u);
    EXPECT_TRUE(isPlaceholder(rig.calibration.back()));
    rig.script.attached = true;
    rig.ticks(1);
    ASSERT_EQ(rig.calibration.size(), 6u);
    EXPECT_FALSE(isPlaceholder(rig.calibration.back())) << "replug sends a new picture";
    EXPECT_EQ(rig.live.size(), liveBefore);
}

TEST(FrameLoop, PublishedPicturesOutliveTheCameraObject) {
    StreamerRig rig;
    rig.start();
    rig.ticks(2);
    rig.streamer->setOpenCalibration(true);
    rig.ticks(1);
    ASSERT_FALSE(rig.live.empty());
    ASSERT_FALSE(rig.calibration.empty());
    const QImage live = rig.live.back();
    const QImage calibration = rig.calibration.back();
    rig.live.clear();
    rig.calibration.clear();
    rig.streamer.reset();
    // Reading after the owner is gone: the sanitizer build catches a dangling buffer.
    EXPECT_EQ(live.pixelColor(10, 10), QColor(160, 180, 200));
    EXPECT_EQ(calibration.pixelColor(0, 0).alpha(), 255);
}

TEST(Placeholder, IsAWhiteFullHdPictureWithTwoCentredLines) {
    StreamerRig rig;
    rig.script.attached = false;
    rig.start();
    const QImage& image = placeholderImage;
    ASSERT_EQ(image.size(), QSize(1920, 1080));
    for (const QPoint corner :
         {QPoint(0, 0), QPoint(1919, 0), QPoint(0, 1079), QPoint(1919, 1079)}) {
        EXPECT_EQ(image.pixelColor(corner), QColor(Qt::white));
    }
    // Rows holding text, split into the two lines by the empty band between them.
    std::vector<int> textRows;
    int left = 1920;
    int right = 0;
    for (int y = 0; y < 1080; ++y) {
        bool any = false;
        for (int x = 0; x < 1920; ++x) {
            if (image.pixelColor(x, y) == QColor(238, 75, 43)) {
                any = true;
                left = std::min(left, x);
                right = std::max(right, x);
            }
        }
        if (any) {
            textRows.push_back(y);
        }
    }
    ASSERT_FALSE(textRows.empty());
    EXPECT_NEAR((left + right) / 2.0, 960, 4);
    std::vector<std::pair<int, int>> bands;
    for (int y : textRows) {
        if (bands.empty() || y > bands.back().second + 1) {
            bands.push_back({y, y});
        } else {
            bands.back().second = y;
        }
    }
    ASSERT_EQ(bands.size(), 2u);
    EXPECT_LT(bands[0].second, 540);
    EXPECT_GT(bands[1].first, 540);
}

TEST(Properties, UnchangedWritesAreSilentAndSettingsReachThePipelineTruncated) {
    StreamerRig rig;
    rig.start();
    int emitted = 0;
    auto count = [&emitted] { ++emitted; };
    QObject::connect(rig.streamer.get(), &VideoStreamer::detailsChanged, count);
    QObject::connect(rig.streamer.get(), &VideoStreamer::brightnessChanged, count);
    QObject::connect(rig.streamer.get(), &VideoStreamer::contrastChanged, count);
    QObject::connect(rig.streamer.get(), &VideoStreamer::arChanged, count);
    QObject::connect(rig.streamer.get(), &VideoStreamer::p1Changed, count);
    rig.streamer->setDetails(4.0);
    rig.streamer->setBrightness(-81.0);
    rig.streamer->setContrast(70.0);
    rig.streamer->setAr(true);
    EXPECT_EQ(emitted, 0);

    rig.streamer->setBrightness(-81.7);
    rig.streamer->setContrast(70.9);
    rig.streamer->setP1x(0.25);
    rig.streamer->setP1y(0.5);
    EXPECT_EQ(emitted, 4);
    EXPECT_EQ(rig.streamer->pipeline().brightness, -81);
    EXPECT_EQ(rig.streamer->pipeline().contrast, 70);
}

TEST(Properties, OutOfRangeModeAndBoardColourAreRefused) {
    QDir().mkpath("calib_data");
    QFile::remove(QString::fromStdString(calib_files::boardColorXml));
    StreamerRig rig;
    rig.start();
    rig.streamer->setMode(3);
    rig.streamer->setBoardColor(7);
    rig.streamer->setBoardColor(-1);
    EXPECT_EQ(rig.streamer->getMode(), 0);
    EXPECT_EQ(rig.streamer->getBoardColor(), 0);
    EXPECT_FALSE(QFile::exists(QString::fromStdString(calib_files::boardColorXml)));
    removeCalibrationDirectory();
}

TEST(Properties, BoardColourIsPersistedOnlyWhenItChanges) {
    QDir().mkpath("calib_data");
    StreamerRig rig;
    rig.start();
    rig.streamer->setBoardColor(2);
    EXPECT_EQ(calib_files::readBoardColor(), 2);
    EXPECT_EQ(rig.streamer->pipeline().boardColor, 2);
    QFile::remove(QString::fromStdString(calib_files::boardColorXml));
    rig.streamer->setBoardColor(2);
    EXPECT_FALSE(QFile::exists(QString::fromStdString(calib_files::boardColorXml)));
    rig.streamer->setBoardColor(1);
    EXPECT_EQ(calib_files::readBoardColor(), 1);
    EXPECT_TRUE(QDir("calib_data").entryList({"*.tmp*"}, QDir::Files).isEmpty());
    removeCalibrationDirectory();
}

TEST(Properties, ExposureFollowsTheModeOnlyAtTheNextValueWrite) {
    StreamerRig rig;
    rig.start();
    rig.script.writes.clear();
    const std::string exposure = std::to_string(cv::CAP_PROP_EXPOSURE);
    rig.streamer->setExpMode(1);
    EXPECT_TRUE(rig.script.writes.empty()) << "the mode alone sends nothing";
    rig.streamer->setExpVal(5);
    rig.streamer->setExpMode(0);
    EXPECT_EQ(rig.script.writes, std::vector<std::string>{exposure + "=5.000000"});
    rig.streamer->setExpVal(6);
    EXPECT_EQ(rig.script.writes.back(), exposure + "=-6.000000")
        << "automatic restores the exposure read at opening";
    EXPECT_EQ(rig.streamer->pipeline().buildCount, 0);
}

TEST(Properties, OnlyAChangedFourthCornerStartsTheCalibration) {
    StreamerRig rig;
    rig.start();
    QDir().mkpath("calib_data");
    ConsoleCapture console;
    rig.streamer->setP1x(0.1);
    rig.streamer->setP2x(0.9);
    rig.streamer->setP3x(0.9);
    rig.streamer->setP4x(0.1);
    EXPECT_EQ(console.text().find("Received all board corners"), std::string::npos);
    rig.streamer->setP4y(0.0);
    EXPECT_EQ(console.text().find("Received all board corners"), std::string::npos);
    rig.streamer->setP4y(0.8);
    EXPECT_NE(console.text().find("Received all board corners"), std::string::npos);
    // No calibration picture was made yet, so nothing may be saved or claimed saved.
    EXPECT_EQ(console.text().find("Saving calibration files done!!!"), std::string::npos);
    EXPECT_FALSE(QFile::exists(QString::fromStdString(calib_files::perspectiveXml)));
    removeCalibrationDirectory();
}

TEST(Snapshots, SaveReportsWhetherAFileWasWrittenAndKeepsSameSecondShots) {
    StreamerRig rig;
    rig.start();
    EXPECT_FALSE(rig.streamer->saveImage()) << "no picture yet";
    rig.ticks(1);
    const QString dir = QString::fromStdString(rig.streamer->snapshotDirectory());
    EXPECT_TRUE(dir.endsWith("//Brisel//"));
    QDir(dir).removeRecursively();
    EXPECT_FALSE(rig.streamer->saveImage()) << "folder removed after start-up";
    QDir().mkpath(dir);
    ASSERT_TRUE(rig.streamer->saveImage());
    ASSERT_TRUE(rig.streamer->saveImage());
    const QStringList files = QDir(dir).entryList({"Brisel_*.jpg"}, QDir::Files);
    EXPECT_GE(files.size(), 2) << files.join(",").toStdString();
}

TEST(OpenVideoCamera, TimerIntervalFollowsTheSourceFrameRate) {
    struct Row {
        double fps;
        int interval;
    };
    for (const Row row : {Row{25, 40}, Row{0, 33}, Row{30, 33}, Row{60, 16}}) {
        StreamerRig rig;
        rig.script.framesPerSecond = row.fps;
        rig.start();
        rig.streamer->openVideoCamera("recording.avi");
        EXPECT_EQ(rig.streamer->currentTimerInterval(), row.interval) << row.fps;
    }
}
