#pragma once

#include <opencv2/core.hpp>

#include <string>
#include <vector>

// Makes the lens-corrected calibration picture and turns four clicked corners into
// board_corners.xml and calib_perspective.xml.
class BoardCalibrator {
public:
    // Whole-frame lens correction with the store's full maps; sets imageWidth/Height.
    // A frame that is not the camera's colour frame is returned uncorrected.
    cv::Mat undistortForCalibration(const cv::Mat& frame);

    // Corners as fractions of the calibration picture, in click order. Refuses (one
    // console line, false) without lens maps, for a picture that is not the canvas,
    // non-finite, coinciding or collinear corners, sorted corners that are not convex
    // and clockwise, and a non-finite transform. Returns true only when both files were
    // replaced; on false the previous files are in place, and when the refusal was a
    // failure to save, `unsaved` names the file at fault.
    bool calibrate(std::vector<cv::Point2f> corners, std::string* unsaved = nullptr);

    // [top-left, top-right, bottom-right, bottom-left], or empty when the points do
    // not split two above and two below their mean height.
    static std::vector<cv::Point2f> sortCorners(std::vector<cv::Point2f> points);

    int imageWidth = 0;
    int imageHeight = 0;
};
