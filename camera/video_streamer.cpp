#include "video_streamer.h"

#include "calibration_files.h"
#include "calibration_store.h"

#include <QCursor>
#include <QDateTime>
#include <QDir>
#include <QMetaObject>
#include <QStandardPaths>

#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <utility>

QImage placeholderImage;
QImage noPicturePlaceholderImage;

namespace {

constexpr int manualExposureMode = 1;

const char* const bannerRule = "=================================================";

bool isValidMode(int mode) {
    return mode >= 0 && mode <= 2;
}

// Properties do nothing at all when written with the value they hold.
template <typename T> bool storeIfChanged(T& field, T value) {
    if (field == value) {
        return false;
    }
    field = value;
    return true;
}

} // namespace

VideoStreamer::VideoStreamer(CameraPlatformFactory makePlatform)
    : QObject(nullptr), keeper({[this](const SavedPicture& saved, const QString& pdf) {
                                    shareControl.boardSaved(saved, pdf);
                                },
                                [this](bool saved) { emit boardAutoSaved(saved); }}),
      shareControl({[this] { publishShareQr(); }, [this] { emit shareStateChanged(); }}),
      handoff(std::make_shared<FrameHandoff>()) {
    boardColor = CalibrationStore::instance().boardColor;
    writeStartBanner();
    createPlaceholderImages();
    snapshots.createFolder();
    keeper.setFolder(QString::fromStdString(snapshots.folder()));
    stats = LoopStats::fromEnvironment([this] { return handoff->takeCounters(); });
    // Called on the camera thread; coalesced by the hand-off, so one wake-up waits at most.
    handoff->setWake([this] {
        QMetaObject::invokeMethod(this, &VideoStreamer::onCameraEvents, Qt::QueuedConnection);
    });
    // A camera thread stuck in a driver call would run OpenCV, V4L2 and libusb code
    // during the static destructors: the process ends before them, with the lesson's
    // PDF complete and the console flushed (log.txt is closed after every line).
    whenCameraStuck = [this] {
        std::cout << "camera: the camera did not close in time, ending now" << std::endl;
        keeper.lesson().rewriter().waitIdle();
        std::fflush(nullptr);
        std::_Exit(0);
    };
    cameraThread = std::make_unique<CameraThread>(std::move(makePlatform), handoff,
                                                  [this] { whenCameraStuck(); });
}

VideoStreamer::~VideoStreamer() {
    cameraThread.reset();
    setShare(false);
}

void VideoStreamer::writeStartBanner() {
    LogFile log;
    log.writeLine(bannerRule);
    log.writeLine("Brisel : " + logTimestamp(localTimeNow()));
    log.writeLine(bannerRule);
}

// ---------------------------------------------------------------- properties

void VideoStreamer::setBoardColor(int value) {
    if (value == boardColor) {
        return;
    }
    if (!calib_files::isValidBoardColor(value)) {
        std::cout << "board color " << value << " refused: expected 0, 1 or 2" << std::endl;
        return;
    }
    boardColor = value;
    std::cout << "vs board color: " << value << std::endl;
    processor.setBoardColor(value);
    updateDecodePlan();
    if (!calib_files::writeBoardColor(value)) {
        std::cout << "could not save the board color to " << calib_files::boardColorXml
                  << std::endl;
    }
    emit boardColorChanged();
}

void VideoStreamer::setMode(int value) {
    if (value == mode) {
        return;
    }
    if (!isValidMode(value)) {
        std::cout << "mode " << value << " refused: expected 0, 1 or 2" << std::endl;
        return;
    }
    mode = value;
    updateProcessorSettings();
    emit modeChanged();
}

void VideoStreamer::setExpMode(int value) {
    if (storeIfChanged(expMode, value)) {
        emit expModeChanged();
    }
}

void VideoStreamer::setExpVal(double value) {
    if (storeIfChanged(expVal, value)) {
        applyExposure();
        emit expValChanged();
    }
}

void VideoStreamer::setDetails(double value) {
    if (storeIfChanged(details, value)) {
        updateProcessorSettings();
        emit detailsChanged();
    }
}

void VideoStreamer::setBrightness(double value) {
    if (storeIfChanged(brightness, value)) {
        updateProcessorSettings();
        emit brightnessChanged();
    }
}

