#include "fake_camera.h"
#include "lesson_keeper.h"

#include "calibration_files.h"
#include "calibration_store.h"
#include "test_support.h"
#include "tiny_store.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>

#include <gtest/gtest.h>

#include <atomic>

namespace {

// A camera object on the tiny calibrated store, laid out before it and kept after it.
struct TinyRig : tiny::ScopedStore, StreamerRig {
    explicit TinyRig(std::function<cv::Mat(int)> frames) {
        script.streamSize = cv::Size(tiny::frameWidth, tiny::frameHeight);
        script.frameForRead = std::move(frames);
    }
};

std::string write(int property, double value) {
    return std::to_string(property) + "=" + std::to_string(value);
}

std::string fourccWrite(char a, char b, char c, char d) {
    return write(cv::CAP_PROP_FOURCC, cv::VideoWriter::fourcc(a, b, c, d));
}

QStringList logLines() {
    QFile file("log.txt");
    file.open(QIODevice::ReadOnly);
    return QString::fromUtf8(file.readAll()).split('\n', Qt::SkipEmptyParts);
}

// A frame whose blue value tells which read it came from.
cv::Mat numberedFrame(int read) {
    return cv::Mat(216, 384, CV_8UC3, cv::Scalar(read % 256, 180, 160));
}

} // namespace

TEST(OpenSequence, ProbesUntilTheIndexThatSettlesAt4KConfiguresItInOrderAndDiscardsFiveFrames) {
    QFile::remove("log.txt");
    StreamerRig rig;
    rig.script.openableIndices = {0, 1, 2};
    rig.script.boardCameraIndex = 2;
    rig.script.frameForRead = numberedFrame;
    rig.start();
    ASSERT_TRUE(rig.waitForLive(1));
    EXPECT_EQ(rig.streamer->currentCameraIndex(), 2);
    EXPECT_TRUE(rig.streamer->getCameraConnected());
    const int firstBlue = rig.live[0].pixelColor(0, 0).blue();
    EXPECT_GE(firstBlue, 5) << "reads 0 ... 4 are discarded";

    std::vector<std::string> expected;
    for (int i = 0; i < 3; ++i) { // the probe of each index
        expected.push_back(write(cv::CAP_PROP_FRAME_HEIGHT, 1));
        expected.push_back(write(cv::CAP_PROP_FRAME_WIDTH, 10000));
    }
    expected.insert(expected.end(),
                    {write(cv::CAP_PROP_FPS, 30), fourccWrite('m', 'j', 'p', 'g'),
                     fourccWrite('M', 'J', 'P', 'G'), write(cv::CAP_PROP_FRAME_WIDTH, 3840),
                     write(cv::CAP_PROP_FRAME_HEIGHT, 2160)});
    EXPECT_EQ(rig.get(&CameraScript::writes), expected);
    // log.txt keeps the order of the open sequence.
    const QStringList log = logLines();
    QStringList want;
    for (int i = 0; i < 2; ++i) {
        want << "dim1 : 640 dim2 : 480"
             << "****dim1 : 640 dim2 : 480";
    }
    want << "dim1 : 640 dim2 : 480"
         << "****dim1 : 3840 dim2 : 2160"
         << "camera connected : 1 cam id : 2";
    EXPECT_EQ(log.mid(log.size() - want.size()), want);
    ASSERT_TRUE(rig.waitForLive(8));
    EXPECT_EQ(rig.live[0].pixelColor(0, 0).blue(), firstBlue) << "a shown picture changed";
}

TEST(OpenSequence, NoBoardCameraLeavesIndexUnsetConnectedUnchangedAndShowsThePlaceholder) {
    StreamerRig rig;
    rig.script.openableIndices = {0, 1};
    rig.script.boardCameraIndex = 7;
    rig.start();
    ASSERT_TRUE(rig.waitForLive(1));
    EXPECT_TRUE(isPlaceholder(rig.live[0]));
    EXPECT_EQ(rig.streamer->currentCameraIndex(), -1);
    EXPECT_TRUE(rig.streamer->getCameraConnected());
    EXPECT_EQ(rig.get(&CameraScript::reads), 0);
}

