#include "video_streamer.h"

#include "calibration_files.h"
#include "calibration_store.h"
#include "snapshot_files.h"

#include <QCursor>
#include <QMetaObject>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <utility>

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
    : QObject(nullptr),
      live({[this](std::function<void()> step) {
                QMetaObject::invokeMethod(this, std::move(step), Qt::QueuedConnection);
            },
            // Called on the camera thread. The thread checks cannot see the lock by which Qt
            // orders a queued call; tests/tsan.supp allows for its event and slot object.
            [this] {
                QMetaObject::invokeMethod(this, &VideoStreamer::onCameraEvents,
                                          Qt::QueuedConnection);
            },
            [this](QImage& picture) { emit newImage(picture); },
            [this](QImage& picture) { emit imageForCalibration(picture); },
            [this](const cv::Mat& pixels) { return calibration.picture(pixels); },
            [this](bool connected, int index) { onConnection(connected, index); },
            [this] { onFrameFinished(); }}),
      keeper({[this](const SavedPicture& saved, const QString& pdf) {
                  shareControl.boardSaved(saved, pdf);
              },
              [this](bool saved) { emit boardAutoSaved(saved); }}),
      shareControl({[this] { publishShareQr(); }, [this] { emit shareStateChanged(); }}) {
    boardColor = CalibrationStore::instance().boardColor;
    writeStartBanner();
    live.createPlaceholderImages();
    snapshots.createFolder();
    keeper.setFolder(QString::fromStdString(snapshots.folder()));
    // A camera thread stuck in a driver call would run OpenCV, V4L2 and libusb code
    // during the static destructors: the process ends before them, with the lesson's
    // PDF complete and the console flushed (log.txt is closed after every line).
    live.setWhenCameraStuck([this] {
        std::cout << "camera: the camera did not close in time, ending now" << std::endl;
        keeper.lesson().rewriter().waitIdle();
        std::fflush(nullptr);
        std::_Exit(0);
    });
    live.start(std::move(makePlatform));
}

VideoStreamer::~VideoStreamer() {
    live.stop();
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
    live.setBoardColor(value);
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
    if (value == live.calibrating()) {
        return;
    }
    shareControl.setAvailable(false);
    live.setCalibrating(value);
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
        const CalibrationFlow::Outcome outcome = calibration.calibrate([this] { live.rebuild(); });
        emit calibrationFinished(outcome.ok, outcome.reason);
        emit p4Changed();
    }
}

// ---------------------------------------------------------------- sharing

void VideoStreamer::followErasures() {
    keeper.followErasures(live.pipeline(), autoSave, shareControl.on());
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
    live.pipeline().setSettings(mode, details, brightness, contrast, ar, arVal);
}

QPointF VideoStreamer::cursorPos() const {
    return QPointF(QCursor::pos());
}

// ---------------------------------------------------------------- exposure

void VideoStreamer::applyExposure() {
    live.setExposure(expMode == manualExposureMode, expVal);
}

void VideoStreamer::openVideoCamera(QString path) {
    live.openSource(path.toUtf8().toStdString());
}

// ---------------------------------------------------------------- live loop

// The camera thread's changes of the connection flag are not signalled: the document
// reads the flag when it needs it.
void VideoStreamer::onConnection(bool connected, int index) {
    cameraConnected = connected;
    if (index == -1) {
        shareControl.setAvailable(false);
    }
}

void VideoStreamer::onCameraEvents() {
    live.onCameraEvents();
}

void VideoStreamer::onFrameFinished() {
    keeper.frameFinished(live.pipeline(), autoSave, snapshots);
    shareControl.offerBoard(live.pipeline(), !live.calibrating());
}

// ---------------------------------------------------------------- snapshots

bool VideoStreamer::saveImage() {
    const std::optional<SavedPicture> saved =
        snapshots.save(live.shownPicture(), live.boardPicture());
    if (!saved) {
        return false;
    }
    keeper.add(*saved);
    return true;
}
