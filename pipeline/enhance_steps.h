#pragma once

#include <opencv2/core.hpp>

// Small whole-picture steps shared by the composition of the output pictures.
namespace enhance {

// 255 - v in every colour channel.
void invert(const cv::Mat& picture, cv::Mat& result);

// Grey level of a BGR picture.
cv::Mat gray(const cv::Mat& picture);

// For each channel v - mean + 255: the picture's average colour becomes white.
void whiten(cv::Mat& picture);
// whiten of a copy of the picture, written into result.
void whitenInto(const cv::Mat& picture, cv::Mat& result);

// arVal * board + (1 - arVal) * live + 1.1, rounded and saturated.
void blend(const cv::Mat& board, const cv::Mat& live, double arVal, cv::Mat& result);

} // namespace enhance
