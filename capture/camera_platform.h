#pragma once

#include <opencv2/core.hpp>
#include <opencv2/videoio.hpp>

#include <memory>
#include <string>

// Whether the board camera is on the bus. The real one enumerates USB devices.
class CameraPresence {
public:
    virtual ~CameraPresence() = default;
    virtual bool isCameraAttached() = 0;
};

// The subset of cv::VideoCapture that the camera object uses, so that tests can
// script a camera and the replay camera can stand in for a real one.
class CaptureDevice {
public:
    virtual ~CaptureDevice() = default;
    virtual bool openIndex(int index) = 0;
    virtual bool openSource(const std::string& source) = 0;
    virtual bool isOpened() const = 0;
    virtual bool set(int property, double value) = 0;
    virtual double get(int property) const = 0;
    // Leaves frame empty when nothing could be read. A frame is either a BGR picture
    // or, after preferEncodedFrames, the encoded JPEG as one row of bytes.
    virtual void read(cv::Mat& frame) = 0;
    virtual void release() = 0;
    // Asks for the encoded frames where the back-end can hand them over; those that
    // cannot keep decoding.
    virtual void preferEncodedFrames() {}
};

// Everything that touches hardware: the presence test and a way to make captures.
class CameraPlatform {
public:
    virtual ~CameraPlatform() = default;
    virtual CameraPresence& presence() = 0;
    virtual std::unique_ptr<CaptureDevice> makeCapture() = 0;
};

// A capture on OpenCV's video I/O. Camera indices open with the one back-end this
// platform uses for cameras; paths and URLs with any back-end.
class OpenCvCapture : public CaptureDevice {
public:
    bool openIndex(int index) override;
    bool openSource(const std::string& source) override;
    bool isOpened() const override;
    bool set(int property, double value) override;
    double get(int property) const override;
    void read(cv::Mat& frame) override;
    void release() override;
    void preferEncodedFrames() override;

    static int cameraBackend();

private:
    cv::VideoCapture capture;
};

// Shortens the wait of a read from a camera that was pulled out. It sets an environment
// variable, so it runs first in main(), before any thread that may read the environment.
void limitCaptureReadTimeout();

// The platform of this process: the replay camera when BRISEL_REPLAY names a video
// file or image-sequence pattern, otherwise the USB bus and the system's cameras.
std::unique_ptr<CameraPlatform> makeCameraPlatform();
