#pragma once

// Fisheye lens calibration from photos of a printed chessboard: corner search,
// OpenCV's fisheye model fitted over the views, and the model scaled to the reduced
// frame that the lens files describe. OpenCV only.

#include <opencv2/core.hpp>

#include <string>
#include <vector>

namespace lens_calibration {

// The corner search runs on a copy reduced to at most this width; the corners are then
// refined on the photo itself.
constexpr int searchWidth = 1280;
// A view whose error is above dropFactor x the median and above dropFloor pixels is
// dropped before the final fit.
constexpr double dropFactor = 3.0;
constexpr double dropFloor = 1.0;
constexpr int minViews = 3;

// Finds the inner corners of a chessboard of `pattern` (columns x rows of inner
// corners) in an 8-bit grey photo, row by row, to sub-pixel precision in photo pixels.
bool findCorners(const cv::Mat& grey, cv::Size pattern, std::vector<cv::Point2f>& corners);

struct Fit {
    cv::Mat k;                      // 3 x 3 CV_64F, photo pixels, no skew
    cv::Mat d;                      // 4 x 1 CV_64F
    double rms = 0.0;               // over the views used
    std::vector<double> viewErrors; // RMS per view under the final model, dropped views too
    std::vector<bool> used;         // false for a dropped view
    int usedCount() const;
};

// Which views to keep, given their errors: all but those above dropFactor x the median
// and above dropFloor.
std::vector<bool> keepViews(const std::vector<double>& errors);

// Fits the fisheye model (skew fixed) to the views, drops the views that keepViews
// rejects and fits again. False with a reason when fewer than minViews views are left or
// the solver fails.
bool calibrate(const std::vector<std::vector<cv::Point2f>>& views, cv::Size pattern, double square,
               cv::Size photoSize, Fit& fit, std::string& why);

// K for photos `photoWidth` wide, rescaled to the 640-wide reduced frame with pixel
// centres aligned: f' = f s, c' = (c + 0.5) s - 0.5, s = 640 / photoWidth.
cv::Mat scaleToSmallFrame(const cv::Mat& k, int photoWidth);

// The camera's frames are 16:9; photos of another shape come from another mode.
bool isSixteenByNine(cv::Size size);

// How far out the photos constrain the lens. The fisheye model bends a ray at angle t
// from the optical axis to the radius t (1 + k1 t^2 + k2 t^4 + k3 t^6 + k4 t^8); past
// the angle where that curve stops rising it would fold the picture over itself.
constexpr double minimumCoverage = 0.85; // share of the picture's reach the photos need
constexpr int litScale = 8;              // the lit mask is kept at 1 / litScale
constexpr int litLevel = 24;             // grey level above which a pixel shows the scene

// The angle (radians) where the model's curve stops rising, or pi.
double curveTop(const cv::Mat& d);
// The angle of a photo pixel under the model (K in photo pixels), on the rising part of
// the curve; curveTop when the pixel lies beyond it.
double angleOf(const cv::Mat& k, const cv::Mat& d, cv::Point2d pixel);
// Marks in `lit` (1 / litScale of the photo, CV_8U) the parts of a grey photo that show
// the scene: outside a lens's image circle the picture stays black in every photo.
void markLit(const cv::Mat& grey, cv::Mat& lit);

struct Coverage {
    double reached = 0.0; // degrees: the farthest chessboard corner found
    double picture = 0.0; // degrees: the picture's corners, or the farthest lit part
    bool folds = false;   // the curve stops rising before the picture's corners
};
Coverage coverage(const Fit& fit, cv::Size photoSize,
                  const std::vector<std::vector<cv::Point2f>>& views, const cv::Mat& lit);

} // namespace lens_calibration
