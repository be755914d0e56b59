#pragma once

#include "camera_platform.h"

#include <opencv2/videoio.hpp>

#include <functional>
#include <memory>
#include <string>
#include <vector>

// A scripted camera rig: which index is the board camera, when the USB device goes
// away, what each read returns, and a log of every property write.
struct CameraScript {
    bool attached = true;
    int presenceChecks = 0;
    // Detach once this many presence checks have been answered (-1: never).
    int detachAfterChecks = -1;
    int boardCameraIndex = 0;
    std::vector<int> openableIndices{0};
    double exposure = -6.0;
    double framesPerSecond = 30.0;
    std::function<cv::Mat(int)> frameForRead = [](int) {
        return cv::Mat(2160, 3840, CV_8UC3, cv::Scalar(200, 180, 160));
    };
    int reads = 0;
    std::vector<std::string> writes;
};

class ScriptedPresence : public CameraPresence {
public:
    explicit ScriptedPresence(CameraScript& script) : script(script) {}
    bool isCameraAttached() override {
        ++script.presenceChecks;
        if (script.detachAfterChecks >= 0 && script.presenceChecks > script.detachAfterChecks) {
            script.attached = false;
        }
        return script.attached;
    }

private:
    CameraScript& script;
};

class ScriptedCapture : public CaptureDevice {
public:
    explicit ScriptedCapture(CameraScript& script) : script(script) {}
    bool openIndex(int index) override {
        opened = false;
        for (int i : script.openableIndices) {
            opened = opened || i == index;
        }
        openedIndex = index;
        width = 640;
        height = 480;
        return opened;
    }
    bool openSource(const std::string& source) override {
        opened = true;
        openedIndex = -1;
        script.writes.push_back("open " + source);
        return true;
    }
    bool isOpened() const override { return opened; }
    bool set(int property, double value) override {
        script.writes.push_back(std::to_string(property) + "=" + std::to_string(value));
        if (property == cv::CAP_PROP_FRAME_WIDTH && value > 3840 &&
            openedIndex == script.boardCameraIndex) {
            width = 3840;
            height = 2160;
        }
        return opened;
    }
    double get(int property) const override {
        switch (property) {
        case cv::CAP_PROP_FRAME_WIDTH:
            return width;
        case cv::CAP_PROP_FRAME_HEIGHT:
            return height;
        case cv::CAP_PROP_EXPOSURE:
            return script.exposure;
        case cv::CAP_PROP_FPS:
            return script.framesPerSecond;
        default:
            return 0;
        }
    }
    void read(cv::Mat& frame) override {
        frame = opened ? script.frameForRead(script.reads++) : cv::Mat();
    }
    void release() override { opened = false; }

private:
    CameraScript& script;
    bool opened = false;
    int openedIndex = -1;
    double width = 0;
    double height = 0;
};

class ScriptedPlatform : public CameraPlatform {
public:
    explicit ScriptedPlatform(CameraScript& script) : script(script), scriptedPresence(script) {}
    CameraPresence& presence() override { return scriptedPresence; }
    std::unique_ptr<CaptureDevice> makeCapture() override {
        return std::make_unique<ScriptedCapture>(script);
    }

private:
    CameraScript& script;
    ScriptedPresence scriptedPresence;
};