void VideoStreamer::setContrast(double value) {
    if (storeIfChanged(contrast, value)) {
        updateProcessorSettings();
        emit contrastChanged();
    }
}

void VideoStreamer::setAr(bool value) {
    if (storeIfChanged(ar, value)) {
        updateProcessorSettings();
        emit arChanged();
    }
}

void VideoStreamer::setArVal(double value) {
    if (storeIfChanged(arVal, value)) {
        updateProcessorSettings();
        emit arValChanged();
    }
}

void VideoStreamer::setOpenCalibration(bool value) {
    if (value == openCalibration) {
        return;
    }
    calibFrameCount = 0;
    openCalibration = value;
    shareControl.setAvailable(false);
    updateDecodePlan();
    emit openCalibrationChanged();
}

void VideoStreamer::setAutoSave(bool value) {
    if (storeIfChanged(autoSave, value)) {
        followErasures();
        emit autoSaveChanged();
    }
}

void VideoStreamer::setCameraConnected(bool value) {
    if (storeIfChanged(cameraConnected, value)) {
        emit cameraConnectedChanged();
    }
}

void VideoStreamer::setP1x(double value) {
    if (calibration.setCorner(0, value)) {
        emit p1Changed();
    }
}

void VideoStreamer::setP1y(double value) {
    if (calibration.setCorner(1, value)) {
        emit p1Changed();
    }
}

void VideoStreamer::setP2x(double value) {
    if (calibration.setCorner(2, value)) {
        emit p2Changed();
    }
}

void VideoStreamer::setP2y(double value) {
    if (calibration.setCorner(3, value)) {
        emit p2Changed();
    }
}

void VideoStreamer::setP3x(double value) {
    if (calibration.setCorner(4, value)) {
        emit p3Changed();
    }
}

void VideoStreamer::setP3y(double value) {
    if (calibration.setCorner(5, value)) {
        emit p3Changed();
    }
}

void VideoStreamer::setP4x(double value) {
    if (calibration.setCorner(6, value)) {
        emit p4Changed();
    }
}

// The fourth corner is written last, so its change runs the calibration; so does the
// first write after beginCorners, whatever its value.
void VideoStreamer::setP4y(double value) {
    if (calibration.setLastCorner(value)) {
        const CalibrationFlow::Outcome outcome = calibration.calibrate([this] {
            processor.requestRebuild();
            updateDecodePlan();
        });
        emit calibrationFinished(outcome.ok, outcome.reason);
        emit p4Changed();
    }
}

// ---------------------------------------------------------------- sharing

void VideoStreamer::followErasures() {
    keeper.followErasures(processor, autoSave, shareControl.on());
}

void VideoStreamer::setShareOptions(const ShareOptions& options) {
    shareControl.setOptions(options);
    emit shareStateChanged();
}

void VideoStreamer::setShare(bool value) {
    if (!shareControl.turn(value)) {
        return;
    }
    followErasures();
    publishShareQr();
    emit shareChanged();
    emit shareStateChanged();
}

void VideoStreamer::publishShareQr() {
    QImage qr = shareControl.qr();
    emit shareQr(qr);
}

void VideoStreamer::beginCorners() {
    calibration.beginCorners();
}

void VideoStreamer::updateProcessorSettings() {
    processor.setSettings(mode, details, brightness, contrast, ar, arVal);
}

QPointF VideoStreamer::cursorPos() const {
    return QPointF(QCursor::pos());
}

// ---------------------------------------------------------------- exposure

void VideoStreamer::applyExposure() {
    processor.requestRebuild();
    updateDecodePlan();
    handoff->requestExposure({expMode == manualExposureMode, expVal});
}

void VideoStreamer::openVideoCamera(QString path) {
    handoff->requestSource(path.toUtf8().toStdString());
}

// ---------------------------------------------------------------- frame loop

