#include "lens_calibration.h"

#include "lens_maps.h"

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>

namespace lens_calibration {

namespace {

// The refinement window is a fraction of the corner spacing, so that it never reaches
// the neighbouring corners of a small or distant board.
constexpr double refineWindowFraction = 0.3;
constexpr int refineWindowMin = 3;
constexpr int refineWindowMax = 12;

double smallestSpacing(const std::vector<cv::Point2f>& corners, cv::Size pattern) {
    double spacing = 1e9;
    for (int r = 0; r < pattern.height; ++r) {
        for (int c = 0; c < pattern.width; ++c) {
            const cv::Point2f p = corners[r * pattern.width + c];
            if (c + 1 < pattern.width) {
                spacing = std::min(spacing, cv::norm(corners[r * pattern.width + c + 1] - p));
            }
            if (r + 1 < pattern.height) {
                spacing = std::min(spacing, cv::norm(corners[(r + 1) * pattern.width + c] - p));
            }
        }
    }
    return spacing;
}

std::vector<cv::Point3d> patternPoints(cv::Size pattern, double square) {
    std::vector<cv::Point3d> points;
    for (int r = 0; r < pattern.height; ++r) {
        for (int c = 0; c < pattern.width; ++c) {
            points.emplace_back(c * square, r * square, 0.0);
        }
    }
    return points;
}

struct Solution {
    cv::Mat k, d;
    std::vector<cv::Vec3d> rvecs, tvecs;
};

bool fit(const std::vector<std::vector<cv::Point2d>>& views, const std::vector<cv::Point3d>& object,
         cv::Size photoSize, Solution& s, std::string& why) {
    const std::vector<std::vector<cv::Point3d>> objects(views.size(), object);
    const int flags = cv::fisheye::CALIB_RECOMPUTE_EXTRINSIC | cv::fisheye::CALIB_FIX_SKEW;
    const cv::TermCriteria criteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 200, 1e-12);
    s.k = cv::Mat::eye(3, 3, CV_64F);
    s.d = cv::Mat::zeros(4, 1, CV_64F);
    try {
        cv::fisheye::calibrate(objects, views, photoSize, s.k, s.d, s.rvecs, s.tvecs, flags,
                               criteria);
    } catch (const cv::Exception& e) {
        why = std::string("the fisheye fit failed: ") + e.err;
        return false;
    }
    if (!cv::checkRange(s.k) || !cv::checkRange(s.d) || s.k.at<double>(0, 0) <= 0 ||
        s.k.at<double>(1, 1) <= 0) {
        why = "the fisheye fit did not converge";
        return false;
    }
    return true;
}

double viewError(const std::vector<cv::Point2d>& view, const std::vector<cv::Point3d>& object,
                 const Solution& s, size_t i) {
    std::vector<cv::Point2d> projected;
    cv::fisheye::projectPoints(object, projected, s.rvecs[i], s.tvecs[i], s.k, s.d);
    double sum = 0.0;
    for (size_t j = 0; j < view.size(); ++j) {
        const cv::Point2d e = projected[j] - view[j];
        sum += e.dot(e);
    }
    return std::sqrt(sum / static_cast<double>(view.size()));
}

} // namespace

bool findCorners(const cv::Mat& grey, cv::Size pattern, std::vector<cv::Point2f>& corners) {
    CV_Assert(grey.type() == CV_8UC1);
    corners.clear();
    const double scale = grey.cols > searchWidth ? double(searchWidth) / grey.cols : 1.0;
    cv::Mat reduced = grey;
    if (scale < 1.0) {
        cv::resize(grey, reduced, cv::Size(), scale, scale, cv::INTER_AREA);
    }
    std::vector<cv::Point2f> found;
    // A global threshold finds an evenly lit board in milliseconds; the sector-based
    // search copes with uneven light in about a second. The adaptive threshold is left
    // out: it spends seconds on every photo with a board cut off at the edge.
    if (!cv::findChessboardCorners(reduced, pattern, found, cv::CALIB_CB_NORMALIZE_IMAGE) &&
        !cv::findChessboardCornersSB(reduced, pattern, found)) {
        return false;
    }
    // Reduced pixel centres back to photo pixel centres.
    for (cv::Point2f& p : found) {
        p.x = static_cast<float>((p.x + 0.5) / scale - 0.5);
        p.y = static_cast<float>((p.y + 0.5) / scale - 0.5);
    }
    const int half =
        std::clamp(static_cast<int>(smallestSpacing(found, pattern) * refineWindowFraction),
                   refineWindowMin, refineWindowMax);
    cv::cornerSubPix(grey, found, cv::Size(half, half), cv::Size(-1, -1),
                     cv::TermCriteria(cv::TermCriteria::COUNT + cv::TermCriteria::EPS, 60, 0.001));
    corners = found;
    return true;
}