TEST(OpenSequence, AnUnplugAtAnyStepEndsWithNoCameraOpen) {
    for (int checks = 0; checks <= 14; ++checks) {
        StreamerRig rig;
        rig.script.detachAfterChecks = checks;
        rig.start();
        ASSERT_TRUE(rig.waitForLive(1)) << "detach after " << checks;
        const bool attached = rig.get(&CameraScript::attached);
        EXPECT_EQ(isPlaceholder(rig.live[0]), !attached) << "detach after " << checks;
        EXPECT_EQ(rig.streamer->currentCameraIndex(), attached ? 0 : -1) << checks;
        EXPECT_EQ(rig.streamer->getCameraConnected(), attached) << "detach after " << checks;
    }
}

// Unplugged, the camera is looked for every second; log.txt hears of it when it goes
// and then once a minute, so a classroom PC left on does not fill it.
TEST(FrameLoop, UnpluggedRetriesOnceASecondWithThePlaceholderAndAReplugShowsTheCamera) {
    QFile::remove("log.txt");
    StreamerRig rig;
    rig.script.attached = false;
    rig.start();
    ASSERT_TRUE(rig.waitForLive(3));
    EXPECT_EQ(rig.placeholders(), 3);
    EXPECT_EQ(logLines().filter("camera connected : 0 cam id : -1").size(), 1);

    rig.plug(true);
    ASSERT_TRUE(pumpUntil([&] { return rig.cameraPictures() > 0; }));
    EXPECT_EQ(rig.streamer->currentCameraIndex(), 0);
    EXPECT_FALSE(isPlaceholder(rig.live.back()));
    EXPECT_EQ(rig.live.back().size(), QSize(384, 216));
}

// A read that yields nothing is a hiccup while the device is attached: short ones are
// retried, long ones reopen the camera after releasing it (a real device refuses a
// second open), and neither shows the placeholder.
TEST(FrameLoop, AHiccupRecoversWithoutThePlaceholder) {
    struct Row {
        int emptyReads;
        bool reopens;
    };
    for (const Row row : {Row{20, false}, Row{250, true}}) {
        StreamerRig rig;
        int firstEmpty = 10;
        rig.script.frameForRead = [&firstEmpty, row](int n) {
            const bool empty = n >= firstEmpty && n < firstEmpty + row.emptyReads;
            return empty ? cv::Mat() : numberedFrame(n);
        };
        rig.start();
        ASSERT_TRUE(
            pumpUntil([&] { return rig.get(&CameraScript::reads) > 10 + row.emptyReads; }, 10000));
        const int picturesBefore = rig.cameraPictures();
        ASSERT_TRUE(pumpUntil([&] { return rig.cameraPictures() > picturesBefore + 2; }));
        EXPECT_EQ(rig.placeholders(), 0) << row.emptyReads;
        EXPECT_EQ(rig.get(&CameraScript::opens) > 2, row.reopens) << row.emptyReads;
        EXPECT_EQ(rig.get(&CameraScript::refusedOpens), 0)
            << "never probe a device our own capture holds";
        EXPECT_EQ(rig.streamer->currentCameraIndex(), 0);
    }
}

