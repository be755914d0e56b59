#pragma once

#include "camera_platform.h"
#include "frame_handoff.h"
#include "jpeg_frame.h"
#include "loop_stats.h"

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

// Frame interval of a video source opened by openVideoCamera: a missing, zero or
// negative rate counts as 30 frames per second.
std::chrono::milliseconds sourceFrameInterval(double framesPerSecond);

// Makes the platform on the camera thread: libusb and the captures live and die there.
using CameraPlatformFactory = std::function<std::unique_ptr<CameraPlatform>()>;

// The camera thread's work: the open sequence, the reads and exposure writes, the
// check and decoding of each frame, and a presence watch that runs beside a read
// that may block. Everything it reports goes through the hand-off.
class CameraSession {
public:
    static constexpr std::chrono::milliseconds presenceWatchPeriod{250};
    static constexpr std::chrono::milliseconds reconnectPeriod{1000};
    // Reads that fail outright for this long release the camera and open it again,
    // after a pause that grows while no good frame comes, up to the longest.
    static constexpr std::chrono::milliseconds hiccupLimit{1000};
    static constexpr std::chrono::milliseconds longestReopenPause{10000};
    // Attached, but no good frame for this long: the window says the camera sends no
    // picture.
    static constexpr std::chrono::milliseconds noPictureLimit{3000};
    // A state that lasts writes its line to log.txt at most this often.
    static constexpr std::chrono::seconds logRepeatPeriod{60};
    static constexpr std::chrono::milliseconds emptyReadPause{5};
    // An idle decoder thread wakes this often, to say a damage window's count on time.
    static constexpr std::chrono::milliseconds decoderIdleWait{500};

    CameraSession(std::unique_ptr<CameraPlatform> platform, std::shared_ptr<FrameHandoff> handoff);
    CameraSession(const CameraSession&) = delete;
    CameraSession& operator=(const CameraSession&) = delete;

    // The camera thread: runs until the hand-off asks it to stop. Reading and decoding
    // run on threads of their own, so a decode never makes the reader late for a frame.
    void run();

private:
    using Clock = std::chrono::steady_clock;
    enum class Mode { Opening, Camera, Source };
    // What the window was last told, which decides what log.txt hears again.
    enum class Shown { Starting, Picture, Unplugged, NoPicture };

    bool attached();
    bool stopping() const { return handoff->stopRequested(); }
    void watchPresence();
    void decodeFrames();
    void openCamera();
    void reportUnpluggedAtOpen();
    bool probeCameraIndex(int index);
    void configureCapture();
    void openSource(const std::string& path);
    void readCameraFrame();
    void followPicture();
    void checkNoPicture(Clock::time_point now);
    Clock::duration nextReopenPause();
    void readSourceFrame();
    void applyExposureRequest();
    void queue(cv::Mat& raw, std::uint64_t stream, double seconds);
    bool checkAndDecode(CameraFrame& frame);
    void reportDamage();
    void line(const std::string& text, bool alsoToLog = false);
    void sequenceLine(const std::string& text) { line(text, logOpenSequence); }

    std::unique_ptr<CameraPlatform> platform;
    std::shared_ptr<FrameHandoff> handoff;
    // The presence watch and the open sequence may ask at the same time.
    std::mutex presenceMutex;
    std::unique_ptr<CaptureDevice> capture;
    Mode mode = Mode::Opening;
    Shown shown = Shown::Starting;
    bool logOpenSequence = true;
    Clock::time_point lastUnpluggedLog{};
    int cameraIndex = -1;
    bool cameraConnected = true;
    int savedExposure = 0;
    cv::Size frameSize;
    // Since when a picture has been awaited: the last good frame, or the device's
    // arrival on the bus.
    Clock::time_point awaitingSince{};
    bool awaitingArrival = true;
    Clock::time_point lastGoodFrame{};
    Clock::time_point lastRead{};
    Clock::duration reopenPause{};
    Clock::duration openPause{};
    Clock::duration sourceInterval{};
    Clock::time_point nextSourceRead;

    // The decoder thread's own.
    JpegDecoder decoder{cameraDecodeOptions};
    // Two pictures may be held by the GUI thread (one in the pipeline, one waiting)
    // while the next is decoded.
    PictureRing pixelBuffers{3};
    DamageReport damageReport;
    std::uint64_t damageStream = ~std::uint64_t{0};
};

// Runs a CameraSession on its own thread. Stopping waits about a second at most: a
// session stuck in a device call is then left behind, and `whenStuck` runs (the
// application ends the process there, before its static destructors run under a live
// camera thread).
class CameraThread {
public:
    static constexpr std::chrono::milliseconds stopTimeout{1000};

    CameraThread(CameraPlatformFactory makePlatform, std::shared_ptr<FrameHandoff> handoff,
                 std::function<void()> whenStuck);
    ~CameraThread();
    CameraThread(const CameraThread&) = delete;
    CameraThread& operator=(const CameraThread&) = delete;

private:
    std::shared_ptr<FrameHandoff> handoff;
    std::function<void()> whenStuck;
    std::thread thread;
};
