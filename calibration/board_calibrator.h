#pragma once

#include <opencv2/core.hpp>

#include <vector>

// Makes the lens-corrected calibration picture and turns four clicked corners into
// board_corners.xml and calib_perspective.xml.
class BoardCalibrator {
public:
    // Whole-frame lens correction with the store's full maps; sets imageWidth/Height.
    cv::Mat undistortForCalibration(const cv::Mat& frame);

    // Corners as fractions of the calibration picture, in click order. Refuses (one
    // console line, false) without lens maps, for a picture that is not the canvas,
    // non-finite, coinciding or collinear corners and a non-finite transform. Returns
    // true only when both files were written; on false the previous files are untouched.
    bool calibrate(std::vector<cv::Point2f> corners);

    // [top-left, top-right, bottom-right, bottom-left], or empty when the points do
    // not split two above and two below their mean height.
    static std::vector<cv::Point2f> sortCorners(std::vector<cv::Point2f> points);

    int imageWidth = 0;
    int imageHeight = 0;
};