// The live loop lets the event loop run between a frame's pipeline stages. Meanwhile
// the camera thread must keep a plan that counts from the last whole frame, and an unplug
// must wait for the frame in progress: its picture may not follow the placeholder.
TEST(FrameLoop, AFrameInThePipelineKeepsThePlanInStepAndIsShownBeforeAnUnplug) {
    TinyRig rig([](int read) { return tiny::uniformFrame(60 + read % 100); });
    rig.start();
    const FrameProcessor& pipeline = rig.streamer->pipeline();
    ASSERT_TRUE(pumpUntil([&] { return pipeline.rebuildCount() > 0 && rig.cameraPictures() > 0; }));
    // Only queued calls run, until a frame is mid-way through the pipeline.
    const auto holdAFrameMidway = [&](bool rebuilding) {
        return pumpUntil([&] {
            QThread::msleep(20);
            QCoreApplication::sendPostedEvents(rig.streamer.get(), QEvent::MetaCall);
            return pipeline.frameInProgress() && (pipeline.rebuildCount() == 0) == rebuilding;
        });
    };
    ASSERT_TRUE(holdAFrameMidway(false));
    const DecodePlan midway = rig.streamer->decodePlan();
    while (pipeline.frameInProgress()) {
        QCoreApplication::sendPostedEvents(rig.streamer.get(), QEvent::MetaCall);
    }
    const DecodePlan after = rig.streamer->decodePlan();
    for (std::uint64_t s = after.after + 1; s <= midway.after + DecodePlan::length; ++s) {
        EXPECT_TRUE(midway.wantsPixels(s) || !after.wantsPixels(s)) << "frame " << s;
    }

    // A rebuild frame changes the picture.
    rig.streamer->setExpVal(5);
    ASSERT_TRUE(holdAFrameMidway(true));
    const size_t before = rig.live.size();
    rig.plug(false);
    QThread::msleep(800);
    ASSERT_TRUE(pumpUntil([&] { return rig.placeholders() > 0; }));
    pumpUntil([] { return false; }, 300);
    const auto first = std::find_if(rig.live.begin(), rig.live.end(), isPlaceholder);
    ASSERT_GT(first - rig.live.begin(), static_cast<long>(before)) << "the frame was shown";
    EXPECT_TRUE(std::all_of(first, rig.live.end(), isPlaceholder))
        << "no camera picture after the placeholder";
}

// On a still board the camera thread decodes the motion frames at half size; someone
// stepping in is first seen in such a frame, and the cells that show him are
// corrected from the whole frame, decoded then on the GUI thread.
TEST(FrameLoop, AStillBoardIsDecodedAtHalfSizeAndSomeoneSteppingInShowsAtOnce) {
    const auto jpeg = [](const cv::Mat& picture) {
        std::vector<uchar> bytes;
        cv::imencode(".jpg", picture, bytes, {cv::IMWRITE_JPEG_QUALITY, 95});
        return cv::Mat(bytes, true).reshape(1, 1);
    };
    const cv::Mat still = jpeg(tiny::uniformFrame(200));
    const cv::Mat entered = jpeg(tiny::frameWithPerson());
    std::atomic<int> entersAt{1 << 30};
    TinyRig rig([&](int read) { return read < entersAt ? still : entered; });
    tiny::showFramesToTheMotionStage(rig.store);
    ConsoleCapture console;
    rig.start();
    const FrameProcessor& pipeline = rig.streamer->pipeline();
    const auto reads = [&] { return rig.get(&CameraScript::reads); };
    bool halfSizePlanned = false;
    const bool settled = pumpUntil([&] {
        halfSizePlanned = halfSizePlanned || rig.streamer->decodePlan().halfBits != 0;
        return pipeline.rebuildCount() > 0 && halfSizePlanned && reads() > 20;
    });
    const cv::Point middle = (tiny::personBox.tl() + tiny::personBox.br()) / 2;
    const int board =
        settled ? pipeline.perspectiveStage().liveCanvas().at<cv::Vec3b>(middle)[1] : 0;
    entersAt = reads() + 1;
    const bool shown =
        settled && pumpUntil([&] {
            return std::abs(pipeline.perspectiveStage().liveCanvas().at<cv::Vec3b>(middle)[1] -
                            board) > 100;
        });
    const std::string printed = console.take();
    ASSERT_TRUE(halfSizePlanned) << "no half-size frames planned on a still board";
    ASSERT_TRUE(shown) << "the person never reached the live picture";
    EXPECT_EQ(printed.find("could not be decoded"), std::string::npos);
    EXPECT_EQ(printed.find("cannot use"), std::string::npos);
}

