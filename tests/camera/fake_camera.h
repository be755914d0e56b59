#pragma once

#include "camera_platform.h"
#include "camera_session.h"
#include "event_pump.h"
#include "video_streamer.h"

#include <opencv2/videoio.hpp>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// A scripted camera rig that behaves like real devices: which index is the board
// camera, when the USB device goes away, what each read returns (a picture, JPEG bytes
// or nothing), a device that refuses a second open while streaming, and reads that
// block while the camera is unplugged. The camera thread and the test share it, so
// every field is read and written under `mutex` (use `with`).
struct CameraScript {
    mutable std::mutex mutex;
    std::condition_variable changed;

    bool attached = true;
    int presenceChecks = 0;
    // Detach once this many presence checks have been answered (-1: never).
    int detachAfterChecks = -1;
    // The next this many presence checks fail, though the device stays (a USB glitch).
    int glitchedChecks = 0;
    int boardCameraIndex = 0;
    std::vector<int> openableIndices{0};
    double exposure = -6.0;
    double framesPerSecond = 30.0;
    // The frame size the board camera reports once configured (small, to keep tests
    // light; the probe still sees 3840 x 2160).
    cv::Size streamSize{384, 216};
    // What read number n returns; an empty matrix is a read that yields nothing.
    std::function<cv::Mat(int)> frameForRead = [](int) {
        return cv::Mat(216, 384, CV_8UC3, cv::Scalar(200, 180, 160));
    };
    // Time between frames, as a camera paces its reads.
    std::chrono::milliseconds readPeriod{5};
    // Each open and property write takes this long (a 4K camera restarts on format
    // writes).
    std::chrono::milliseconds deviceCallTime{0};
    // A read while unplugged blocks this long (V4L2's select timeout) or until replugged.
    std::chrono::milliseconds unpluggedReadBlock{1000};
    int reads = 0;
    int blockedReads = 0;
    int opens = 0;
    // Captures holding the board camera open: a second open is refused ("busy").
    int holders = 0;
    int refusedOpens = 0;
    std::vector<std::string> writes;

    template <typename F> auto with(F f) {
        std::lock_guard lock(mutex);
        return f(*this);
    }
    // A change the camera thread's waits see at once (a replug ends a blocked read).
    void set(const std::function<void(CameraScript&)>& change) {
        with(change);
        changed.notify_all();
    }
};

class ScriptedCapture : public CaptureDevice {
public:
    explicit ScriptedCapture(CameraScript& script) : script(script) {}
    ~ScriptedCapture() override { release(); }
    bool openIndex(int index) override {
        std::unique_lock lock(script.mutex);
        script.changed.wait_for(lock, script.deviceCallTime);
        closeLocked();
        const std::vector<int>& indices = script.openableIndices;
        bool openable = std::find(indices.begin(), indices.end(), index) != indices.end();
        const bool board = index == script.boardCameraIndex;
        if (openable && board && script.holders > 0) {
            ++script.refusedOpens;
            openable = false;
        }
        opened = openable;
        openedIndex = index;
        width = 640;
        height = 480;
        if (opened) {
            ++script.opens;
            holdsBoard = board;
            script.holders += board ? 1 : 0;
        }
        return opened;
    }
    bool openSource(const std::string& source) override {
        std::lock_guard lock(script.mutex);
        closeLocked();
        opened = true;
        openedIndex = -1;
        width = script.streamSize.width;
        height = script.streamSize.height;
        script.writes.push_back("open " + source);
        return true;
    }
    bool isOpened() const override { return opened; }
    bool set(int property, double value) override {
        std::unique_lock lock(script.mutex);
        script.changed.wait_for(lock, script.deviceCallTime);
        script.writes.push_back(std::to_string(property) + "=" + std::to_string(value));
        if (property == cv::CAP_PROP_FRAME_WIDTH && openedIndex == script.boardCameraIndex) {
            const bool probing = value > 3840;
            width = probing ? 3840 : script.streamSize.width;
            height = probing ? 2160 : script.streamSize.height;
        }
        return opened;
    }
    double get(int property) const override {
        std::lock_guard lock(script.mutex);
        return property == cv::CAP_PROP_FRAME_WIDTH    ? width
               : property == cv::CAP_PROP_FRAME_HEIGHT ? height
               : property == cv::CAP_PROP_EXPOSURE     ? script.exposure
               : property == cv::CAP_PROP_FPS          ? script.framesPerSecond
                                                       : 0;
    }
    void read(cv::Mat& frame) override {
        std::unique_lock lock(script.mutex);
        frame.release();
        if (!opened) {
            return;
        }
        if (!script.attached && openedIndex != -1) {
            ++script.blockedReads;
            script.changed.wait_for(lock, script.unpluggedReadBlock,
                                    [this] { return script.attached; });
            --script.blockedReads;
            return;
        }
        script.changed.wait_for(lock, script.readPeriod);
        frame = script.frameForRead(script.reads++);
    }
    void release() override {
        std::lock_guard lock(script.mutex);
        closeLocked();
    }

private:
    void closeLocked() {
        if (holdsBoard) {
            --script.holders;
        }
        holdsBoard = false;
        opened = false;
    }

