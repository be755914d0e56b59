#include "enhance_steps.h"

#include <opencv2/imgproc.hpp>

namespace enhance {

namespace {
const cv::Scalar white(255, 255, 255, 0);
constexpr double blendGamma = 1.1;
} // namespace

void invert(const cv::Mat& picture, cv::Mat& result) {
    cv::subtract(white, picture, result);
}

cv::Mat gray(const cv::Mat& picture) {
    cv::Mat grey;
    cv::cvtColor(picture, grey, cv::COLOR_BGR2GRAY);
    return grey;
}

void whiten(cv::Mat& picture) {
    whitenInto(picture, picture);
}

void whitenInto(const cv::Mat& picture, cv::Mat& result) {
    const cv::Scalar m = cv::mean(picture);
    cv::add(picture, cv::Scalar(255 - m[0], 255 - m[1], 255 - m[2], 0), result);
}

void blend(const cv::Mat& board, const cv::Mat& live, double arVal, cv::Mat& result) {
    cv::addWeighted(board, arVal, live, 1.0 - arVal, blendGamma, result);
}

} // namespace enhance
