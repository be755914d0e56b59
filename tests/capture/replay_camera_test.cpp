#include "replay_camera.h"
#include "test_support.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>

#include <gtest/gtest.h>

#include <chrono>

namespace {

constexpr int sequenceLength = 3;

// A three-frame image sequence whose frames differ in their blue value.
struct Recording {
    QTemporaryDir dir;
    std::string pattern;
    Recording() {
        pattern = (dir.path() + "/f_%04d.png").toStdString();
        for (int i = 0; i < sequenceLength; ++i) {
            char name[64];
            std::snprintf(name, sizeof name, "/f_%04d.png", i);
            cv::imwrite((dir.path() + name).toStdString(),
                        cv::Mat(48, 64, CV_8UC3, cv::Scalar(40 * (i + 1), 0, 0)));
        }
    }
    QString firstFile() const { return dir.path() + "/f_0000.png"; }
};

} // namespace

TEST(ReplayCamera, PresenceFollowsTheFirstFileOfTheRecording) {
    Recording recording;
    ReplayPresence presence(recording.pattern);
    EXPECT_TRUE(presence.isCameraAttached());
    ASSERT_TRUE(QFile::rename(recording.firstFile(), recording.firstFile() + ".away"));
    EXPECT_FALSE(presence.isCameraAttached());
    ASSERT_TRUE(QFile::rename(recording.firstFile() + ".away", recording.firstFile()));
    EXPECT_TRUE(presence.isCameraAttached());
    EXPECT_FALSE(ReplayPresence("/nonexistent/video.avi").isCameraAttached());
}

TEST(ReplayCamera, OnlyIndexZeroOpensAndTheRecordingReportsItsOwnSize) {
    Recording recording;
    ReplayCapture capture(recording.pattern);
    EXPECT_FALSE(capture.openIndex(1));
    EXPECT_FALSE(capture.isOpened());
    cv::Mat frame(2, 2, CV_8UC3);
    capture.read(frame);
    EXPECT_TRUE(frame.empty()) << "reading a closed replay";
    EXPECT_FALSE(ReplayCapture("/nonexistent/f_%04d.png").openIndex(0));
    ASSERT_TRUE(capture.openIndex(0));
    EXPECT_TRUE(capture.set(cv::CAP_PROP_FRAME_WIDTH, 10000));
    EXPECT_TRUE(capture.set(cv::CAP_PROP_FOURCC, cv::VideoWriter::fourcc('M', 'J', 'P', 'G')));
    EXPECT_EQ(capture.get(cv::CAP_PROP_FRAME_WIDTH), 64);
    EXPECT_EQ(capture.get(cv::CAP_PROP_FRAME_HEIGHT), 48);
    EXPECT_EQ(capture.get(cv::CAP_PROP_FPS), 30);
}

TEST(ReplayCamera, OnlyOneIntegerConversionMakesANumberedPattern) {
    // No file exists, so a pattern resolves to its file 1.
    const struct {
        const char* source;
        const char* firstFile;
    } rows[] = {
        {"/none/f_%04d.png", "/none/f_0001.png"},
        {"/none/f_%d.png", "/none/f_1.png"},
        {"/none/f_%02d.png", "/none/f_01.png"},
        {"/none/f_%010d.png", "/none/f_0000000001.png"},
        {"/none/%d", "/none/1"},
        {"/none/scene.avi", "/none/scene.avi"},
        {"/none/f_%s.png", "/none/f_%s.png"},
        {"/none/f_%n.png", "/none/f_%n.png"},
        {"/none/f_%4d.png", "/none/f_%4d.png"},
        {"/none/f_%0d.png", "/none/f_%0d.png"},
        {"/none/f_%0100d.png", "/none/f_%0100d.png"},
        {"/none/f_%04d_%04d.png", "/none/f_%04d_%04d.png"},
        {"/none/f_%%%d.png", "/none/f_%%%d.png"},
        {"/none/100%", "/none/100%"},
        {"/none/f_%04", "/none/f_%04"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(ReplayPresence::firstFileOf(row.source), row.firstFile) << row.source;
    }
    ConsoleCapture console;
    ReplayPresence plain("/none/f_%s.png");
    ReplayPresence pattern("/none/f_%04d.png");
    EXPECT_EQ(console.take(),
              "replay: /none/f_%s.png is not a numbered pattern (one %d or %0Nd); replaying it "
              "as a plain path\n");
}

// A camera-like MJPEG recording hands over each frame's JPEG bytes, an image sequence
// its decoded pictures; both loop back to their first frame and are read at the pace of
// a camera, the recording's own rate or 30 per second.
TEST(ReplayCamera, AnMjpegRecordingGivesItsJpegBytesAndAnImageSequenceItsPictures) {
    Recording recording;
    const std::string avi = (recording.dir.path() + "/scene.avi").toStdString();
    {
        cv::VideoWriter writer(avi, cv::CAP_OPENCV_MJPEG,
                               cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 12, cv::Size(64, 48));
        ASSERT_TRUE(writer.isOpened());
        for (int i = 0; i < sequenceLength; ++i) {
            writer.write(cv::Mat(48, 64, CV_8UC3, cv::Scalar(40 * (i + 1), 0, 0)));
        }
    }
    for (const bool mjpeg : {true, false}) {
        ReplayCapture capture(mjpeg ? avi : recording.pattern);
        ASSERT_TRUE(capture.openIndex(0));
        EXPECT_EQ(capture.get(cv::CAP_PROP_FPS), mjpeg ? 12 : 30) << "the recording's own rate";
        capture.preferEncodedFrames();
        std::vector<int> blues;
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < sequenceLength + 1; ++i) {
            cv::Mat frame;
            capture.read(frame);
            ASSERT_EQ(frame.rows == 1 && frame.type() == CV_8UC1, mjpeg) << "read " << i;
            const cv::Mat picture = mjpeg ? cv::imdecode(frame, cv::IMREAD_COLOR) : frame;
            blues.push_back(picture.at<cv::Vec3b>(0, 0)[0] / 10);
        }
        EXPECT_EQ(blues, (std::vector<int>{4, 8, 12, 4})) << mjpeg;
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        EXPECT_GE(took.count(), sequenceLength / capture.get(cv::CAP_PROP_FPS) - 0.01) << mjpeg;
    }
}
