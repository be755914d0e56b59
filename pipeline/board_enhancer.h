#pragma once

#include <opencv2/core.hpp>

#include <vector>

// The numeric core of the board enhancement: the per-cell detail map, the
// brightness/contrast adjustment and the composition of the two output pictures.
class BoardEnhancer {
public:
    // Wide Gaussian blur (window from the cell's entry of gaussianWindows, 7 for
    // cell -1) minus a narrow one (sigma 1.5): positive on dark strokes. CV_32FC3.
    cv::Mat detailMap(const cv::Mat& cell, int cellIndex) const;
    // The same with an explicit odd window size of the wide blur.
    cv::Mat detailMapWithWindow(const cv::Mat& picture, int window) const;

    // Uses the fields brightness and contrast; returns the input itself when both are 0.
    cv::Mat adjustBrightnessContrast(const cv::Mat& picture) const;

    // Element 0: clean board picture; element 1: display picture (the same buffer
    // where both are the same picture).
    std::vector<cv::Mat> compose(const cv::Mat& live, const cv::Mat& detail, int mode, bool ar,
                                 double arVal, double details, double brightness, double contrast,
                                 int boardColor, const cv::Mat& colour);

    int brightness = -81;
    int contrast = 70;
    cv::Scalar greenBackground{0, 80, 0, 0};

private:
    std::vector<cv::Mat> composeWhite(const cv::Mat& live, cv::Mat board, int mode, bool ar,
                                      double arVal) const;
    std::vector<cv::Mat> composeDark(const cv::Mat& live, cv::Mat board, int mode, bool ar,
                                     double arVal, int boardColor, const cv::Mat& colour) const;
};