// One failed enumeration is a USB glitch; two in a row are an unplug, seen by the watch
// (every 250 ms) within a few of its checks, on its own clock: a read blocked for the
// capture's timeout does not delay it. A replug shows no stale frame. Closing does not
// wait for such a read: the application would end the process before its static
// destructors run under the live thread.
TEST(FrameLoop, AGlitchIsNotAnUnplugAndABlockedReadDelaysNeitherThePlaceholderNorClosing) {
    StreamerRig rig;
    rig.script.unpluggedReadBlock = std::chrono::milliseconds(8000);
    rig.start();
    ASSERT_TRUE(pumpUntil([&] { return rig.cameraPictures() > 0; }));
    const auto checks = [&] { return rig.get(&CameraScript::presenceChecks); };
    rig.script.set([](CameraScript& s) { s.glitchedChecks = 1; });
    const int glitchAt = checks();
    ASSERT_TRUE(pumpUntil([&] { return checks() >= glitchAt + 4; }));
    EXPECT_EQ(rig.placeholders(), 0);
    EXPECT_EQ(rig.get(&CameraScript::opens), 2) << "probe and capture only";

    rig.plug(false);
    const int unpluggedAt = checks();
    int shownAt = 0;
    ASSERT_TRUE(pumpUntil([&] {
        shownAt = checks();
        return rig.placeholders() > 0;
    }));
    EXPECT_LE(shownAt - unpluggedAt, 3) << "more than 3 watch periods to the placeholder";
    EXPECT_EQ(rig.get(&CameraScript::blockedReads), 1);
    EXPECT_FALSE(rig.streamer->getCameraConnected());
    const size_t shown = rig.live.size();
    rig.plug(true);
    ASSERT_TRUE(pumpUntil([&] { return rig.cameraPictures() > 0 && rig.live.size() > shown; }));
    EXPECT_FALSE(isPlaceholder(rig.live.back())) << "no stale frame after the placeholder";

    // Unplugged between the presence test and the read: the read blocks.
    rig.plug(false);
    ASSERT_TRUE(pumpUntil([&] { return rig.get(&CameraScript::blockedReads) > 0; }));
    QElapsedTimer clock;
    clock.start();
    rig.streamer.reset();
    EXPECT_LT(clock.elapsed(), 2500);
    EXPECT_TRUE(rig.cameraStuck);
    // Let the left-behind camera thread finish before the script goes away.
    rig.plug(true);
    ASSERT_TRUE(pumpUntil([&] { return rig.get(&CameraScript::holders) == 0; }));
    QThread::msleep(100);
}

// A 4K camera restarts on format writes: the open sequence looks at the stop request
// between its steps, so closing during it never leaves the thread behind.
TEST(FrameLoop, ClosingDuringASlowOpenSequenceIsClean) {
    for (const int opensBeforeClosing : {1, 3, 4}) {
        StreamerRig rig;
        rig.script.deviceCallTime = std::chrono::milliseconds(250);
        rig.script.openableIndices = {0, 1, 2};
        rig.script.boardCameraIndex = 2;
        rig.start();
        ASSERT_TRUE(
            pumpUntil([&] { return rig.get(&CameraScript::opens) >= opensBeforeClosing; }, 10000));
        rig.streamer.reset();
        EXPECT_FALSE(rig.cameraStuck) << "closed after open " << opensBeforeClosing;
        EXPECT_EQ(rig.get(&CameraScript::holders), 0);
    }
}