void VideoStreamer::onCameraEvents() {
    // Events after a frame still in the pipeline must not overtake it: an unplug's
    // placeholder would show before that frame's picture.
    if (frameAwaitsPublishing()) {
        eventsWaiting = true;
        return;
    }
    const std::vector<CameraEvent> events = handoff->takeEvents();
    for (const CameraEvent& event : events) {
        switch (event.kind) {
        case CameraEvent::Kind::Console:
            std::cout << event.line << std::endl;
            break;
        case CameraEvent::Kind::ConsoleAndLog: {
            std::cout << event.line << std::endl;
            LogFile log;
            log.writeLine(event.line);
            break;
        }
        case CameraEvent::Kind::Connection:
            onConnection(event);
            break;
        }
    }
    CameraFrame frame;
    if (handoff->takeFrame(frame)) {
        onFrame(frame);
    }
}

void VideoStreamer::onConnection(const CameraEvent& event) {
    cameraConnected = event.connected;
    cameraIndex = event.index;
    processor.restartEraseDetection();
    if (cameraIndex == -1) {
        shareControl.setAvailable(false);
        calibFrameCount = 0;
        updateDecodePlan();
        publishPlaceholder(event.noPicture ? noPicturePlaceholderImage : placeholderImage);
    }
}

void VideoStreamer::publishPlaceholder(const QImage& placeholder) {
    liveShown = false;
    // The signals take a reference to a modifiable picture; receivers copy it.
    QImage shown = placeholder;
    if (openCalibration) {
        emit imageForCalibration(shown);
    } else {
        emit newImage(shown);
    }
}

void VideoStreamer::onFrame(CameraFrame& frame) {
    frameSize = frame.size;
    lastSequence = frame.sequence;
    if (openCalibration) {
        publishCalibrationPicture(frame);
    } else {
        publishLivePicture(frame);
    }
    updateDecodePlan();
}

// A frame the camera thread did not decode as wanted (the plan changed while it was
// on its way) is not decoded here, where it would stall the window for tens of
// milliseconds: it is dropped, and the plan sent after it asks for the next one.
bool VideoStreamer::hasPixels(const CameraFrame& frame, bool halfSizeEnough) {
    if (frame.pixels.empty() || (frame.pixels.size() != frame.size && !halfSizeEnough)) {
        handoff->countDropped();
        return false;
    }
    return true;
}

// Tells the camera thread which coming frames the pipeline will read, so that it
// decodes those ahead and never decodes the others.
void VideoStreamer::updateDecodePlan() {
    // Mid-frame the pipeline's count has not moved on yet; the frame's end sends one.
    if (frameAwaitsPublishing()) {
        return;
    }
    DecodePlan plan;
    plan.after = lastSequence;
    if (openCalibration) {
        plan.bits = calibFrameCount == 0 ? ~0u : 0u;
        plan.beyond = calibFrameCount == 0;
    } else {
        plan.bits = 0;
        plan.halfBits = 0;
        for (int ahead = 0; ahead < DecodePlan::length; ++ahead) {
            if (processor.readsFramePixels(frameSize, ahead)) {
                plan.bits |= 1u << ahead;
            }
            if (processor.readsOnlyReduction(frameSize, ahead)) {
                plan.halfBits |= 1u << ahead;
            }
        }
    }
    handoff->setDecodePlan(plan);
}

void VideoStreamer::publishCalibrationPicture(CameraFrame& frame) {
    std::cout << "Calibration started!!! " << calibFrameCount << std::endl;
    if (calibFrameCount != 0 || !hasPixels(frame, false)) {
        return;
    }
    std::cout << "calib frame is not empty!!!" << std::endl;
    QImage picture = calibration.picture(frame.pixels);
    emit imageForCalibration(picture);
    ++calibFrameCount;
}

// A frame whose pixels are read goes through the pipeline one stage per turn of the
// event loop, so that input, the view and timers never wait for a whole frame.
void VideoStreamer::publishLivePicture(CameraFrame& frame) {
    processor.setFrameTime(frame.time);
    if (!processor.readsFramePixels(frame.size)) {
        publishOutputs(processor.processUnreadFrame(frame.size));
        return;
    }
    const bool halfSizeEnough = processor.readsOnlyReduction(frame.size);
    if (!hasPixels(frame, halfSizeEnough)) {
        processor.skipFrame();
        return;
    }
    framePixels = std::move(frame.pixels);
    bool finished = false;
    if (framePixels.size() == frame.size) {
        finished = processor.startFrame(framePixels);
    } else {
        frameEncoded = std::move(frame.encoded);
        finished = processor.startReducedFrame(
            framePixels, frame.size, [this, size = frame.size] { return decodeWholeFrame(size); });
    }
    if (finished) {
        publishOutputs(processor.finishedOutputs());
        framePixels.release();
        frameEncoded.release();
        return;
    }
    QMetaObject::invokeMethod(this, &VideoStreamer::continueLivePicture, Qt::QueuedConnection);
}

