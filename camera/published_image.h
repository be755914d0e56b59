#pragma once

#include <QImage>

#include <opencv2/core.hpp>

// Wraps a picture's pixels in a QImage without copying them. The QImage keeps the
// pixel buffer alive, so a provider may hold it as long as it likes.
QImage imageOverPixels(const cv::Mat& picture);
