#include "camera_session.h"

#include <opencv2/videoio.hpp>

#include <algorithm>
#include <cmath>
#include <sstream>
#include <utility>

namespace {

constexpr int probedCameraCount = 10;
constexpr int boardCameraWidth = 3840;
constexpr int boardCameraHeight = 2160;
constexpr double probeWidthRequest = 10000;
constexpr double probeHeightRequest = 1;
constexpr double cameraFramesPerSecond = 30;
constexpr double fallbackSourceFramesPerSecond = 30;
constexpr int framesDiscardedAfterOpen = 5;

} // namespace

std::chrono::milliseconds sourceFrameInterval(double framesPerSecond) {
    const double fps = std::isfinite(framesPerSecond) && framesPerSecond > 0
                           ? framesPerSecond
                           : fallbackSourceFramesPerSecond;
    return std::chrono::milliseconds(static_cast<long long>(1000 / fps));
}

CameraSession::CameraSession(std::unique_ptr<CameraPlatform> cameraPlatform,
                             std::shared_ptr<FrameHandoff> frameHandoff)
    : platform(std::move(cameraPlatform)), handoff(std::move(frameHandoff)),
      capture(platform->makeCapture()) {}

void CameraSession::line(const std::string& text, bool alsoToLog) {
    handoff->postLine(text, alsoToLog);
}

bool CameraSession::attached() {
    std::lock_guard lock(presenceMutex);
    return platform->presence().isCameraAttached();
}

// ---------------------------------------------------------------- open sequence

void CameraSession::openCamera() {
    cameraIndex = -1;
    // While the camera sends no picture, the reopens' lines stay on the console.
    logOpenSequence = shown != Shown::NoPicture;
    if (!attached()) {
        reportUnpluggedAtOpen();
        return;
    }
    if (std::exchange(awaitingArrival, false)) {
        awaitingSince = Clock::now();
    }
    for (int index = 0; index < probedCameraCount && !stopping(); ++index) {
        if (!probeCameraIndex(index)) {
            break;
        }
    }
    if (cameraIndex != -1 && !stopping()) {
        configureCapture();
    }
    if (stopping()) {
        return;
    }
    if (!attached()) {
        reportUnpluggedAtOpen();
        return;
    }
    std::ostringstream text;
    text << "camera connected : " << (cameraConnected ? 1 : 0) << " cam id : " << cameraIndex;
    sequenceLine(text.str());
    if (cameraIndex == -1) {
        capture->release();
        if (shown != Shown::NoPicture) {
            handoff->postConnection(cameraConnected, -1);
        }
        checkNoPicture(Clock::now());
        return;
    }
    if (shown != Shown::NoPicture) {
        handoff->postConnection(true, cameraIndex);
    }
    mode = Mode::Camera;
    lastRead = Clock::now();
    handoff->beginStreaming();
}

// The console hears of an absent camera at every try; log.txt when it goes, then once
// a minute, so a classroom PC left on does not fill it.
void CameraSession::reportUnpluggedAtOpen() {
    cameraConnected = false;
    cameraIndex = -1;
    capture->release();
    const auto now = Clock::now();
    const bool toLog = shown != Shown::Unplugged || now - lastUnpluggedLog >= logRepeatPeriod;
    if (toLog) {
        lastUnpluggedLog = now;
    }
    line("camera connected : 0 cam id : -1", toLog);
    handoff->postConnection(false, -1);
    shown = Shown::Unplugged;
    awaitingArrival = true;
    reopenPause = Clock::duration::zero();
}

// Returns false when probing must stop: camera found, unplugged meanwhile, or closing.
bool CameraSession::probeCameraIndex(int index) {
    auto probe = platform->makeCapture();
    probe->openIndex(index);
    if (probe->isOpened()) {
        if (stopping() || !attached()) {
            return false;
        }
        probe->set(cv::CAP_PROP_FRAME_HEIGHT, probeHeightRequest);
        std::ostringstream dims;
        dims << "dim1 : " << probe->get(cv::CAP_PROP_FRAME_WIDTH)
             << " dim2 : " << probe->get(cv::CAP_PROP_FRAME_HEIGHT);
        sequenceLine(dims.str());
        if (stopping() || !attached()) {
            return false;
        }
        // The board camera is the device that settles at 3840 x 2160 when asked for
        // a 10000-wide picture.
        probe->set(cv::CAP_PROP_FRAME_WIDTH, probeWidthRequest);
        const double width = probe->get(cv::CAP_PROP_FRAME_WIDTH);
        const double height = probe->get(cv::CAP_PROP_FRAME_HEIGHT);
        std::ostringstream grown;
        grown << "****dim1 : " << width << " dim2 : " << height;
        sequenceLine(grown.str());
        if (stopping()) {
            return false;
        }
        if (attached() && width == boardCameraWidth && height == boardCameraHeight) {
            cameraConnected = true;
            cameraIndex = index;
            line("camera id : " + std::to_string(index));
            probe->release();
            return false;
        }
        probe->release();
    }
    line("****");
    return !stopping() && attached();
}