void VideoStreamer::continueLivePicture() {
    if (!frameAwaitsPublishing()) {
        return;
    }
    if (!processor.continueFrame()) {
        QMetaObject::invokeMethod(this, &VideoStreamer::continueLivePicture, Qt::QueuedConnection);
        return;
    }
    publishOutputs(processor.finishedOutputs());
    framePixels.release();
    frameEncoded.release();
    updateDecodePlan();
    if (std::exchange(eventsWaiting, false)) {
        onCameraEvents();
    }
}

// The pipeline needs the whole of a frame decoded at half size after all: someone
// starts to move in it, or it is the first half-size frame after whole ones.
const cv::Mat* VideoStreamer::decodeWholeFrame(cv::Size size) {
    if (frameEncoded.empty()) {
        return nullptr;
    }
    const FrameDamage damage =
        wholeFrameDecoder.decode(frameEncoded.data, frameEncoded.total(), size, wholeFrame);
    handoff->countDecoded();
    return damage == FrameDamage::None ? &wholeFrame : nullptr;
}

void VideoStreamer::publishOutputs(const std::vector<cv::Mat>& outputs) {
    if (stats) {
        stats->countFrame();
    }
    keeper.frameFinished(processor, autoSave, snapshots);
    shareControl.offerBoard(processor, !openCalibration);
    snapshotFrame = outputs[0];
    const cv::Mat& display = outputs[1];
    std::cout << "result size: ";
    if (!display.empty()) {
        std::cout << display.rows << " x " << display.cols;
    }
    std::cout << std::endl;
    if (display.empty() || (liveShown && !processor.outputsChanged())) {
        return;
    }
    displayFrame.release();
    publishedImage = QImage();
    cv::Mat& buffer = displayBuffers.freeBuffer();
    display.copyTo(buffer);
    displayFrame = buffer;
    publishedImage = imageOverPixels(displayFrame);
    liveShown = true;
    emit newImage(publishedImage);
}

// ---------------------------------------------------------------- pictures and files

namespace {

// Two centred lines on white, the look of every status picture.
cv::Mat statusPicture(const std::string& line1, const std::string& line2) {
    constexpr int width = 1920;
    constexpr int height = 1080;
    constexpr int font = cv::FONT_HERSHEY_TRIPLEX;
    constexpr double scale = 1.5;
    constexpr int thickness = 2;
    constexpr int lineGap = 50;
    const cv::Scalar textColour(43, 75, 238);

    cv::Mat picture(height, width, CV_8UC3, cv::Scalar(255, 255, 255));
    int baseline = 0;
    const cv::Size size1 = cv::getTextSize(line1, font, scale, thickness, &baseline);
    const cv::Size size2 = cv::getTextSize(line2, font, scale, thickness, &baseline);
    const cv::Point origin1((width - size1.width) / 2, (size1.height + height) / 2 - lineGap);
    const cv::Point origin2((width - size2.width) / 2, (size2.height + height) / 2 + lineGap);
    cv::putText(picture, line1, origin1, font, scale, textColour, thickness, cv::LINE_8, false);
    cv::putText(picture, line2, origin2, font, scale, textColour, thickness, cv::LINE_8, false);
    return picture;
}

} // namespace

void VideoStreamer::createPlaceholderImages() {
    placeholderFrame = statusPicture("Brisel camera is not connected!", "Please connect!");
    placeholderImage = imageOverPixels(placeholderFrame);
    noPictureFrame =
        statusPicture("Brisel camera sends no picture.", "Try another USB port or cable.");
    noPicturePlaceholderImage = imageOverPixels(noPictureFrame);
}

bool VideoStreamer::saveImage() {
    const std::optional<SavedPicture> saved = snapshots.save(displayFrame, snapshotFrame);
    if (!saved) {
        return false;
    }
    keeper.add(*saved);
    return true;
}