    CameraScript& script;
    bool opened = false;
    bool holdsBoard = false;
    int openedIndex = -1;
    double width = 0;
    double height = 0;
};

// Its own presence watch: the USB devices are the script's.
struct ScriptedPlatform : CameraPlatform, CameraPresence {
    explicit ScriptedPlatform(CameraScript& script) : script(script) {}
    CameraPresence& presence() override { return *this; }
    std::unique_ptr<CaptureDevice> makeCapture() override {
        return std::make_unique<ScriptedCapture>(script);
    }
    bool isCameraAttached() override {
        std::lock_guard lock(script.mutex);
        ++script.presenceChecks;
        if (script.detachAfterChecks >= 0 && script.presenceChecks > script.detachAfterChecks) {
            script.attached = false;
        }
        if (script.glitchedChecks > 0) {
            --script.glitchedChecks;
            return false;
        }
        return script.attached;
    }
    CameraScript& script;
};

// The camera object makes its platform on the camera thread.
inline CameraPlatformFactory scriptedPlatform(CameraScript& script) {
    return [&script] { return std::make_unique<ScriptedPlatform>(script); };
}

inline bool isPlaceholder(const QImage& image) {
    return image.constBits() == placeholderImage.constBits();
}

inline bool isNoPicture(const QImage& image) {
    return image.constBits() == noPicturePlaceholderImage.constBits();
}

// A camera object on a scripted camera, with the pictures it publishes.
struct StreamerRig {
    CameraScript script;
    std::unique_ptr<VideoStreamer> streamer;
    std::vector<QImage> live;
    std::vector<QImage> calibration;
    // Set where the application would end the process: the camera thread was stuck.
    bool cameraStuck = false;

    void start() {
        streamer = std::make_unique<VideoStreamer>(scriptedPlatform(script));
        streamer->setWhenCameraStuck([this] { cameraStuck = true; });
        QObject::connect(streamer.get(), &VideoStreamer::newImage,
                         [this](QImage& image) { live.push_back(image); });
        QObject::connect(streamer.get(), &VideoStreamer::imageForCalibration,
                         [this](QImage& image) { calibration.push_back(image); });
    }
    bool waitForLive(size_t count) {
        return pumpUntil([&] { return live.size() >= count; });
    }
    int placeholders() const {
        return static_cast<int>(std::count_if(live.begin(), live.end(), isPlaceholder));
    }
    // Pictures published from camera frames (not a placeholder).
    int cameraPictures() const {
        return static_cast<int>(live.size()) - placeholders() -
               static_cast<int>(std::count_if(live.begin(), live.end(), isNoPicture));
    }
    template <typename T> T get(T CameraScript::*field) {
        return script.with([field](CameraScript& s) { return s.*field; });
    }
    void plug(bool attached) {
        script.set([attached](CameraScript& s) { s.attached = attached; });
    }
};
