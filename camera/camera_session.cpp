#include "camera_session.h"

#include <opencv2/videoio.hpp>

#include <cmath>
#include <sstream>
#include <utility>

#ifdef __linux__
#include <pthread.h>
#endif

namespace {

constexpr int probedCameraCount = 10;
constexpr int boardCameraWidth = 3840;
constexpr int boardCameraHeight = 2160;
constexpr double probeWidthRequest = 10000;
constexpr double probeHeightRequest = 1;
constexpr double cameraFramesPerSecond = 30;
constexpr double fallbackSourceFramesPerSecond = 30;
constexpr int framesDiscardedAfterOpen = 5;

// Back-ends that hand over the encoded frame give its bytes as one row.
bool isEncoded(const cv::Mat& raw) {
    return raw.rows == 1 && raw.type() == CV_8UC1;
}

// Named threads tell where the cores go in top, perf and gdb.
void nameThisThread(const char* name) {
#ifdef __linux__
    pthread_setname_np(pthread_self(), name);
#else
    (void)name;
#endif
}

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

void CameraSession::run() {
    nameThisThread("brisel-camera");
    std::thread watch(&CameraSession::watchPresence, this);
    std::thread decode(&CameraSession::decodeFrames, this);
    while (!handoff->stopRequested()) {
        if (auto path = handoff->takeSourceRequest()) {
            openSource(*path);
            continue;
        }
        switch (mode) {
        case Mode::Opening:
            openCamera();
            if (mode == Mode::Opening) {
                handoff->waitForRequest(reconnectPeriod);
            }
            break;
        case Mode::Camera:
            readCameraFrame();
            break;
        case Mode::Source:
            readSourceFrame();
            break;
        }
    }
    handoff->endStreaming();
    watch.join();
    decode.join();
    capture->release();
}

// A lost camera may hold a read for the capture's whole timeout, so the bus is
// watched from here, not between reads.
void CameraSession::watchPresence() {
    nameThisThread("brisel-presence");
    while (!handoff->waitForStop(presenceWatchPeriod)) {
        if (handoff->isStreaming() && !attached()) {
            handoff->reportUnplugged();
        }
    }
}

// ---------------------------------------------------------------- open sequence

void CameraSession::openCamera() {
    cameraIndex = -1;
    if (!attached()) {
        cameraConnected = false;
    } else {
        for (int index = 0; index < probedCameraCount; ++index) {
            if (!probeCameraIndex(index)) {
                break;
            }
        }
        if (cameraIndex != -1) {
            configureCapture();
        }
        if (!attached()) {
            cameraConnected = false;
            cameraIndex = -1;
        }
    }
    std::ostringstream text;
    text << "camera connected : " << (cameraConnected ? 1 : 0) << " cam id : " << cameraIndex;
    if (cameraIndex == -1) {
        capture->release();
        handoff->postLine(text.str(), true);
        handoff->postConnection(cameraConnected, -1);
        return;
    }
    handoff->postLine(text.str(), true);
    handoff->postConnection(true, cameraIndex);
    mode = Mode::Camera;
    streamingSince = Clock::now();
    handoff->beginStreaming();
}

// Returns false when probing must stop: camera found, or unplugged meanwhile.
bool CameraSession::probeCameraIndex(int index) {
    auto probe = platform->makeCapture();
    probe->openIndex(index);
    if (probe->isOpened()) {
        if (!attached()) {
            return false;
        }
        probe->set(cv::CAP_PROP_FRAME_HEIGHT, probeHeightRequest);
        std::ostringstream dims;
        dims << "dim1 : " << probe->get(cv::CAP_PROP_FRAME_WIDTH)
             << " dim2 : " << probe->get(cv::CAP_PROP_FRAME_HEIGHT);
        line(dims.str(), true);
        if (!attached()) {
            return false;
        }
        // The board camera is the device that settles at 3840 x 2160 when asked for
        // a 10000-wide picture.
        probe->set(cv::CAP_PROP_FRAME_WIDTH, probeWidthRequest);
        const double width = probe->get(cv::CAP_PROP_FRAME_WIDTH);
        const double height = probe->get(cv::CAP_PROP_FRAME_HEIGHT);
        std::ostringstream grown;
        grown << "****dim1 : " << width << " dim2 : " << height;
        line(grown.str(), true);
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
    return attached();
}

void CameraSession::configureCapture() {
    capture->openIndex(cameraIndex);
    auto ready = [this] { return capture->isOpened() && attached(); };
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
        for (int i = 0; i < framesDiscardedAfterOpen; ++i) {
            if (attached()) {
                capture->read(discarded);
            }
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
    cv::Mat raw;
    capture->read(raw);
    const double readAt = std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
    if (!handoff->isStreaming()) {
        // Unplugged while reading: the watch has already reported it.
        capture->release();
        mode = Mode::Opening;
        return;
    }
    if (!raw.empty()) {
        queue(raw, readAt);
    }
    const auto lastGoodFrame = std::max(streamingSince, handoff->lastFramePosted());
    if (Clock::now() - lastGoodFrame < hiccupLimit) {
        if (raw.empty()) {
            handoff->waitForStop(emptyReadPause);
        }
        return;
    }
    // No good frame for a while with the device attached: our own capture is released
    // before the open sequence probes the devices again.
    line("camera: no good frame for " + std::to_string(hiccupLimit.count()) +
         " ms, opening the camera again");
    handoff->endStreaming();
    capture->release();
    mode = Mode::Opening;
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
    cv::Mat raw;
    capture->read(raw);
    if (!raw.empty()) {
        queue(raw, capture->get(cv::CAP_PROP_POS_MSEC) / 1000);
    }
}

void CameraSession::queue(cv::Mat& raw, double seconds) {
    CameraFrame frame;
    frame.time = seconds;
    frame.size = frameSize;
    frame.encoded = raw;
    handoff->queueForDecode(std::move(frame));
}

// ---------------------------------------------------------------- decoding

void CameraSession::decodeFrames() {
    nameThisThread("brisel-decode");
    CameraFrame frame;
    while (!handoff->stopRequested()) {
        if (handoff->takeForDecode(frame, decoderIdleWait) && checkAndDecode(frame)) {
            sequence = handoff->postFrame(std::move(frame), postPatience);
        }
        frame = CameraFrame();
    }
}

// The frame as read arrives in `encoded`; a good one leaves with its JPEG there (or
// nothing, for back-ends that decode) and its pixels when the pipeline will read them.
bool CameraSession::checkAndDecode(CameraFrame& frame) {
    const cv::Mat raw = std::exchange(frame.encoded, cv::Mat());
    if (isEncoded(raw)) {
        const FrameDamage damage = checkEncodedFrame(raw.data, raw.total());
        if (damage != FrameDamage::None) {
            reportDamage();
            return false;
        }
        frame.encoded = raw;
        const DecodePlan plan = handoff->decodePlan();
        if (plan.wantsPixels(sequence + 1)) {
            cv::Mat& pixels = pixelBuffers.freeBuffer();
            const FrameDamage decoded = decoder.decode(raw.data, raw.total(), frame.size, pixels,
                                                       plan.wantsHalfSize(sequence + 1));
            handoff->countDecoded();
            if (decoded != FrameDamage::None) {
                reportDamage();
                return false;
            }
            frame.pixels = pixels;
        }
    } else if (raw.size() != frame.size || raw.type() != CV_8UC3) {
        reportDamage();
        return false;
    } else {
        frame.pixels = raw;
    }
    frame.sequence = sequence + 1;
    return true;
}

void CameraSession::reportDamage() {
    handoff->countDamaged();
    if (auto text = damageReport.count(Clock::now())) {
        line(*text);
    }
}

// ---------------------------------------------------------------- thread

CameraThread::CameraThread(std::unique_ptr<CameraPlatform> platform,
                           std::shared_ptr<FrameHandoff> frameHandoff)
    : handoff(std::move(frameHandoff)) {
    auto session = std::make_shared<CameraSession>(std::move(platform), handoff);
    thread = std::thread([session, shared = handoff] {
        session->run();
        shared->markFinished();
    });
}

CameraThread::~CameraThread() {
    handoff->setWake(nullptr);
    handoff->requestStop();
    if (handoff->waitFinished(stopTimeout)) {
        thread.join();
    } else {
        // The session and the hand-off live on in the thread until it returns.
        thread.detach();
    }
}
