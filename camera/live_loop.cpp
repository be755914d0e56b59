#include "live_loop.h"

#include "published_image.h"
#include "snapshot_files.h"

#include <opencv2/imgproc.hpp>

#include <iostream>
#include <utility>

QImage placeholderImage;
QImage noPicturePlaceholderImage;

LiveLoop::LiveLoop(Hooks given)
    : hooks(std::move(given)), handoff(std::make_shared<FrameHandoff>()) {}

LiveLoop::~LiveLoop() {
    stop();
}

void LiveLoop::start(CameraPlatformFactory makePlatform) {
    stats = LoopStats::fromEnvironment([this] { return handoff->takeCounters(); });
    // Called on the camera thread; coalesced by the hand-off, so one wake-up waits at most.
    handoff->setWake(hooks.wake);
    cameraThread = std::make_unique<CameraThread>(std::move(makePlatform), handoff,
                                                  [this] { whenCameraStuck(); });
}

void LiveLoop::setCalibrating(bool on) {
    calibFrameCount = 0;
    calibrationOn = on;
    updateDecodePlan();
}

void LiveLoop::setBoardColor(int color) {
    processor.setBoardColor(color);
    updateDecodePlan();
}

void LiveLoop::rebuild() {
    processor.requestRebuild();
    updateDecodePlan();
}

void LiveLoop::setExposure(bool manual, double value) {
    rebuild();
    handoff->requestExposure({manual, value});
}

void LiveLoop::onCameraEvents() {
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

void LiveLoop::onConnection(const CameraEvent& event) {
    currentIndex = event.index;
    hooks.connection(event.connected, event.index);
    processor.restartEraseDetection();
    if (currentIndex == -1) {
        calibFrameCount = 0;
        updateDecodePlan();
        publishPlaceholder(event.noPicture ? noPicturePlaceholderImage : placeholderImage);
    }
}

void LiveLoop::publishPlaceholder(const QImage& placeholder) {
    liveShown = false;
    // The signals take a reference to a modifiable picture; receivers copy it.
    QImage shown = placeholder;
    if (calibrationOn) {
        hooks.showCalibration(shown);
    } else {
        hooks.showLive(shown);
    }
}

void LiveLoop::onFrame(CameraFrame& frame) {
    frameSize = frame.size;
    lastSequence = frame.sequence;
    if (calibrationOn) {
        publishCalibrationPicture(frame);
    } else {
        publishLivePicture(frame);
    }
    updateDecodePlan();
}

// A frame the camera thread did not decode whole (the plan changed while it was on its
// way) is not decoded here, where it would stall the window for tens of milliseconds:
// it is dropped, and the plan sent after it asks for the next one.
bool LiveLoop::hasWholePixels(const CameraFrame& frame) {
    if (frame.pixels.size() != frame.size || frame.pixels.empty()) {
        handoff->countDropped();
        return false;
    }
    return true;
}

// Tells the camera thread which coming frames the pipeline will read, so that it
// decodes those ahead and never decodes the others.
void LiveLoop::updateDecodePlan() {
    // Mid-frame the pipeline's count has not moved on yet; the frame's end sends one.
    if (frameAwaitsPublishing()) {
        return;
    }
    DecodePlan plan;
    plan.after = lastSequence;
    if (calibrationOn) {
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

void LiveLoop::publishCalibrationPicture(CameraFrame& frame) {
    std::cout << "Calibration started!!! " << calibFrameCount << std::endl;
    if (calibFrameCount != 0 || !hasWholePixels(frame)) {
        return;
    }
    std::cout << "calib frame is not empty!!!" << std::endl;
    QImage picture = hooks.calibrationPicture(frame.pixels);
    hooks.showCalibration(picture);
    ++calibFrameCount;
}

// A frame whose pixels are read goes through the pipeline one stage per turn of the
// event loop, so that input, the view and timers never wait for a whole frame.
void LiveLoop::publishLivePicture(CameraFrame& frame) {
    processor.setFrameTime(frame.time);
    framePixels = std::move(frame.pixels);
    frameEncoded = std::move(frame.encoded);
    const FrameProcessor::Intake taken = processor.takeFrame(
        {frame.size, &framePixels, [this, size = frame.size] { return decodeWholeFrame(size); }});
    if (taken == FrameProcessor::Intake::started) {
        hooks.later([this] { continueLivePicture(); });
        return;
    }
    framePixels.release();
    frameEncoded.release();
    if (taken == FrameProcessor::Intake::skipped) {
        handoff->countDropped();
    } else {
        publishOutputs(processor.finishedOutputs());
    }
}

void LiveLoop::continueLivePicture() {
    if (!frameAwaitsPublishing()) {
        return;
    }
    if (!processor.continueFrame()) {
        hooks.later([this] { continueLivePicture(); });
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
const cv::Mat* LiveLoop::decodeWholeFrame(cv::Size size) {
    if (frameEncoded.empty()) {
        return nullptr;
    }
    const FrameDamage damage =
        wholeFrameDecoder.decode(frameEncoded.data, frameEncoded.total(), size, wholeFrame);
    handoff->countDecoded();
    return damage == FrameDamage::None ? &wholeFrame : nullptr;
}

void LiveLoop::publishOutputs(const std::vector<cv::Mat>& outputs) {
    if (stats) {
        stats->countFrame();
    }
    hooks.frameFinished();
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
    hooks.showLive(publishedImage);
}

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

void LiveLoop::createPlaceholderImages() {
    placeholderFrame = statusPicture("Brisel camera is not connected!", "Please connect!");
    placeholderImage = imageOverPixels(placeholderFrame);
    noPictureFrame =
        statusPicture("Brisel camera sends no picture.", "Try another USB port or cable.");
    noPicturePlaceholderImage = imageOverPixels(noPictureFrame);
}