int Fit::usedCount() const {
    return static_cast<int>(std::count(used.begin(), used.end(), true));
}

std::vector<bool> keepViews(const std::vector<double>& errors) {
    std::vector<double> sorted = errors;
    std::sort(sorted.begin(), sorted.end());
    const size_t n = sorted.size();
    const double median =
        n == 0 ? 0.0 : (n % 2 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2.0);
    std::vector<bool> keep(errors.size());
    for (size_t i = 0; i < errors.size(); ++i) {
        keep[i] = !(errors[i] > dropFactor * median && errors[i] > dropFloor);
    }
    return keep;
}

bool calibrate(const std::vector<std::vector<cv::Point2f>>& views, cv::Size pattern, double square,
               cv::Size photoSize, Fit& result, std::string& why) {
    const std::vector<cv::Point3d> object = patternPoints(pattern, square);
    std::vector<std::vector<cv::Point2d>> all;
    for (const auto& v : views) {
        all.emplace_back(v.begin(), v.end());
    }
    if (static_cast<int>(all.size()) < minViews) {
        why = "only " + std::to_string(all.size()) + " usable view(s), at least " +
              std::to_string(minViews) + " are needed";
        return false;
    }
    Solution first;
    if (!fit(all, object, photoSize, first, why)) {
        return false;
    }
    std::vector<double> errors;
    for (size_t i = 0; i < all.size(); ++i) {
        errors.push_back(viewError(all[i], object, first, i));
    }
    const std::vector<bool> keep = keepViews(errors);
    std::vector<std::vector<cv::Point2d>> kept;
    for (size_t i = 0; i < all.size(); ++i) {
        if (keep[i]) {
            kept.push_back(all[i]);
        }
    }
    if (static_cast<int>(kept.size()) < minViews) {
        why = "only " + std::to_string(kept.size()) + " view(s) fit the lens model, at least " +
              std::to_string(minViews) + " are needed";
        return false;
    }
    Solution final = first;
    if (kept.size() < all.size() && !fit(kept, object, photoSize, final, why)) {
        return false;
    }
    // Errors of every view under the final model; a dropped view needs its own pose.
    result.viewErrors.assign(all.size(), 0.0);
    double sum = 0.0;
    size_t points = 0;
    for (size_t i = 0, j = 0; i < all.size(); ++i) {
        if (keep[i]) {
            result.viewErrors[i] = viewError(all[i], object, final, j++);
            sum += result.viewErrors[i] * result.viewErrors[i] * all[i].size();
            points += all[i].size();
        } else {
            result.viewErrors[i] = errors[i];
            try {
                cv::Vec3d r, t;
                cv::Mat undistorted;
                cv::fisheye::undistortPoints(all[i], undistorted, final.k, final.d);
                cv::solvePnP(object, undistorted, cv::Mat::eye(3, 3, CV_64F), cv::noArray(), r, t);
                const Solution one{final.k, final.d, {r}, {t}};
                result.viewErrors[i] = viewError(all[i], object, one, 0);
            } catch (const cv::Exception&) {
                // Keep the first fit's error: the view is dropped either way.
            }
        }
    }
    result.k = final.k;
    result.d = final.d;
    result.rms = std::sqrt(sum / static_cast<double>(points));
    result.used = keep;
    return true;
}

cv::Mat scaleToSmallFrame(const cv::Mat& k, int photoWidth) {
    const double s = double(lens_maps::smallFrameWidth) / photoWidth;
    cv::Mat out = k.clone();
    out.at<double>(0, 0) *= s;
    out.at<double>(0, 1) *= s;
    out.at<double>(1, 1) *= s;
    out.at<double>(0, 2) = (out.at<double>(0, 2) + 0.5) * s - 0.5;
    out.at<double>(1, 2) = (out.at<double>(1, 2) + 0.5) * s - 0.5;
    return out;
}

