#include "video_streamer.h"

#include "calibration_files.h"
#include "calibration_store.h"

#include <QCursor>
#include <QDir>
#include <QStandardPaths>

#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include <cstdio>
#include <iostream>
#include <sstream>

QImage placeholderImage;

namespace {

constexpr int probedCameraCount = 10;
constexpr int boardCameraWidth = 3840;
constexpr int boardCameraHeight = 2160;
constexpr double probeWidthRequest = 10000;
constexpr double probeHeightRequest = 1;
constexpr double cameraFramesPerSecond = 30;
constexpr int framesDiscardedAfterOpen = 5;
constexpr int manualExposureMode = 1;
constexpr int fallbackSourceIntervalMs = 33;

const char* const bannerRule = "=================================================";

void consoleAndLog(LogFile& log, const std::string& line) {
    std::cout << line << std::endl;
    log.writeLine(line);
}

bool isValidMode(int mode) {
    return mode >= 0 && mode <= 2;
}

void releasePixels(void* keptPicture) {
    delete static_cast<cv::Mat*>(keptPicture);
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

QImage imageOverPixels(const cv::Mat& picture) {
    // The heap header holds a reference on the pixel buffer until the last QImage
    // copy is gone.
    auto* kept = new cv::Mat(picture);
    return QImage(kept->data, kept->cols, kept->rows, static_cast<int>(kept->step),
                  QImage::Format_BGR888, releasePixels, kept);
}

VideoStreamer::VideoStreamer(std::unique_ptr<CameraPlatform> cameraPlatform)
    : QObject(nullptr), platform(std::move(cameraPlatform)), usbChecker(platform->presence()),
      capture(platform->makeCapture()) {
    boardColor = CalibrationStore::instance().boardColor;
    writeStartBanner();
    connect(&frameTimer, &QTimer::timeout, this, &VideoStreamer::onFrameTimer);
    createPlaceholderImage();
    createSnapshotDirectory();
    if (cameraIndex == -1) {
        openCamera();
    }
    // The first tick comes at once, so the placeholder or the first picture shows
    // without delay; later ticks are paced by paceFrameTimer.
    frameTimer.start();
}

VideoStreamer::~VideoStreamer() {
    capture->release();
    frameTimer.stop();
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
    emit openCalibrationChanged();
}

void VideoStreamer::setCameraConnected(bool value) {
    if (storeIfChanged(cameraConnected, value)) {
        emit cameraConnectedChanged();
    }
}

void VideoStreamer::setP1x(double value) {
    if (storeIfChanged(p1x, value)) {
        emit p1Changed();
    }
}

void VideoStreamer::setP1y(double value) {
    if (storeIfChanged(p1y, value)) {
        emit p1Changed();
    }
}

void VideoStreamer::setP2x(double value) {
    if (storeIfChanged(p2x, value)) {
        emit p2Changed();
    }
}

void VideoStreamer::setP2y(double value) {
    if (storeIfChanged(p2y, value)) {
        emit p2Changed();
    }
}

void VideoStreamer::setP3x(double value) {
    if (storeIfChanged(p3x, value)) {
        emit p3Changed();
    }
}

void VideoStreamer::setP3y(double value) {
    if (storeIfChanged(p3y, value)) {
        emit p3Changed();
    }
}

void VideoStreamer::setP4x(double value) {
    if (storeIfChanged(p4x, value)) {
        emit p4Changed();
    }
}

// The fourth corner is written last, so its change runs the calibration.
void VideoStreamer::setP4y(double value) {
    if (storeIfChanged(p4y, value)) {
        onBoardCornersReceived();
        emit p4Changed();
    }
}

void VideoStreamer::updateProcessorSettings() {
    processor.setSettings(mode, details, brightness, contrast, ar, arVal);
}

QPointF VideoStreamer::cursorPos() const {
    return QPointF(QCursor::pos());
}

// ---------------------------------------------------------------- camera connection

void VideoStreamer::openCamera() {
    LogFile log;
    if (!usbChecker.isCameraAttached()) {
        cameraConnected = false;
        cameraIndex = -1;
    } else {
        for (int index = 0; index < probedCameraCount; ++index) {
            if (!probeCameraIndex(index, log)) {
                break;
            }
        }
        if (cameraIndex != -1) {
            configureCapture();
        }
        if (!usbChecker.isCameraAttached()) {
            cameraConnected = false;
            cameraIndex = -1;
        }
    }
    std::ostringstream line;
    line << "camera connected : " << (cameraConnected ? 1 : 0) << " cam id : " << cameraIndex;
    consoleAndLog(log, line.str());
    if (cameraIndex != -1) {
        sourceIntervalMs = 0;
    }
}

// Returns false when probing must stop: camera found, or unplugged meanwhile.
bool VideoStreamer::probeCameraIndex(int index, LogFile& log) {
    auto probe = platform->makeCapture();
    probe->openIndex(index);
    if (probe->isOpened()) {
        if (!usbChecker.isCameraAttached()) {
            return false;
        }
        probe->set(cv::CAP_PROP_FRAME_HEIGHT, probeHeightRequest);
        std::ostringstream dims;
        dims << "dim1 : " << probe->get(cv::CAP_PROP_FRAME_WIDTH)
             << " dim2 : " << probe->get(cv::CAP_PROP_FRAME_HEIGHT);
        consoleAndLog(log, dims.str());
        if (!usbChecker.isCameraAttached()) {
            return false;
        }
        // The board camera is the device that settles at 3840 x 2160 when asked for
        // a 10000-wide picture.
        probe->set(cv::CAP_PROP_FRAME_WIDTH, probeWidthRequest);
        const double width = probe->get(cv::CAP_PROP_FRAME_WIDTH);
        const double height = probe->get(cv::CAP_PROP_FRAME_HEIGHT);
        std::ostringstream grown;
        grown << "****dim1 : " << width << " dim2 : " << height;
        consoleAndLog(log, grown.str());
        if (usbChecker.isCameraAttached() && width == boardCameraWidth &&
            height == boardCameraHeight) {
            cameraConnected = true;
            cameraIndex = index;
            std::cout << "camera id : " << index << std::endl;
            probe->release();
            return false;
        }
        probe->release();
    }
    std::cout << "****" << std::endl;
    return usbChecker.isCameraAttached();
}

void VideoStreamer::configureCapture() {
    capture->openIndex(cameraIndex);
    auto ready = [this] { return capture->isOpened() && usbChecker.isCameraAttached(); };
    if (ready()) {
        capture->set(cv::CAP_PROP_FPS, cameraFramesPerSecond);
    }
    if (ready()) {
        capture->set(cv::CAP_PROP_FOURCC, cv::VideoWriter::fourcc('m', 'j', 'p', 'g'));
    }
    if (ready()) {
        capture->set(cv::CAP_PROP_FOURCC, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'));
    }
    if (ready()) {
        capture->set(cv::CAP_PROP_FRAME_WIDTH, boardCameraWidth);
    }
    if (ready()) {
        capture->set(cv::CAP_PROP_FRAME_HEIGHT, boardCameraHeight);
    }
    if (ready()) {
        savedExposure = static_cast<int>(capture->get(cv::CAP_PROP_EXPOSURE));
    }
    std::cout << "frame size : " << capture->get(cv::CAP_PROP_FRAME_WIDTH) << " x "
              << capture->get(cv::CAP_PROP_FRAME_HEIGHT) << std::endl;
    std::cout << "auto exp 0 : " << savedExposure << std::endl;
    if (ready()) {
        for (int i = 0; i < framesDiscardedAfterOpen; ++i) {
            if (usbChecker.isCameraAttached()) {
                capture->read(rawFrame);
            }
        }
    }
}

void VideoStreamer::applyExposure() {
    processor.requestRebuild();
    if (expMode == manualExposureMode) {
        capture->set(cv::CAP_PROP_EXPOSURE, expVal);
    } else {
        // The exposure read when the camera was opened stands for "automatic".
        std::cout << "auto exp : " << savedExposure << std::endl;
        capture->set(cv::CAP_PROP_EXPOSURE, savedExposure);
    }
}

void VideoStreamer::openVideoCamera(QString path) {
    if (path.length() == 1) {
        capture->openIndex(path.toInt());
    } else {
        capture->openSource(path.toUtf8().toStdString());
    }
    const double fps = capture->get(cv::CAP_PROP_FPS);
    sourceIntervalMs = fps == 0 ? fallbackSourceIntervalMs : static_cast<int>(1000 / fps);
    frameTimer.start(sourceIntervalMs);
}

// ---------------------------------------------------------------- frame loop

void VideoStreamer::onFrameTimer() {
    if (cameraIndex == -1) {
        openCamera();
    }
    if (!usbChecker.isCameraAttached()) {
        calibFrameCount = 0;
        cameraConnected = false;
        cameraIndex = -1;
        if (openCalibration) {
            emit imageForCalibration(placeholderImage);
        } else {
            emit newImage(placeholderImage);
        }
        paceFrameTimer();
        return;
    }
    cameraConnected = true;
    capture->read(rawFrame);
    if (openCalibration) {
        publishCalibrationPicture();
    } else {
        publishLivePicture();
    }
    paceFrameTimer();
}

void VideoStreamer::publishCalibrationPicture() {
    std::cout << "Calibration started!!! " << calibFrameCount << std::endl;
    if (calibFrameCount != 0) {
        return;
    }
    if (rawFrame.empty()) {
        std::cout << "calib frame is empty!!!" << std::endl;
        emit imageForCalibration(placeholderImage);
        return;
    }
    std::cout << "calib frame is not empty!!!" << std::endl;
    calibrationFrame = calibrator.undistortForCalibration(rawFrame);
    QImage picture = imageOverPixels(calibrationFrame);
    emit imageForCalibration(picture);
    ++calibFrameCount;
}

void VideoStreamer::publishLivePicture() {
    const std::vector<cv::Mat> outputs = processor.processFrame(rawFrame);
    outputs[0].copyTo(snapshotFrame);
    outputs[1].copyTo(displayFrame);
    std::cout << "result size: ";
    if (!displayFrame.empty()) {
        std::cout << displayFrame.rows << " x " << displayFrame.cols;
    }
    std::cout << std::endl;
    if (displayFrame.empty()) {
        cameraConnected = false;
        cameraIndex = -1;
        emit newImage(placeholderImage);
        return;
    }
    publishedImage = imageOverPixels(displayFrame);
    emit newImage(publishedImage);
}

void VideoStreamer::paceFrameTimer() {
    const int interval = cameraIndex == -1 ? reconnectIntervalMs : sourceIntervalMs;
    if (frameTimer.interval() != interval) {
        frameTimer.setInterval(interval);
    }
}

// ---------------------------------------------------------------- calibration

void VideoStreamer::onBoardCornersReceived() {
    std::cout << "Received all board corners" << std::endl;
    std::cout << "p1 : " << p1x << " " << p1y << std::endl;
    std::cout << "p2 : " << p2x << " " << p2y << std::endl;
    std::cout << "p3 : " << p3x << " " << p3y << std::endl;
    std::cout << "p4 : " << p4x << " " << p4y << std::endl;
    const std::vector<cv::Point2f> corners{
        {static_cast<float>(p1x), static_cast<float>(p1y)},
        {static_cast<float>(p2x), static_cast<float>(p2y)},
        {static_cast<float>(p3x), static_cast<float>(p3y)},
        {static_cast<float>(p4x), static_cast<float>(p4y)},
    };
    if (!calibrator.calibrate(corners)) {
        std::cout << "Saving calibration files failed, the previous calibration stays in force"
                  << std::endl;
        return;
    }
    std::cout << "Saving calibration files done!!!" << std::endl;
    CalibrationStore::instance().reload();
    processor.requestRebuild();
    std::cout << "after calibration!" << std::endl;
}

// ---------------------------------------------------------------- pictures and files

void VideoStreamer::createPlaceholderImage() {
    constexpr int width = 1920;
    constexpr int height = 1080;
    constexpr int font = cv::FONT_HERSHEY_TRIPLEX;
    constexpr double scale = 1.5;
    constexpr int thickness = 2;
    constexpr int lineGap = 50;
    const cv::Scalar textColour(43, 75, 238);
    const std::string line1 = "Brisel camera is not connected!";
    const std::string line2 = "Please connect!";

    placeholderFrame = cv::Mat::zeros(height, width, CV_8UC3);
    placeholderFrame.setTo(cv::Scalar(255, 255, 255));
    int baseline = 0;
    const cv::Size size1 = cv::getTextSize(line1, font, scale, thickness, &baseline);
    const cv::Size size2 = cv::getTextSize(line2, font, scale, thickness, &baseline);
    const cv::Point origin1((width - size1.width) / 2, (size1.height + height) / 2 - lineGap);
    const cv::Point origin2((width - size2.width) / 2, (size2.height + height) / 2 + lineGap);
    cv::putText(placeholderFrame, line1, origin1, font, scale, textColour, thickness, cv::LINE_8,
                false);
    cv::putText(placeholderFrame, line2, origin2, font, scale, textColour, thickness, cv::LINE_8,
                false);
    placeholderImage = imageOverPixels(placeholderFrame);
}

void VideoStreamer::createSnapshotDirectory() {
    const QString path =
        QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation) + "//Brisel//";
    if (!QDir(path).exists()) {
        const QString absolute = QDir(path).absolutePath();
        std::printf("Debug image directory does not exists, creating: %s\n",
                    absolute.toUtf8().constData());
        std::fflush(stdout);
        if (!QDir().mkpath(absolute)) {
            std::cout << "cannot create the snapshot folder " << absolute.toStdString()
                      << ": snapshots cannot be saved" << std::endl;
        }
    }
    snapshotDir = path.toUtf8().toStdString();
}

bool VideoStreamer::saveImage() {
    if (displayFrame.empty() || snapshotFrame.empty()) {
        std::cout << "snapshot not saved: there is no board picture yet" << std::endl;
        return false;
    }
    const QString dir = QString::fromStdString(snapshotDir);
    if (!QDir(dir).exists()) {
        std::cout << "snapshot not saved: the folder " << snapshotDir << " does not exist"
                  << std::endl;
        return false;
    }
    const QString name = QString::fromStdString(snapshotFileName(localTimeNow()));
    const QString fullPath = uniqueSnapshotPath(dir, name);
    std::cout << "filename : " << fullPath.toStdString() << std::endl;
    return writeJpegFile(snapshotFrame, fullPath);
}