// A camera that opens but never gives a good frame: after 3 s the window says so and
// the camera counts as not connected. While frames still come, all damaged, the
// capture stays open and a good frame brings the picture back; while reads fail
// outright, it is reopened with growing pauses. log.txt hears of the state once.
TEST(FrameLoop, ACameraThatSendsNoPictureShowsSoAndComesBack) {
    const cv::Mat damaged =
        cv::Mat(std::vector<uchar>{0xFF, 0xD8, 0xFF, 1, 2, 3}, true).reshape(1, 1);
    for (const bool readsFail : {false, true}) {
        QFile::remove("log.txt");
        StreamerRig rig;
        std::atomic<bool> good{false};
        rig.script.frameForRead = [&](int n) {
            return good ? numberedFrame(n) : readsFail ? cv::Mat() : damaged;
        };
        rig.start();
        ASSERT_TRUE(
            pumpUntil([&] { return !rig.live.empty() && isNoPicture(rig.live.back()); }, 8000))
            << readsFail;
        EXPECT_FALSE(rig.streamer->getCameraConnected());
        // Reopens go on while reads fail, but only to the console.
        const auto opens = [&] { return rig.get(&CameraScript::opens); };
        const int opened = opens();
        EXPECT_EQ(pumpUntil([&] { return opens() > opened; }, readsFail ? 6000 : 1500), readsFail);
        pumpUntil([] { return false; }, 300); // the reopen's lines
        const QStringList log = logLines();
        EXPECT_EQ(log.filter("camera: no picture from the camera").size(), 1);
        EXPECT_EQ(log.mid(log.indexOf("camera: no picture from the camera") + 1), QStringList())
            << readsFail;

        good = true;
        ASSERT_TRUE(pumpUntil(
            [&] { return rig.cameraPictures() > 0 && rig.streamer->getCameraConnected(); }, 12000))
            << readsFail;
        EXPECT_EQ(logLines().filter("camera: picture back").size(), 1);
    }
}

// The pictures published last are read after the camera object is gone: the sanitizer
// build catches a dangling buffer.
TEST(FrameLoop, CalibrationModeSendsOnePicturePerOpeningAndFreezesTheLiveView) {
    StreamerRig rig;
    rig.start();
    ASSERT_TRUE(rig.waitForLive(2));
    rig.streamer->setOpenCalibration(true);
    const size_t liveBefore = rig.live.size();
    ASSERT_TRUE(pumpUntil([&] { return rig.calibration.size() == 1; }));
    rig.streamer->setOpenCalibration(true);
    QThread::msleep(100);
    QCoreApplication::processEvents();
    EXPECT_EQ(rig.calibration.size(), 1u) << "an unchanged write sends no second picture";

    rig.streamer->setOpenCalibration(false);
    rig.streamer->setOpenCalibration(true);
    ASSERT_TRUE(pumpUntil([&] { return rig.calibration.size() == 2; }));

    rig.plug(false);
    ASSERT_TRUE(pumpUntil([&] { return rig.calibration.size() == 3; }));
    EXPECT_TRUE(isPlaceholder(rig.calibration.back()));
    rig.plug(true);
    ASSERT_TRUE(pumpUntil([&] { return rig.calibration.size() == 4; }));
    EXPECT_FALSE(isPlaceholder(rig.calibration.back())) << "replug sends a new picture";
    EXPECT_FALSE(isPlaceholder(rig.calibration[0]));
    EXPECT_EQ(rig.live.size(), liveBefore);

    const QImage live = rig.live.back();
    const QImage calibration = rig.calibration.back();
    rig.live.clear();
    rig.calibration.clear();
    rig.streamer.reset();
    EXPECT_EQ(live.pixelColor(10, 10), QColor(160, 180, 200));
    EXPECT_EQ(calibration.pixelColor(0, 0).alpha(), 255);
    EXPECT_TRUE(imageOverPixels(cv::Mat()).isNull());
}

