#pragma once

#include <opencv2/core.hpp>

#include <vector>

// Marks the board cells in which the small lens-corrected frame changed since the
// previous detection. Also carries the per-cell bookkeeping of the perspective stage.
class MotionDetector {
public:
    MotionDetector();

    // Sets marks[k] = 1 for every board cell k whose small-frame rectangle holds a
    // moving pixel; never clears a mark.
    void update(const cv::Mat& smallCorrected);
    // Makes `smallCorrected` the picture the next update compares with, marking nothing.
    void setReference(const cv::Mat& smallCorrected);

    std::vector<int> marks;
    std::vector<int> previousMarks;
    std::vector<int> settleCounts;
    cv::Mat previousSmall;

private:
    std::vector<cv::Point> collectMotionPoints(const cv::Mat& mask) const;
    void fillHull(const std::vector<cv::Point>& points, cv::Mat& mask) const;
    void markCells(const cv::Mat& mask);

    cv::Mat blurred;
    cv::Mat medianHalves[2];
    cv::Mat difference;
    cv::Mat greyDifference;
    cv::Mat mask;
    cv::Mat dilationKernel;
};
