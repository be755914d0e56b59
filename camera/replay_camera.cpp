#include "replay_camera.h"

#include <opencv2/videoio.hpp>

#include <cstdio>
#include <filesystem>
#include <thread>
#include <vector>

namespace {

bool isPattern(const std::string& source) {
    return source.find('%') != std::string::npos;
}

std::string formatPattern(const std::string& pattern, int index) {
    std::vector<char> buffer(pattern.size() + 32);
    std::snprintf(buffer.data(), buffer.size(), pattern.c_str(), index);
    return buffer.data();
}

bool fileExists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::is_regular_file(path, ec);
}

} // namespace

ReplayPresence::ReplayPresence(const std::string& source) : firstFile(firstFileOf(source)) {}

std::string ReplayPresence::firstFileOf(const std::string& source) {
    if (!isPattern(source)) {
        return source;
    }
    // Image sequences may be numbered from 0 or from 1.
    const std::string zero = formatPattern(source, 0);
    return fileExists(zero) ? zero : formatPattern(source, 1);
}

bool ReplayPresence::isCameraAttached() { return fileExists(firstFile); }

ReplayCapture::ReplayCapture(std::string source) : replaySource(std::move(source)) {}

bool ReplayCapture::openIndex(int index) {
    if (index != 0 || !fileExists(ReplayPresence::firstFileOf(replaySource))) {
        capture.release();
        return false;
    }
    return openSource(replaySource);
}

bool ReplayCapture::openSource(const std::string& source) {
    openedSource = source;
    nextFrameTime = std::chrono::steady_clock::now();
    return capture.open(source, cv::CAP_ANY);
}

bool ReplayCapture::isOpened() const {
    return capture.isOpened();
}

bool ReplayCapture::set(int, double) {
    return capture.isOpened();
}

double ReplayCapture::get(int property) const {
    switch (property) {
    case cv::CAP_PROP_FRAME_WIDTH:
    case cv::CAP_PROP_FRAME_HEIGHT:
        return capture.get(property);
    case cv::CAP_PROP_FPS:
        return framesPerSecond;
    default:
        return 0.0;
    }
}

void ReplayCapture::waitForNextFrameTime() {
    using namespace std::chrono;
    const auto period =
        duration_cast<steady_clock::duration>(duration<double>(1.0 / framesPerSecond));
    const auto now = steady_clock::now();
    if (nextFrameTime > now) {
        std::this_thread::sleep_until(nextFrameTime);
        nextFrameTime += period;
    } else {
        // Behind schedule (slow decode or pipeline): no burst of catch-up frames.
        nextFrameTime = now + period;
    }
}

void ReplayCapture::read(cv::Mat& frame) {
    if (!capture.isOpened()) {
        frame.release();
        return;
    }
    waitForNextFrameTime();
    if (capture.read(frame)) {
        return;
    }
    // End of the recording: start again from its first frame.
    if (capture.open(openedSource, cv::CAP_ANY) && capture.read(frame)) {
        return;
    }
    frame.release();
}

void ReplayCapture::release() {
    capture.release();
}

ReplayPlatform::ReplayPlatform(std::string source) : source(source), replayPresence(this->source) {}

std::unique_ptr<CaptureDevice> ReplayPlatform::makeCapture() {
    return std::make_unique<ReplayCapture>(source);
}
