#pragma once

#include <opencv2/core.hpp>

#include <functional>
#include <vector>

// The frame as the stages read it: the caller's pixels, whole or at half size, and
// the whole frame prepared (inverted for dark boards) only when a stage asks for it.
class FrameInput {
public:
    // Returns the whole of a frame decoded at half size, alive until the frame is
    // finished, or null when it cannot be had.
    using WholeFrameSource = std::function<const cv::Mat*()>;

    void begin(const cv::Mat* whole, const cv::Mat* half, WholeFrameSource source);
    // A white board's frame only borrows the caller's pixels until here.
    void end(bool invert);

    bool hasWhole() const { return whole != nullptr; }
    const cv::Mat* halfSize() const { return half; }
    void setHalfSize(const cv::Mat* halfIn) { half = halfIn; }
    // Asks for the whole frame once; null when it cannot be had or is not `size`.
    // It becomes the frame the later stages read.
    const cv::Mat* fetchWhole(cv::Size size);

    // The whole frame, inverted when `invert`.
    const cv::Mat& prepared(bool invert);
    // Enough of it for a bilinear reduction to `reduced`.
    const cv::Mat& forReduction(cv::Size reduced, bool invert);

private:
    const cv::Mat* whole = nullptr;
    const cv::Mat* half = nullptr;
    WholeFrameSource wholeSource;
    cv::Mat frame;
    bool ready = false;
    std::vector<int> reductionRows;
};
