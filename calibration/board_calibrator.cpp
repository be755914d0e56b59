#include "board_calibrator.h"

// Placeholder until the board-corner calibration lands.
cv::Mat BoardCalibrator::undistortForCalibration(const cv::Mat& frame) {
    imageWidth = frame.cols;
    imageHeight = frame.rows;
    return frame.clone();
}

bool BoardCalibrator::calibrate(std::vector<cv::Point2f>) {
    return false;
}

std::vector<cv::Point2f> BoardCalibrator::sortCorners(std::vector<cv::Point2f>) {
    return {};
}
