#include "replay_camera.h"

#include <opencv2/videoio.hpp>

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <thread>

namespace {

// Widest zero padding accepted in "%0Nd": one or two digits.
constexpr std::size_t maxWidthDigits = 2;

// The parts of a numbered pattern around its one integer conversion.
struct Pattern {
    std::string prefix;
    std::size_t width = 0; // zero-padded to this many digits; 0: no padding
    std::string suffix;
};

// A recording name is a numbered pattern when it holds exactly one '%', and that is
// "%d" or "%0Nd"; any other conversion would be undefined behaviour in a formatter.
bool parsePattern(const std::string& source, Pattern& pattern) {
    const std::size_t percent = source.find('%');
    if (percent == std::string::npos || source.find('%', percent + 1) != std::string::npos) {
        return false;
    }
    std::size_t end = percent + 1;
    std::size_t width = 0;
    if (end < source.size() && source[end] == '0') {
        const std::size_t digits = source.find_first_not_of("0123456789", end + 1);
        const std::size_t count = std::min(digits, source.size()) - (end + 1);
        if (count == 0 || count > maxWidthDigits) {
            return false;
        }
        width = std::stoul(source.substr(end + 1, count));
        end += 1 + count;
    }
    if (end >= source.size() || source[end] != 'd') {
        return false;
    }
    pattern = {source.substr(0, percent), width, source.substr(end + 1)};
    return true;
}

bool isPattern(const std::string& source) {
    Pattern pattern;
    return parsePattern(source, pattern);
}

// Index is 0 or 1 here, so the number needs no sign.
std::string formatPattern(const std::string& source, int index) {
    Pattern pattern;
    parsePattern(source, pattern);
    std::string number = std::to_string(index);
    if (number.size() < pattern.width) {
        number.insert(0, pattern.width - number.size(), '0');
    }
    return pattern.prefix + number + pattern.suffix;
}

bool fileExists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::is_regular_file(path, ec);
}

} // namespace

ReplayPresence::ReplayPresence(const std::string& source) : firstFile(firstFileOf(source)) {
    if (source.find('%') != std::string::npos && !isPattern(source)) {
        std::cout << "replay: " << source
                  << " is not a numbered pattern (one %d or %0Nd); replaying it as a plain path"
                  << std::endl;
    }
}

std::string ReplayPresence::firstFileOf(const std::string& source) {
    if (!isPattern(source)) {
        return source;
    }
    // Image sequences may be numbered from 0 or from 1.
    const std::string zero = formatPattern(source, 0);
    return fileExists(zero) ? zero : formatPattern(source, 1);
}

bool ReplayPresence::isCameraAttached() {
    return fileExists(firstFile);
}

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
    encodedFrames = false;
    nextFrameTime = std::chrono::steady_clock::now();
    const bool opened = capture.open(source, cv::CAP_ANY);
    // An image sequence has no rate of its own (FFmpeg says 25).
    const double recorded = opened && !isPattern(source) ? capture.get(cv::CAP_PROP_FPS) : 0.0;
    framesPerSecond = recorded >= 1.0 && recorded <= 240.0 ? recorded : defaultFramesPerSecond;
    return opened;
}

bool ReplayCapture::reopen() {
    if (!capture.open(openedSource, cv::CAP_ANY)) {
        return false;
    }
    if (encodedFrames) {
        capture.set(cv::CAP_PROP_FORMAT, -1);
    }
    return true;
}

// Only an MJPEG recording gives camera-like frames; an image sequence keeps decoding.
void ReplayCapture::preferEncodedFrames() {
    const int mjpg = cv::VideoWriter::fourcc('M', 'J', 'P', 'G');
    encodedFrames = capture.isOpened() &&
                    static_cast<int>(capture.get(cv::CAP_PROP_FOURCC)) == mjpg &&
                    capture.set(cv::CAP_PROP_FORMAT, -1);
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
    if (reopen() && capture.read(frame)) {
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