// A camera short of USB bandwidth delivers JPEGs cut short or corrupted, and a
// misbehaving one frames of another size: none of them may be shown, processed or
// become the calibration picture.
TEST(FrameLoop, DamagedFramesAreNeverShown) {
    cv::Mat texture(216, 384, CV_8UC3);
    cv::randu(texture, cv::Scalar::all(0), cv::Scalar::all(255));
    std::vector<uchar> good;
    cv::imencode(".jpg", texture, good, {cv::IMWRITE_JPEG_QUALITY, 90});
    cv::Mat goodPixels;
    ASSERT_EQ(JpegDecoder(cameraDecodeOptions)
                  .decode(good.data(), good.size(), texture.size(), goodPixels),
              FrameDamage::None);
    std::vector<uchar> small;
    cv::imencode(".jpg", cv::Mat(108, 192, CV_8UC3, cv::Scalar(0, 0, 255)), small);

    auto bytes = [](std::vector<uchar> data) { return cv::Mat(data, true).reshape(1, 1); };
    std::vector<uchar> cut(good.begin(), good.begin() + good.size() / 2);
    std::vector<uchar> corrupt = good;
    for (size_t i = good.size() / 3; i < good.size() / 3 + 400; ++i) {
        corrupt[i] = static_cast<uchar>(i * 7919);
    }
    // Refused by the end-marker check, by the decoder, by its size, and a picture of
    // another size from a back-end that decodes.
    const std::vector<cv::Mat> damaged = {bytes(cut), bytes(corrupt), bytes(small),
                                          cv::Mat(108, 192, CV_8UC3, cv::Scalar(0, 0, 255))};
    const cv::Mat intact = bytes(good);

    StreamerRig rig;
    // Damaged frames first, so the calibration picture would be made from one.
    rig.script.frameForRead = [&](int n) {
        return n >= 5 && n < 5 + 3 * static_cast<int>(damaged.size()) && n % 3 != 0
                   ? damaged[(n / 3) % damaged.size()]
                   : intact;
    };
    rig.start();
    rig.streamer->setOpenCalibration(true);
    ASSERT_TRUE(pumpUntil([&] { return rig.calibration.size() == 1; }));
    rig.streamer->setOpenCalibration(false);
    ASSERT_TRUE(pumpUntil([&] { return rig.get(&CameraScript::reads) > 8 + 3 * 4; }, 10000));
    ASSERT_TRUE(rig.waitForLive(2));
    std::vector<QImage> shownPictures = rig.live;
    shownPictures.push_back(rig.calibration[0]);
    for (const QImage& image : shownPictures) {
        ASSERT_EQ(image.size(), QSize(384, 216));
        const cv::Mat shown(image.height(), image.width(), CV_8UC3,
                            const_cast<uchar*>(image.constBits()), image.bytesPerLine());
        EXPECT_EQ(cv::norm(shown, goodPixels, cv::NORM_INF), 0);
    }
}

TEST(Properties, SettingsReachThePipelineAndUnchangedWritesAreSilent) {
    StreamerRig rig;
    rig.start();
    VideoStreamer& s = *rig.streamer;
    const FrameProcessor& p = s.pipeline();
    struct Row {
        const char* name;
        std::function<void()> write;
        std::function<bool()> reached;
    };
    const std::vector<Row> rows = {
        {"mode", [&] { s.setMode(2); }, [&] { return p.settings().mode == 2; }},
        {"details", [&] { s.setDetails(7.5); }, [&] { return p.settings().details == 7.5; }},
        {"brightness", [&] { s.setBrightness(-40.7); },
         [&] { return p.settings().brightness == -40; }},
        {"contrast", [&] { s.setContrast(55.9); }, [&] { return p.settings().contrast == 55; }},
        {"ar", [&] { s.setAr(false); }, [&] { return !p.settings().ar; }},
        {"arVal", [&] { s.setArVal(0.8); }, [&] { return p.settings().arVal == 0.8; }},
        {"autoSave", [&] { s.setAutoSave(false); }, [&] { return !p.eraseDetectionOn(); }},
    };
    for (const Row& row : rows) {
        row.write();
        EXPECT_TRUE(row.reached()) << row.name;
    }
    // The mode has its own check; the other settings share one.
    int emitted = 0;
    for (auto signal :
         {&VideoStreamer::modeChanged, &VideoStreamer::detailsChanged, &VideoStreamer::p1Changed}) {
        QObject::connect(&s, signal, [&emitted] { ++emitted; });
    }
    s.setMode(2);
    s.setDetails(7.5);
    EXPECT_EQ(emitted, 0);
    s.setP1x(0.25);
    EXPECT_EQ(emitted, 1);
}

