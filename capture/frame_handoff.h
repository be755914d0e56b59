#pragma once

#include <opencv2/core.hpp>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

// A few picture buffers reused once nobody else holds them, so a picture handed on
// (to the GUI thread, or to the view) is never refilled in place.
class PictureRing {
public:
    explicit PictureRing(std::size_t size) : capacity(size) {}
    // A buffer held only by the ring, empty the first time; when all are held, a
    // new one replaces the oldest.
    cv::Mat& freeBuffer();

private:
    std::size_t capacity;
    std::vector<cv::Mat> buffers;
    std::size_t next = 0;
};

// One good camera frame on its way to the GUI thread.
struct CameraFrame {
    // The JPEG as the back-end handed it over; empty for back-ends that decode.
    cv::Mat encoded;
    // BGR pixels; empty when the pipeline said it would not read this frame, and half
    // the size in each direction when it said it would read only a reduction of it.
    cv::Mat pixels;
    // The size the capture reported when it opened: what the pixels must have.
    cv::Size size;
    // Counts the frames handed to the GUI thread over the whole run; given when the
    // frame takes the empty slot, before its decode is decided. The plan refers to it.
    std::uint64_t sequence = 0;
    // The stream that was open when the frame's read started: frames of a stream that
    // ended (a disconnect, a new source) are never handed on.
    std::uint64_t stream = 0;
    // Seconds on the camera's clock: when the read returned, or a recording's frame time.
    double time = 0;
};

// What the camera thread tells the GUI thread besides frames, in the order it happened.
struct CameraEvent {
    enum class Kind { Console, ConsoleAndLog, Connection };
    Kind kind = Kind::Console;
    std::string line;       // a console line, also written to log.txt for ConsoleAndLog
    bool connected = false; // Connection: the connection flag
    int index = -1;         // Connection: the camera index, -1 when none is open
    // Connection: the device is attached but has sent no good frame for a while.
    bool noPicture = false;
};

struct ExposureRequest {
    bool manual = false;
    double value = 0.0;
};

// Which of the coming frames the pipeline will read: bit i stands for the frame with
// sequence `after` + 1 + i; frames beyond the plan follow `beyond`. The same bit of
// `halfBits` says the pipeline reads only a half-size copy of that frame.
struct DecodePlan {
    static constexpr int length = 32;
    std::uint64_t after = 0;
    std::uint32_t bits = ~0u;
    bool beyond = true;
    std::uint32_t halfBits = 0;
    bool wantsPixels(std::uint64_t sequence) const;
    bool wantsHalfSize(std::uint64_t sequence) const;
};

// Counts over one statistics interval.
struct HandoffCounters {
    int decoded = 0;
    int dropped = 0;
    int damaged = 0;
};

// The one place where data crosses between the camera thread and the GUI thread.
// One slot leads to the GUI thread: the decoder takes a read frame only when the slot
// is empty, numbers it there and decodes it as the plan says for that number, so no
// decoded frame is ever replaced unread. Meanwhile newer reads replace the undecoded
// one. Requests from the GUI (exposure, a video source, the decode plan, stop) wait
// here for the camera thread.
class FrameHandoff {
public:
    using Clock = std::chrono::steady_clock;

    // Called (from the camera side) when something new waits and no wake-up is
    // pending; cleared on destruction of the receiver, before the camera thread may
    // outlive it.
    void setWake(std::function<void()> wake);

    // ---- camera side
    // The stream a read that starts now belongs to.
    std::uint64_t currentStream() const;
    // The reader hands each frame it read to the decoder thread, in order. One frame
    // waits at most: a newer one replaces it and counts as dropped. A frame of an
    // ended stream is discarded.
    void queueForDecode(CameraFrame frame);
    // Decoder thread: waits up to `duration` for a read frame and the empty slot, and
    // takes both: the frame gets the number the slot gives. False on timeout or stop.
    bool takeForDecode(CameraFrame& frame, Clock::duration duration);
    // Gives the slot its frame, checked and decoded (`good`), or frees the slot for the
    // next frame under the same number: a damaged frame, or one of an ended stream,
    // never reaches the GUI thread.
    void postFrame(CameraFrame frame, bool good = true);
    // When the last good frame was posted; the reader's hiccup rule looks at it.
    Clock::time_point lastFramePosted() const;
    // Console (and log.txt) lines are written by the GUI thread, in this order.
    void postLine(std::string line, bool alsoToLog = false);
    // A lost or failed connection also clears the waiting frame: no stale picture
    // may follow the placeholder.
    void postConnection(bool connected, int index, bool noPicture = false);
    // Streaming means the presence watch is on; an unplug seen by the watch ends it.
    // Ending it discards the frames still on their way.
    void beginStreaming();
    bool isStreaming() const;
    void endStreaming();
    // Ends streaming with an unplug (posted as a lost connection). False when
    // streaming had already ended, so the unplug is reported once.
    bool reportUnplugged();
    std::optional<ExposureRequest> takeExposureRequest();
    std::optional<std::string> takeSourceRequest();
    DecodePlan decodePlan() const;
    void countDecoded(int frames = 1);
    void countDamaged(int frames = 1);
    // Also on the GUI side: a frame that came without the pixels the pipeline wanted.
    void countDropped(int frames = 1);
    bool stopRequested() const;
    // Sleeps up to `duration`; returns early (true) on stop or a new source request.
    bool waitForRequest(Clock::duration duration);
    // Sleeps up to `duration`; returns early (true) on stop.
    bool waitForStop(Clock::duration duration);
    void markFinished();

    // ---- GUI side
    // Takes everything that waits; the wake-up that follows a take is a new one.
    std::vector<CameraEvent> takeEvents();
    bool takeFrame(CameraFrame& frame);
    bool hasFrame() const;
    void requestExposure(ExposureRequest request);
    void requestSource(std::string source);
    void setDecodePlan(DecodePlan plan);
    HandoffCounters takeCounters();
    void requestStop();
    // True when the camera thread finished within `timeout`.
    bool waitFinished(Clock::duration timeout);

private:
    void wakeLocked();
    void discardFramesLocked();

    mutable std::mutex mutex;
    std::condition_variable requestArrived;
    std::condition_variable finishedChanged;
    std::function<void()> wake;
    bool wakePending = false;
    std::optional<CameraFrame> waiting;
    // The decoder holds the slot's frame while it decodes it.
    bool slotReserved = false;
    std::uint64_t lastSequence = 0;
    std::optional<CameraFrame> undecoded;
    std::condition_variable decoderWork;
    std::uint64_t stream = 0;
    Clock::time_point lastPosted{};
    std::deque<CameraEvent> events;
    bool streaming = false;
    std::optional<ExposureRequest> exposure;
    std::optional<std::string> source;
    DecodePlan plan;
    HandoffCounters counters;
    bool stop = false;
    bool finished = false;
};
