#include "motion_detector.h"

#include "calibration_store.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <climits>

namespace {

constexpr int medianAperture = 5;
constexpr double movingLevel = 20;
constexpr double ignoredArea = 10;
constexpr double fullContourArea = 20;
constexpr double marginLow = 0.02;
constexpr double marginHigh = 0.98;
constexpr size_t hullPointCount = 31;
constexpr int dilationSize = 5;

// The 5 x 5 median reads two rows on each side; halves with that much overlap give
// the rows of the whole picture exactly, on both cores.
constexpr int medianReach = medianAperture / 2;

void medianBlurInHalves(const cv::Mat& picture, cv::Mat& blurred, cv::Mat (&halves)[2]) {
    blurred.create(picture.size(), picture.type());
    const int split = picture.rows / 2;
    if (split <= medianReach) {
        cv::medianBlur(picture, blurred, medianAperture);
        return;
    }
    cv::parallel_for_(cv::Range(0, 2), [&](const cv::Range& range) {
        for (int half = range.start; half < range.end; ++half) {
            const int first = half == 0 ? 0 : split;
            const int last = half == 0 ? split : picture.rows;
            const int from = std::max(0, first - medianReach);
            const int to = std::min(picture.rows, last + medianReach);
            cv::medianBlur(picture.rowRange(from, to), halves[half], medianAperture);
            halves[half].rowRange(first - from, last - from).copyTo(blurred.rowRange(first, last));
        }
    });
}

bool insideMargin(const cv::Point& p, double width, double height) {
    return p.x > marginLow * width && p.y > marginLow * height && p.x < marginHigh * width &&
           p.y < marginHigh * height;
}

} // namespace

MotionDetector::MotionDetector() {
    const int cells = CalibrationStore::instance().totalGrids;
    marks.assign(cells, 0);
    previousMarks.assign(cells, 0);
    settleCounts.assign(cells, 0);
    dilationKernel =
        cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(dilationSize, dilationSize));
}

void MotionDetector::update(const cv::Mat& smallCorrected) {
    medianBlurInHalves(smallCorrected, blurred, medianHalves);
    // A new reference (first detection, after a rebuild, or a resized small frame)
    // compares the frame with itself: nothing moves.
    if (previousSmall.cols == 0 || previousSmall.size() != blurred.size() ||
        previousSmall.type() != blurred.type()) {
        blurred.copyTo(previousSmall);
    }
    cv::absdiff(blurred, previousSmall, difference);
    blurred.copyTo(previousSmall);
    cv::cvtColor(difference, greyDifference, cv::COLOR_BGR2GRAY);
    cv::threshold(greyDifference, mask, movingLevel, 255, cv::THRESH_BINARY);
    const std::vector<cv::Point> points = collectMotionPoints(mask);
    if (points.size() >= hullPointCount) {
        fillHull(points, mask);
    }
    cv::dilate(mask, mask, dilationKernel, cv::Point(-1, -1), 1, cv::BORDER_CONSTANT,
               cv::morphologyDefaultBorderValue());
    if (cv::countNonZero(mask) == 0) {
        return;
    }
    markCells(mask);
}

void MotionDetector::setReference(const cv::Mat& smallCorrected) {
    medianBlurInHalves(smallCorrected, blurred, medianHalves);
    blurred.copyTo(previousSmall);
}

std::vector<cv::Point> MotionDetector::collectMotionPoints(const cv::Mat& motionMask) const {
    std::vector<std::vector<cv::Point>> contours;
    cv::findContours(motionMask, contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE);
    const CalibrationStore& store = CalibrationStore::instance();
    const double width = store.homographyWidth;
    const double height = store.homographyHeight;
    std::vector<cv::Point> points;
    for (const std::vector<cv::Point>& contour : contours) {
        const double area = cv::contourArea(contour);
        if (area <= ignoredArea) {
            continue;
        }
        for (const cv::Point& p : contour) {
            if (area > fullContourArea || insideMargin(p, width, height)) {
                points.push_back(p);
            }
        }
    }
    return points;
}

void MotionDetector::fillHull(const std::vector<cv::Point>& points, cv::Mat& motionMask) const {
    std::vector<std::vector<cv::Point>> hull(1);
    cv::convexHull(points, hull[0], false, true);
    cv::drawContours(motionMask, hull, 0, cv::Scalar(255), cv::FILLED, cv::LINE_8, cv::noArray(),
                     INT_MAX, cv::Point(0, 0));
}

void MotionDetector::markCells(const cv::Mat& motionMask) {
    const CalibrationStore& store = CalibrationStore::instance();
    const cv::Rect bounds(0, 0, motionMask.cols, motionMask.rows);
    for (int k : store.boardGrids) {
        if (k < 0 || k >= static_cast<int>(marks.size()) ||
            k >= static_cast<int>(store.roisMapSmall.size())) {
            continue;
        }
        const cv::Rect cell = store.roisMapSmall[k] & bounds;
        if (!cell.empty() && cv::countNonZero(motionMask(cell)) > 0) {
            marks[k] = 1;
        }
    }
}