// Refused values change nothing, and the colour file is written only on a change.
TEST(Properties, BoardColourIsCheckedAndPersistedOnlyWhenItChanges) {
    const QString colourFile = QString::fromStdString(calib_files::boardColorXml);
    QDir().mkpath("calib_data");
    QFile::remove(colourFile);
    StreamerRig rig;
    rig.start();
    rig.streamer->setMode(3);
    rig.streamer->setBoardColor(7);
    rig.streamer->setBoardColor(-1);
    EXPECT_EQ(rig.streamer->getMode(), 0);
    EXPECT_EQ(rig.streamer->getBoardColor(), 0);
    EXPECT_FALSE(QFile::exists(colourFile));
    rig.streamer->setBoardColor(2);
    EXPECT_EQ(calib_files::readBoardColor(), 2);
    EXPECT_EQ(rig.streamer->pipeline().settings().boardColor, 2);
    QFile::remove(colourFile);
    rig.streamer->setBoardColor(2);
    EXPECT_FALSE(QFile::exists(colourFile));
    rig.streamer->setBoardColor(1);
    EXPECT_EQ(calib_files::readBoardColor(), 1);
    QDir("calib_data").removeRecursively();
}

// On a tiny calibrated store, so the pipeline has built its canvases before the write.
TEST(Properties, ExposureRebuildsThePipelineAndFollowsTheModeOnlyAtTheNextValueWrite) {
    TinyRig rig([](int) { return tiny::uniformFrame(90); });
    rig.start();
    ASSERT_TRUE(pumpUntil([&] { return rig.streamer->pipeline().rebuildCount() > 0; }));
    rig.script.set([](CameraScript& s) { s.writes.clear(); });
    const std::string exposure = std::to_string(cv::CAP_PROP_EXPOSURE);
    auto writes = [&] { return rig.get(&CameraScript::writes); };
    rig.streamer->setExpMode(1);
    QThread::msleep(50);
    EXPECT_TRUE(writes().empty()) << "the mode alone sends nothing";
    rig.streamer->setExpVal(5);
    EXPECT_EQ(rig.streamer->pipeline().rebuildCount(), 0) << "an exposure change rebuilds";
    ASSERT_TRUE(pumpUntil([&] { return !writes().empty(); }));
    EXPECT_EQ(writes(), std::vector<std::string>{exposure + "=5.000000"});
    rig.streamer->setExpMode(0);
    rig.streamer->setExpVal(6);
    ASSERT_TRUE(pumpUntil([&] { return writes().size() == 2; }));
    EXPECT_EQ(writes().back(), exposure + "=-6.000000")
        << "automatic restores the exposure read at opening";
}

// Without lens maps the picture clicked is the camera frame itself, and corners clicked
// on it are refused (the first fourth corner after beginCorners calibrates).
TEST(Properties, WithoutLensMapsCornersAreRefused) {
    StreamerRig rig;
    rig.start();
    std::vector<bool> finished;
    QObject::connect(rig.streamer.get(), &VideoStreamer::calibrationFinished,
                     [&finished](bool ok) { finished.push_back(ok); });
    rig.streamer->setOpenCalibration(true);
    ASSERT_TRUE(pumpUntil([&] { return rig.streamer->boardCalibrator().imageWidth > 0; }));
    ASSERT_EQ(rig.streamer->boardCalibrator().imageWidth, rig.script.streamSize.width);
    ConsoleCapture console;
    rig.streamer->beginCorners();
    rig.streamer->setP4y(0.8);
    const std::string out = console.take();
    EXPECT_NE(out.find("calibration refused: there are no lens maps"), std::string::npos) << out;
    EXPECT_EQ(finished, std::vector<bool>{false});
}

