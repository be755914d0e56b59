#include "camera_platform.h"

#include "replay_camera.h"
#include "usb_device_checker.h"

#include <opencv2/videoio.hpp>

#include <cstdlib>

namespace {

// A frame read after an unplug blocks for OpenCV's V4L2 select timeout (10 s by
// default); one second keeps the window responsive when the camera is pulled out.
constexpr const char* v4lSelectTimeoutSeconds = "1";

class SystemCameraPlatform : public CameraPlatform {
public:
    CameraPresence& presence() override { return usbChecker; }
    std::unique_ptr<CaptureDevice> makeCapture() override {
        return std::make_unique<OpenCvCapture>();
    }

private:
    UsbDeviceChecker usbChecker;
};

} // namespace

int OpenCvCapture::cameraBackend() {
#ifdef _WIN32
    return cv::CAP_DSHOW;
#else
    return cv::CAP_V4L2;
#endif
}

bool OpenCvCapture::openIndex(int index) {
    return capture.open(index, cameraBackend());
}

bool OpenCvCapture::openSource(const std::string& source) {
    return capture.open(source, cv::CAP_ANY);
}

bool OpenCvCapture::isOpened() const {
    return capture.isOpened();
}

bool OpenCvCapture::set(int property, double value) {
    return capture.set(property, value);
}

double OpenCvCapture::get(int property) const {
    return capture.get(property);
}

void OpenCvCapture::read(cv::Mat& frame) {
    if (!capture.read(frame)) {
        frame.release();
    }
}

// V4L2 hands over the MJPEG bytes when it does not convert; a camera that streams
// another format keeps OpenCV's conversion. DirectShow's frames stay as they are.
void OpenCvCapture::preferEncodedFrames() {
#ifndef _WIN32
    const int mjpg = cv::VideoWriter::fourcc('M', 'J', 'P', 'G');
    if (static_cast<int>(capture.get(cv::CAP_PROP_FOURCC)) == mjpg) {
        capture.set(cv::CAP_PROP_CONVERT_RGB, 0);
    }
#endif
}

void OpenCvCapture::release() {
    capture.release();
}

void limitCaptureReadTimeout() {
#ifndef _WIN32
    setenv("OPENCV_VIDEOIO_V4L_SELECT_TIMEOUT", v4lSelectTimeoutSeconds, 0);
#endif
}

std::unique_ptr<CameraPlatform> makeCameraPlatform() {
    const char* replay = std::getenv("BRISEL_REPLAY");
    if (replay != nullptr && *replay != '\0') {
        return std::make_unique<ReplayPlatform>(replay);
    }
    return std::make_unique<SystemCameraPlatform>();
}