bool isSixteenByNine(cv::Size size) {
    return size.width > 0 &&
           static_cast<long long>(size.width) * 9 == static_cast<long long>(size.height) * 16;
}

namespace {

double bentRadius(const cv::Mat& d, double t) {
    const double t2 = t * t;
    return t *
           (1.0 + t2 * (d.at<double>(0) +
                        t2 * (d.at<double>(1) + t2 * (d.at<double>(2) + t2 * d.at<double>(3)))));
}

// The model's radius of a photo pixel: its distance from the principal point in units
// of the focal lengths.
double radiusOf(const cv::Mat& k, cv::Point2d pixel) {
    return std::hypot((pixel.x - k.at<double>(0, 2)) / k.at<double>(0, 0),
                      (pixel.y - k.at<double>(1, 2)) / k.at<double>(1, 1));
}

double angleOfRadius(const cv::Mat& d, double radius) {
    double low = 0.0, high = curveTop(d);
    if (radius >= bentRadius(d, high)) {
        return high;
    }
    for (int i = 0; i < 60; ++i) {
        const double mid = 0.5 * (low + high);
        (bentRadius(d, mid) < radius ? low : high) = mid;
    }
    return 0.5 * (low + high);
}

constexpr double curveStep = 1e-4; // radians between the samples of the curve

double degrees(double radians) {
    return radians * 180.0 / CV_PI;
}

} // namespace

double curveTop(const cv::Mat& d) {
    cv::Mat d64;
    d.reshape(1, 4).convertTo(d64, CV_64F);
    double previous = 0.0;
    for (double t = curveStep; t < CV_PI; t += curveStep) {
        const double r = bentRadius(d64, t);
        if (r <= previous) {
            return t - curveStep;
        }
        previous = r;
    }
    return CV_PI;
}

double angleOf(const cv::Mat& k, const cv::Mat& d, cv::Point2d pixel) {
    cv::Mat d64;
    d.reshape(1, 4).convertTo(d64, CV_64F);
    return angleOfRadius(d64, radiusOf(k, pixel));
}

void markLit(const cv::Mat& grey, cv::Mat& lit) {
    cv::Mat small;
    cv::resize(
        grey, small,
        cv::Size((grey.cols + litScale - 1) / litScale, (grey.rows + litScale - 1) / litScale), 0,
        0, cv::INTER_AREA);
    cv::Mat mask = small > litLevel;
    if (lit.size() != mask.size()) {
        lit = cv::Mat::zeros(mask.size(), CV_8U);
    }
    lit |= mask;
}

Coverage coverage(const Fit& fit, cv::Size photoSize,
                  const std::vector<std::vector<cv::Point2f>>& views, const cv::Mat& lit) {
    cv::Mat d;
    fit.d.reshape(1, 4).convertTo(d, CV_64F);
    const double top = curveTop(d);
    double corners = 0.0;
    for (const cv::Point2d c : {cv::Point2d(0, 0), cv::Point2d(photoSize.width - 1, 0),
                                cv::Point2d(0, photoSize.height - 1),
                                cv::Point2d(photoSize.width - 1, photoSize.height - 1)}) {
        corners = std::max(corners, radiusOf(fit.k, c));
    }
    // The picture reaches as far as it shows the scene: to its corners, or to the rim
    // of an image circle that lies inside them.
    double litRadius = 0.0;
    for (int y = 0; y < lit.rows; ++y) {
        for (int x = 0; x < lit.cols; ++x) {
            if (lit.at<unsigned char>(y, x)) {
                const cv::Point2d centre((x + 0.5) * litScale - 0.5, (y + 0.5) * litScale - 0.5);
                litRadius = std::max(litRadius, radiusOf(fit.k, centre));
            }
        }
    }
    double reached = 0.0;
    for (size_t v = 0; v < views.size(); ++v) {
        for (const cv::Point2f& p : views[v]) {
            if (v < fit.used.size() && fit.used[v]) {
                reached = std::max(reached, radiusOf(fit.k, p));
            }
        }
    }
    Coverage c;
    c.folds = corners > bentRadius(d, top);
    c.reached = degrees(angleOfRadius(d, reached));
    c.picture = degrees(angleOfRadius(d, lit.empty() ? corners : std::min(corners, litRadius)));
    return c;
}

} // namespace lens_calibration
