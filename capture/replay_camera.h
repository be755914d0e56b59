#pragma once

#include "camera_platform.h"

#include <chrono>
#include <string>

// A recorded video or image sequence standing in for the board camera. The camera is
// "attached" exactly while the recording (for a pattern: its first file) exists, so
// renaming it is an unplug and restoring it a replug.
class ReplayPresence : public CameraPresence {
public:
    explicit ReplayPresence(const std::string& source);
    bool isCameraAttached() override;

    // The file whose presence stands for the USB device.
    static std::string firstFileOf(const std::string& source);

private:
    // Resolved once, so a sequence numbered from 0 is unplugged when its file 0 goes.
    std::string firstFile;
};

// Index 0 opens the recording; property requests are accepted; the recording reports
// its own frame size; reads are paced like a camera at the recording's frame rate (30
// when it has none) and loop at the end.
class ReplayCapture : public CaptureDevice {
public:
    static constexpr double defaultFramesPerSecond = 30.0;

    explicit ReplayCapture(std::string source);
    bool openIndex(int index) override;
    bool openSource(const std::string& source) override;
    bool isOpened() const override;
    bool set(int property, double value) override;
    double get(int property) const override;
    void read(cv::Mat& frame) override;
    void release() override;
    // FFmpeg's raw mode gives each frame's JPEG as recorded, as a camera's MJPEG stream.
    void preferEncodedFrames() override;

private:
    void waitForNextFrameTime();
    bool reopen();

    std::string replaySource;
    std::string openedSource;
    cv::VideoCapture capture;
    bool encodedFrames = false;
    double framesPerSecond = defaultFramesPerSecond;
    std::chrono::steady_clock::time_point nextFrameTime{};
};

class ReplayPlatform : public CameraPlatform {
public:
    explicit ReplayPlatform(std::string source);
    CameraPresence& presence() override { return replayPresence; }
    std::unique_ptr<CaptureDevice> makeCapture() override;

private:
    std::string source;
    ReplayPresence replayPresence;
};