// A 4K camera restarts on format writes, so each step may take long: closing is
// looked at between them.
void CameraSession::configureCapture() {
    capture->openIndex(cameraIndex);
    auto ready = [this] { return !stopping() && capture->isOpened() && attached(); };
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
    if (stopping()) {
        return;
    }
    frameSize = cv::Size(static_cast<int>(capture->get(cv::CAP_PROP_FRAME_WIDTH)),
                         static_cast<int>(capture->get(cv::CAP_PROP_FRAME_HEIGHT)));
    std::ostringstream size;
    size << "frame size : " << capture->get(cv::CAP_PROP_FRAME_WIDTH) << " x "
         << capture->get(cv::CAP_PROP_FRAME_HEIGHT);
    line(size.str());
    line("auto exp 0 : " + std::to_string(savedExposure));
    if (ready()) {
        // The JPEG bytes, where the back-end can give them, are checked and decoded here.
        capture->preferEncodedFrames();
        cv::Mat discarded;
        for (int i = 0; i < framesDiscardedAfterOpen && ready(); ++i) {
            capture->read(discarded);
        }
    }
}

void CameraSession::openSource(const std::string& path) {
    handoff->endStreaming();
    capture->release();
    if (path.size() == 1) {
        capture->openIndex(std::atoi(path.c_str()));
    } else {
        capture->openSource(path);
    }
    sourceInterval = sourceFrameInterval(capture->get(cv::CAP_PROP_FPS));
    frameSize = cv::Size(static_cast<int>(capture->get(cv::CAP_PROP_FRAME_WIDTH)),
                         static_cast<int>(capture->get(cv::CAP_PROP_FRAME_HEIGHT)));
    nextSourceRead = Clock::now();
    mode = Mode::Source;
}

// ---------------------------------------------------------------- reading

void CameraSession::applyExposureRequest() {
    const auto request = handoff->takeExposureRequest();
    if (!request) {
        return;
    }
    if (request->manual) {
        capture->set(cv::CAP_PROP_EXPOSURE, request->value);
    } else {
        // The exposure read when the camera was opened stands for "automatic".
        line("auto exp : " + std::to_string(savedExposure));
        capture->set(cv::CAP_PROP_EXPOSURE, savedExposure);
    }
}

void CameraSession::readCameraFrame() {
    applyExposureRequest();
    // A frame belongs to the stream that was open when its read started: an unplug
    // reported during the read makes it stale.
    const std::uint64_t stream = handoff->currentStream();
    cv::Mat raw;
    capture->read(raw);
    // The frame's time in the lesson is when its read returned.
    const auto now = Clock::now();
    if (!handoff->isStreaming()) {
        // Unplugged while reading: the watch has already reported it.
        capture->release();
        mode = Mode::Opening;
        return;
    }
    if (!raw.empty()) {
        lastRead = now;
        queue(raw, stream, std::chrono::duration<double>(now.time_since_epoch()).count());
    }
    followPicture();
    checkNoPicture(now);
    if (now - lastRead < hiccupLimit) {
        if (raw.empty()) {
            handoff->waitForStop(emptyReadPause);
        }
        return;
    }
    // Reads fail outright with the device attached: our own capture is released before
    // the open sequence probes the devices again. Frames that come, even damaged ones,
    // keep the capture open: a good one may follow.
    line("camera: no frame for " + std::to_string(hiccupLimit.count()) +
         " ms, opening the camera again");
    handoff->endStreaming();
    capture->release();
    mode = Mode::Opening;
    openPause = nextReopenPause();
}

// Good frames end the "no picture" state and the growing pause between reopens.
void CameraSession::followPicture() {
    const auto posted = handoff->lastFramePosted();
    if (posted <= lastGoodFrame) {
        return;
    }
    lastGoodFrame = posted;
    reopenPause = Clock::duration::zero();
    if (shown == Shown::NoPicture) {
        line("camera: picture back", true);
        handoff->postConnection(true, cameraIndex);
    }
    shown = Shown::Picture;
}

// Attached for a while without a good frame, whatever reopens ran: the window shows
// that the camera sends no picture, and the camera counts as not connected.
void CameraSession::checkNoPicture(Clock::time_point now) {
    if (shown == Shown::NoPicture ||
        now - std::max(awaitingSince, lastGoodFrame) < noPictureLimit) {
        return;
    }
    shown = Shown::NoPicture;
    logOpenSequence = false;
    line("camera: no picture from the camera", true);
    handoff->postConnection(false, -1, true);
}

// Each reopen without a good frame since the last waits longer, up to the longest:
// the first at once, then 1, 2, 4, 8 and 10 s.
CameraSession::Clock::duration CameraSession::nextReopenPause() {
    const Clock::duration pause = reopenPause;
    const Clock::duration next =
        pause == Clock::duration::zero() ? Clock::duration(reconnectPeriod) : pause * 2;
    reopenPause = std::min(next, Clock::duration(longestReopenPause));
    return pause;
}

void CameraSession::readSourceFrame() {
    applyExposureRequest();
    const auto now = Clock::now();
    if (nextSourceRead > now) {
        if (handoff->waitForRequest(nextSourceRead - now)) {
            return;
        }
    }
    nextSourceRead = std::max(nextSourceRead + sourceInterval, Clock::now());
    const std::uint64_t stream = handoff->currentStream();
    cv::Mat raw;
    capture->read(raw);
    if (!raw.empty()) {
        queue(raw, stream, capture->get(cv::CAP_PROP_POS_MSEC) / 1000);
    }
}

void CameraSession::queue(cv::Mat& raw, std::uint64_t stream, double seconds) {
    CameraFrame frame;
    frame.time = seconds;
    frame.size = frameSize;
    frame.encoded = raw;
    frame.stream = stream;
    handoff->queueForDecode(std::move(frame));
}
