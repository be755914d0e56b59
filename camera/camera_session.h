#pragma once

#include "camera_platform.h"
#include "frame_handoff.h"
#include "jpeg_frame.h"
#include "loop_stats.h"

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Frame interval of a video source opened by openVideoCamera: a missing, zero or
// negative rate counts as 30 frames per second.
std::chrono::milliseconds sourceFrameInterval(double framesPerSecond);

// The camera thread's work: the open sequence, the reads and exposure writes, the
// check and decoding of each frame, and a presence watch that runs beside a read
// that may block. Everything it reports goes through the hand-off.
class CameraSession {
public:
    static constexpr std::chrono::milliseconds presenceWatchPeriod{250};
    static constexpr std::chrono::milliseconds reconnectPeriod{1000};
    // Without a good frame for this long the camera is released and opened again.
    static constexpr std::chrono::milliseconds hiccupLimit{1000};
    static constexpr std::chrono::milliseconds emptyReadPause{5};
    // A decoded frame waits this long for the GUI thread to take the one before it: a
    // frame replaced unseen may have been the one whose pixels the pipeline wanted.
    static constexpr std::chrono::milliseconds postPatience{25};
    // An idle decoder thread sleeps this long at most: stopping wakes it anyway, and an
    // unplugged camera must cost next to nothing.
    static constexpr std::chrono::milliseconds decoderIdleWait{2000};

    CameraSession(std::unique_ptr<CameraPlatform> platform, std::shared_ptr<FrameHandoff> handoff);
    CameraSession(const CameraSession&) = delete;
    CameraSession& operator=(const CameraSession&) = delete;

    // The camera thread: runs until the hand-off asks it to stop. Reading and decoding
    // run on threads of their own, so a decode never makes the reader late for a frame.
    void run();

private:
    using Clock = std::chrono::steady_clock;
    enum class Mode { Opening, Camera, Source };

    bool attached();
    void watchPresence();
    void decodeFrames();
    void openCamera();
    bool probeCameraIndex(int index);
    void configureCapture();
    void openSource(const std::string& path);
    void readCameraFrame();
    void readSourceFrame();
    void applyExposureRequest();
    void queue(cv::Mat& raw, double seconds);
    bool checkAndDecode(CameraFrame& frame);
    void reportDamage();
    void line(const std::string& text, bool alsoToLog = false);

    std::unique_ptr<CameraPlatform> platform;
    std::shared_ptr<FrameHandoff> handoff;
    // The presence watch and the open sequence may ask at the same time.
    std::mutex presenceMutex;
    std::unique_ptr<CaptureDevice> capture;
    Mode mode = Mode::Opening;
    int cameraIndex = -1;
    bool cameraConnected = true;
    int savedExposure = 0;
    cv::Size frameSize;
    Clock::time_point streamingSince;
    Clock::duration sourceInterval{};
    Clock::time_point nextSourceRead;

    // The decoder thread's own.
    std::uint64_t sequence = 0;
    JpegDecoder decoder{cameraDecodeOptions};
    // Two pictures may be held by the GUI thread (one in the pipeline, one waiting)
    // while the next is decoded.
    PictureRing pixelBuffers{3};
    DamageReport damageReport;
};

// Runs a CameraSession on its own thread. Stopping waits about a second at most:
// a session stuck in a device call is left to finish on its own.
class CameraThread {
public:
    static constexpr std::chrono::milliseconds stopTimeout{1000};

    CameraThread(std::unique_ptr<CameraPlatform> platform, std::shared_ptr<FrameHandoff> handoff);
    ~CameraThread();
    CameraThread(const CameraThread&) = delete;
    CameraThread& operator=(const CameraThread&) = delete;

private:
    std::shared_ptr<FrameHandoff> handoff;
    std::thread thread;
};