// The board kept before an erasure is written like a snapshot under its own name and
// becomes the lesson's next page; when it cannot be, the window is told so and the
// console says why.
TEST(LessonKeeper, SavesTheKeptBoardOrSaysWhyNot) {
    Snapshots snapshots;
    snapshots.createFolder();
    const QString dir = QString::fromStdString(snapshots.folder());
    const QString folder = QDir::cleanPath(dir);
    std::vector<bool> told;
    QStringList joined;
    LessonKeeper keeper({[&](const SavedPicture& saved, const QString&) { joined << saved.path; },
                         [&](bool saved) { told.push_back(saved); }});
    keeper.setFolder(dir);
    const cv::Mat board(90, 160, CV_8UC3, cv::Scalar(40, 200, 90));
    ConsoleCapture console;
    keeper.saveBoard(board, snapshots);
    keeper.saveBoard(cv::Mat(), snapshots);
    keeper.lesson().rewriter().waitIdle();
    // A folder where nothing can be created, even by root.
    QDir(folder).removeRecursively();
    ASSERT_TRUE(QFile::link("/proc/self", folder));
    keeper.saveBoard(board, snapshots);
    QFile::remove(folder);
    keeper.saveBoard(board, snapshots);
    const std::string text = console.take();
    QDir().mkpath(folder);

    EXPECT_EQ(told, (std::vector<bool>{true, false, false, false}));
    ASSERT_EQ(joined.size(), 1);
    EXPECT_TRUE(QFileInfo(joined[0]).fileName().startsWith("Brisel_auto_"))
        << joined[0].toStdString();
    EXPECT_EQ(keeper.lesson().pageCount(), 1);
    for (const std::string& line :
         {std::string("board not saved before erasing: no picture of it was kept\n"),
          std::string("board not saved before erasing\n"),
          "board not saved before erasing: the folder " + dir.toStdString() +
              " does not exist\n"}) {
        EXPECT_NE(text.find(line), std::string::npos) << line << " in:\n" << text;
    }
}

TEST(Snapshots, SaveReportsWhetherAFileWasWrittenAndKeepsSameSecondShots) {
    StreamerRig rig;
    rig.start();
    EXPECT_FALSE(rig.streamer->saveImage()) << "no picture yet";
    ASSERT_TRUE(rig.waitForLive(1));
    const QString dir = QString::fromStdString(rig.streamer->snapshotDirectory());
    EXPECT_TRUE(dir.endsWith("//Brisel//"));
    QDir(dir).removeRecursively();
    EXPECT_FALSE(rig.streamer->saveImage()) << "folder removed after start-up";
    QDir().mkpath(dir);
    ASSERT_TRUE(rig.streamer->saveImage());
    ASSERT_TRUE(rig.streamer->saveImage());
    const QStringList files = QDir(dir).entryList({"Brisel_*.jpg"}, QDir::Files);
    EXPECT_GE(files.size(), 2) << files.join(",").toStdString();
    // Both went into the lesson's PDF, one page each.
    rig.streamer->lesson().rewriter().waitIdle();
    EXPECT_EQ(rig.streamer->lesson().pageCount(), 2);
    EXPECT_TRUE(rig.streamer->lesson().currentPdf().startsWith(dir + "Brisel_lesson_"));
    EXPECT_TRUE(QFile::exists(rig.streamer->lesson().currentPdf()));
    EXPECT_EQ(rig.streamer->lesson().rewriter().failed(), 0);
}

TEST(OpenVideoCamera, ASourceIsReadAtItsFrameRateWithThirtyForAMissingOne) {
    struct Row {
        double fps;
        int intervalMs;
    };
    for (const Row row : {Row{25, 40}, Row{0, 33}, Row{-5, 33}, Row{NAN, 33}, Row{60, 16}}) {
        EXPECT_EQ(sourceFrameInterval(row.fps).count(), row.intervalMs) << row.fps;
    }
    StreamerRig rig;
    rig.script.attached = false;
    rig.script.framesPerSecond = -5;
    rig.start();
    ASSERT_TRUE(rig.waitForLive(1));
    rig.streamer->openVideoCamera("recording.avi");
    ASSERT_TRUE(pumpUntil([&] { return rig.cameraPictures() >= 3; }));
    EXPECT_EQ(rig.get(&CameraScript::writes), std::vector<std::string>{"open recording.avi"});
}
