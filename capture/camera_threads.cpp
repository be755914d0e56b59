// The camera session's threads (the reader's loop, the presence watch and the
// decoder) and the thread that runs a session; the open sequence and the reads are in
// camera_session.cpp.
#include "camera_session.h"

#include <algorithm>
#include <thread>
#include <utility>

#ifdef __linux__
#include <pthread.h>
#endif

namespace {

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

void CameraSession::run() {
    nameThisThread("brisel-camera");
    std::thread watch(&CameraSession::watchPresence, this);
    std::thread decode(&CameraSession::decodeFrames, this);
    while (!stopping()) {
        if (auto path = handoff->takeSourceRequest()) {
            openSource(*path);
            continue;
        }
        switch (mode) {
        case Mode::Opening:
            if (openPause > Clock::duration::zero()) {
                const bool interrupted = handoff->waitForRequest(std::exchange(openPause, {}));
                if (interrupted) {
                    break;
                }
            }
            openCamera();
            if (mode == Mode::Opening) {
                openPause = shown == Shown::Unplugged
                                ? Clock::duration(reconnectPeriod)
                                : std::max(Clock::duration(reconnectPeriod), nextReopenPause());
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
// watched from here, not between reads. One failed enumeration is a USB glitch: only
// a second one, a watch period later, is an unplug.
void CameraSession::watchPresence() {
    nameThisThread("brisel-presence");
    bool missedOnce = false;
    Clock::time_point firstMiss{};
    while (!handoff->waitForStop(presenceWatchPeriod)) {
        if (!handoff->isStreaming() || attached()) {
            missedOnce = false;
            continue;
        }
        const auto now = Clock::now();
        if (!missedOnce) {
            missedOnce = true;
            firstMiss = now;
        } else if (now - firstMiss >= presenceWatchPeriod) {
            handoff->reportUnplugged();
            missedOnce = false;
        }
    }
}

// ---------------------------------------------------------------- decoding

void CameraSession::decodeFrames() {
    nameThisThread("brisel-decode");
    CameraFrame frame;
    while (!stopping()) {
        if (handoff->takeForDecode(frame, decoderIdleWait)) {
            if (frame.stream != damageStream) {
                damageStream = frame.stream;
                if (auto text = damageReport.start(Clock::now())) {
                    line(*text);
                }
            }
            const bool good = checkAndDecode(frame);
            handoff->postFrame(std::move(frame), good);
        }
        if (auto text = damageReport.due(Clock::now())) {
            line(*text);
        }
        frame = CameraFrame();
    }
}

// The frame as read arrives in `encoded` with the number it has in the slot; a good
// one leaves with its JPEG there (or nothing, for back-ends that decode) and its
// pixels when the plan says the pipeline reads that number.
bool CameraSession::checkAndDecode(CameraFrame& frame) {
    const cv::Mat raw = std::exchange(frame.encoded, cv::Mat());
    if (isEncoded(raw)) {
        const DecodePlan plan = handoff->decodePlan();
        if (plan.wantsPixels(frame.sequence)) {
            cv::Mat& pixels = pixelBuffers.freeBuffer();
            const FrameDamage decoded = decoder.decode(raw.data, raw.total(), frame.size, pixels,
                                                       plan.wantsHalfSize(frame.sequence));
            handoff->countDecoded();
            if (decoded != FrameDamage::None) {
                reportDamage();
                return false;
            }
            frame.pixels = pixels;
        } else if (checkEncodedFrame(raw.data, raw.total()).damage != FrameDamage::None) {
            reportDamage();
            return false;
        }
        frame.encoded = raw;
    } else if (raw.size() != frame.size || raw.type() != CV_8UC3) {
        reportDamage();
        return false;
    } else {
        frame.pixels = raw;
    }
    return true;
}

void CameraSession::reportDamage() {
    handoff->countDamaged();
    if (auto text = damageReport.count(Clock::now())) {
        line(*text);
    }
}

// ---------------------------------------------------------------- thread

CameraThread::CameraThread(CameraPlatformFactory makePlatform,
                           std::shared_ptr<FrameHandoff> frameHandoff,
                           std::function<void()> onStuck)
    : handoff(std::move(frameHandoff)), whenStuck(std::move(onStuck)) {
    // The thread owns the session; after a stuck stop it and the hand-off live on
    // until the device call returns.
    thread = std::thread([makePlatform = std::move(makePlatform), shared = handoff] {
        {
            CameraSession session(makePlatform(), shared);
            session.run();
        }
        shared->markFinished();
    });
}

CameraThread::~CameraThread() {
    handoff->setWake(nullptr);
    handoff->requestStop();
    if (handoff->waitFinished(stopTimeout)) {
        thread.join();
        return;
    }
    thread.detach();
    if (whenStuck) {
        whenStuck();
    }
}
