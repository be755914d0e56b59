#include "frame_handoff.h"

#include <utility>

namespace {

// Reference counts change on other threads (the view releases pictures on its own).
bool heldOnlyHere(const cv::Mat& buffer) {
    return buffer.u != nullptr && __atomic_load_n(&buffer.u->refcount, __ATOMIC_ACQUIRE) == 1;
}

} // namespace

cv::Mat& PictureRing::freeBuffer() {
    for (cv::Mat& buffer : buffers) {
        if (heldOnlyHere(buffer)) {
            return buffer;
        }
    }
    if (buffers.size() < capacity) {
        return buffers.emplace_back();
    }
    cv::Mat& oldest = buffers[next];
    next = (next + 1) % capacity;
    oldest = cv::Mat();
    return oldest;
}

bool DecodePlan::wantsPixels(std::uint64_t sequence) const {
    if (sequence <= after) {
        return true;
    }
    if (sequence - after - 1 >= static_cast<std::uint64_t>(length)) {
        return beyond;
    }
    return ((bits >> (sequence - after - 1)) & 1u) != 0;
}

bool DecodePlan::wantsHalfSize(std::uint64_t sequence) const {
    if (sequence <= after || sequence - after - 1 >= static_cast<std::uint64_t>(length)) {
        return false;
    }
    return ((bits & halfBits) >> (sequence - after - 1) & 1u) != 0;
}

void FrameHandoff::setWake(std::function<void()> newWake) {
    std::lock_guard lock(mutex);
    wake = std::move(newWake);
    wakePending = false;
}

void FrameHandoff::wakeLocked() {
    if (!wakePending && wake) {
        wakePending = true;
        wake();
    }
}

void FrameHandoff::discardFramesLocked() {
    waiting.reset();
    undecoded.reset();
    ++stream;
    decoderWork.notify_all();
}

std::uint64_t FrameHandoff::currentStream() const {
    std::lock_guard lock(mutex);
    return stream;
}

void FrameHandoff::queueForDecode(CameraFrame frame) {
    std::lock_guard lock(mutex);
    if (frame.stream != stream) {
        return;
    }
    if (undecoded) {
        ++counters.dropped;
    }
    undecoded = std::move(frame);
    decoderWork.notify_all();
}

bool FrameHandoff::takeForDecode(CameraFrame& frame, Clock::duration duration) {
    std::unique_lock lock(mutex);
    const auto ready = [this] { return stop || (undecoded && !waiting && !slotReserved); };
    if (!decoderWork.wait_for(lock, duration, ready) || stop) {
        return false;
    }
    frame = std::move(*undecoded);
    undecoded.reset();
    slotReserved = true;
    frame.sequence = lastSequence + 1;
    return true;
}

void FrameHandoff::postFrame(CameraFrame frame, bool good) {
    std::lock_guard lock(mutex);
    slotReserved = false;
    if (!good || frame.stream != stream) {
        decoderWork.notify_all();
        return;
    }
    lastSequence = frame.sequence;
    waiting = std::move(frame);
    lastPosted = Clock::now();
    wakeLocked();
}

FrameHandoff::Clock::time_point FrameHandoff::lastFramePosted() const {
    std::lock_guard lock(mutex);
    return lastPosted;
}

void FrameHandoff::postLine(std::string line, bool alsoToLog) {
    std::lock_guard lock(mutex);
    const auto kind = alsoToLog ? CameraEvent::Kind::ConsoleAndLog : CameraEvent::Kind::Console;
    events.push_back({kind, std::move(line), false, -1, false});
    wakeLocked();
}

void FrameHandoff::postConnection(bool connected, int index, bool noPicture) {
    std::lock_guard lock(mutex);
    if (!connected || index == -1) {
        discardFramesLocked();
    }
    events.push_back({CameraEvent::Kind::Connection, {}, connected, index, noPicture});
    wakeLocked();
}

void FrameHandoff::beginStreaming() {
    std::lock_guard lock(mutex);
    streaming = true;
}

bool FrameHandoff::isStreaming() const {
    std::lock_guard lock(mutex);
    return streaming;
}

void FrameHandoff::endStreaming() {
    std::lock_guard lock(mutex);
    streaming = false;
    discardFramesLocked();
}

bool FrameHandoff::reportUnplugged() {
    std::lock_guard lock(mutex);
    if (!streaming) {
        return false;
    }
    streaming = false;
    discardFramesLocked();
    events.push_back({CameraEvent::Kind::Connection, {}, false, -1, false});
    wakeLocked();
    return true;
}

std::optional<ExposureRequest> FrameHandoff::takeExposureRequest() {
    std::lock_guard lock(mutex);
    return std::exchange(exposure, std::nullopt);
}

std::optional<std::string> FrameHandoff::takeSourceRequest() {
    std::lock_guard lock(mutex);
    return std::exchange(source, std::nullopt);
}

DecodePlan FrameHandoff::decodePlan() const {
    std::lock_guard lock(mutex);
    return plan;
}

void FrameHandoff::countDecoded(int frames) {
    std::lock_guard lock(mutex);
    counters.decoded += frames;
}

void FrameHandoff::countDamaged(int frames) {
    std::lock_guard lock(mutex);
    counters.damaged += frames;
}

void FrameHandoff::countDropped(int frames) {
    std::lock_guard lock(mutex);
    counters.dropped += frames;
}

bool FrameHandoff::stopRequested() const {
    std::lock_guard lock(mutex);
    return stop;
}

bool FrameHandoff::waitForRequest(Clock::duration duration) {
    std::unique_lock lock(mutex);
    return requestArrived.wait_for(lock, duration, [this] { return stop || source.has_value(); });
}

bool FrameHandoff::waitForStop(Clock::duration duration) {
    std::unique_lock lock(mutex);
    return requestArrived.wait_for(lock, duration, [this] { return stop; });
}

void FrameHandoff::markFinished() {
    std::lock_guard lock(mutex);
    finished = true;
    finishedChanged.notify_all();
}

std::vector<CameraEvent> FrameHandoff::takeEvents() {
    std::lock_guard lock(mutex);
    wakePending = false;
    std::vector<CameraEvent> taken(std::make_move_iterator(events.begin()),
                                   std::make_move_iterator(events.end()));
    events.clear();
    return taken;
}

bool FrameHandoff::takeFrame(CameraFrame& frame) {
    std::lock_guard lock(mutex);
    if (!waiting) {
        return false;
    }
    frame = std::move(*waiting);
    waiting.reset();
    decoderWork.notify_all();
    return true;
}

bool FrameHandoff::hasFrame() const {
    std::lock_guard lock(mutex);
    return waiting.has_value();
}

void FrameHandoff::requestExposure(ExposureRequest request) {
    std::lock_guard lock(mutex);
    exposure = request;
}

void FrameHandoff::requestSource(std::string path) {
    std::lock_guard lock(mutex);
    source = std::move(path);
    requestArrived.notify_all();
}

void FrameHandoff::setDecodePlan(DecodePlan newPlan) {
    std::lock_guard lock(mutex);
    plan = newPlan;
}

HandoffCounters FrameHandoff::takeCounters() {
    std::lock_guard lock(mutex);
    return std::exchange(counters, HandoffCounters{});
}

void FrameHandoff::requestStop() {
    std::lock_guard lock(mutex);
    stop = true;
    requestArrived.notify_all();
    decoderWork.notify_all();
}

bool FrameHandoff::waitFinished(Clock::duration timeout) {
    std::unique_lock lock(mutex);
    return finishedChanged.wait_for(lock, timeout, [this] { return finished; });
}
