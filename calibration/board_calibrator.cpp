#include "board_calibrator.h"

#include "calibration_files.h"
#include "calibration_store.h"
#include "file_set.h"

#include <opencv2/imgproc.hpp>

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>

namespace {

std::string currentPath() {
    std::error_code ec;
    const auto p = std::filesystem::current_path(ec);
    return ec ? std::string() : p.u8string();
}

// Corners this close together (canvas pixels) are one corner clicked twice.
constexpr double minimumCornerDistance = 10.0;
// A corner this close to the line through two others, as a share of the canvas
// diagonal, leaves no board quadrilateral to straighten.
constexpr double minimumLineDistance = 0.01;
constexpr int boardPictureWidth = 1920;
constexpr double proportionThreshold = 0.8;

bool refuse(const std::string& why) {
    std::cout << "calibration refused: " << why << "; the previous calibration stays in force"
              << std::endl;
    return false;
}

double distanceToLine(const cv::Point2d& p, const cv::Point2d& a, const cv::Point2d& b) {
    const cv::Point2d d = b - a;
    return std::abs(d.cross(p - a)) / std::hypot(d.x, d.y);
}

// Why the corners (canvas pixels, click order) cannot be a board, or empty.
std::string degenerateCorners(const std::vector<cv::Point2f>& c, double diagonal) {
    const int n = static_cast<int>(c.size());
    for (int i = 0; i < n; ++i) {
        for (int j = i + 1; j < n; ++j) {
            if (cv::norm(cv::Point2d(c[i]) - cv::Point2d(c[j])) <= minimumCornerDistance) {
                return "corners " + std::to_string(i + 1) + " and " + std::to_string(j + 1) +
                       " lie within 10 canvas pixels of each other";
            }
        }
    }
    for (int i = 0; i < n; ++i) {
        for (int j = 0; j < n; ++j) {
            for (int k = j + 1; k < n; ++k) {
                if (i != j && i != k &&
                    distanceToLine(c[i], c[j], c[k]) <= minimumLineDistance * diagonal) {
                    return "corner " + std::to_string(i + 1) +
                           " lies on the line through corners " + std::to_string(j + 1) + " and " +
                           std::to_string(k + 1);
                }
            }
        }
    }
    return {};
}

// Sorted corners that are not a convex quadrilateral running clockwise on screen fold
// the board picture over itself.
bool isConvexClockwise(const std::vector<cv::Point2f>& c) {
    for (size_t i = 0; i < c.size(); ++i) {
        const cv::Point2d a(c[i]), b(c[(i + 1) % c.size()]), n(c[(i + 2) % c.size()]);
        if ((b - a).cross(n - b) <= 0.0) {
            return false;
        }
    }
    return true;
}

const char* const cornerKeys[] = {"TopLeft", "TopRight", "BottomRight", "BottomLeft"};

bool writeCorners(const std::string& path, const std::vector<cv::Point2f>& corners) {
    cv::FileStorage fs(path, cv::FileStorage::WRITE);
    for (int i = 0; fs.isOpened() && i < 4; ++i) {
        fs << cornerKeys[i] << "[:" << corners[i].x << corners[i].y << "]";
    }
    return fs.isOpened();
}

bool cornersWereWritten(const std::string& path, const std::vector<cv::Point2f>& corners) {
    cv::FileStorage fs(path, cv::FileStorage::READ);
    for (int i = 0; fs.isOpened() && i < 4; ++i) {
        std::vector<float> xy;
        fs[cornerKeys[i]] >> xy;
        if (xy != std::vector<float>{corners[i].x, corners[i].y}) {
            return false;
        }
    }
    return fs.isOpened();
}

bool writePerspective(const std::string& path, const cv::Mat& h, int width, int height) {
    cv::FileStorage fs(path, cv::FileStorage::WRITE);
    if (fs.isOpened()) {
        fs << "Homography" << h << "Homography_Width" << width << "Homography_Height" << height;
    }
    return fs.isOpened();
}

bool perspectiveWasWritten(const std::string& path, const cv::Mat& h, int width, int height) {
    cv::FileStorage fs(path, cv::FileStorage::READ);
    cv::Mat back;
    int w = 0, hh = 0;
    fs["Homography"] >> back;
    fs["Homography_Width"] >> w;
    fs["Homography_Height"] >> hh;
    return back.size() == h.size() && back.type() == h.type() &&
           cv::norm(back, h, cv::NORM_INF) == 0.0 && w == width && hh == height;
}

// Exceptions of the file library (a folder where a file should be) count as failures.
template <typename F> bool guarded(F&& f) {
    try {
        return f();
    } catch (const cv::Exception&) {
        return false;
    }
}

} // namespace

cv::Mat BoardCalibrator::undistortForCalibration(const cv::Mat& frame) {
    const CalibrationStore& store = CalibrationStore::instance();
    cv::Mat result;
    const bool cameraFrame = frame.cols == store.frameWidth && frame.rows == store.frameHeight &&
                             frame.type() == CV_8UC3;
    if (store.hasLensMaps() && !cameraFrame) {
        // The maps fit the camera's frame only; corners clicked on this picture are
        // refused, as it is not the canvas.
        std::cout << "the calibration frame is " << frame.cols << " x " << frame.rows
                  << ", not the camera's " << store.frameWidth << " x " << store.frameHeight
                  << " colour frame: shown uncorrected" << std::endl;
        if (frame.type() == CV_8UC1 || frame.type() == CV_8UC4) {
            cv::cvtColor(frame, result,
                         frame.channels() == 1 ? cv::COLOR_GRAY2BGR : cv::COLOR_BGRA2BGR);
        } else {
            result = frame.clone();
        }
    } else if (store.hasLensMaps()) {
        std::cout << "calibrating from initialize!!!" << std::endl;
        cv::remap(frame, result, store.map1, store.map2, cv::INTER_LINEAR, cv::BORDER_CONSTANT,
                  cv::Scalar::all(0));
    } else {
        // No usable lens maps: the pipeline passes frames through uncorrected, so the
        // corners must be clicked on the camera frame itself.
        std::cout << "no lens maps: the calibration picture is the uncorrected camera frame"
                  << std::endl;
        result = frame.clone();
    }
    imageWidth = result.cols;
    imageHeight = result.rows;
    return result;
}

bool BoardCalibrator::calibrate(std::vector<cv::Point2f> corners, std::string* unsaved) {
    // Everything is checked before anything is printed or written: a refusal leaves
    // the previous calibration and its files as they were.
    if (imageWidth <= 0 || imageHeight <= 0) {
        return refuse("no calibration picture has been made yet");
    }
    const CalibrationStore& store = CalibrationStore::instance();
    if (!store.hasLensMaps()) {
        return refuse("there are no lens maps, so the picture clicked is not the lens-corrected "
                      "canvas the corners belong to");
    }
    if (imageWidth != store.canvasWidth || imageHeight != store.canvasHeight) {
        return refuse("the calibration picture is " + std::to_string(imageWidth) + " x " +
                      std::to_string(imageHeight) + ", not the canvas size " +
                      std::to_string(store.canvasWidth) + " x " +
                      std::to_string(store.canvasHeight));
    }
    std::vector<cv::Point2f> clicked = corners;
    for (size_t i = 0; i < clicked.size(); ++i) {
        const double x = static_cast<double>(imageWidth) * clicked[i].x;
        const double y = static_cast<double>(imageHeight) * clicked[i].y;
        // Checked before narrowing: a value beyond the float range has no float.
        if (!std::isfinite(x) || !std::isfinite(y) || std::abs(x) > FLT_MAX ||
            std::abs(y) > FLT_MAX) {
            return refuse("corner " + std::to_string(i + 1) + " is not a finite number");
        }
        clicked[i] = cv::Point2f(static_cast<float>(x), static_cast<float>(y));
    }
    const std::string degenerate =
        degenerateCorners(clicked, std::hypot(double(imageWidth), double(imageHeight)));
    if (!degenerate.empty()) {
        return refuse(degenerate);
    }
    corners = sortCorners(clicked);
    if (corners.size() != 4) {
        return refuse("the " + std::to_string(clicked.size()) +
                      " corners do not split two above and two below their mean height");
    }
    if (!isConvexClockwise(corners)) {
        return refuse("the corners do not make a convex quadrilateral");
    }
    const double top = std::hypot(static_cast<double>(corners[1].x) - corners[0].x,
                                  static_cast<double>(corners[1].y) - corners[0].y);
    const double left = std::hypot(static_cast<double>(corners[3].x) - corners[0].x,
                                   static_cast<double>(corners[3].y) - corners[0].y);
    const double r = (top / imageWidth) / (left / imageHeight);
    const int width = boardPictureWidth;
    const int height = r > proportionThreshold ? 1280 : r < proportionThreshold ? 1440 : 1080;
    const std::vector<cv::Point2f> destination{
        {0.0f, 0.0f},
        {static_cast<float>(width), 0.0f},
        {static_cast<float>(width), static_cast<float>(height)},
        {0.0f, static_cast<float>(height)},
    };
    const cv::Mat h = cv::getPerspectiveTransform(corners, destination, cv::DECOMP_LU);
    if (!cv::checkRange(h) || cv::determinant(h) == 0.0) {
        return refuse("the perspective transform of these corners is not finite");
    }
    std::cout << imageWidth << " " << imageHeight << std::endl;
    for (const cv::Point2f& p : clicked) {
        std::cout << p << std::endl;
    }
    std::cout << "=====================" << std::endl;
    for (const cv::Point2f& p : corners) {
        std::cout << p << std::endl;
    }
    std::cout << "saving current path: " << currentPath() << std::endl;
    std::cout << "w/h: " << r << std::endl;
    std::cout << "w: " << width << " h: " << height << std::endl;

    // Both files or neither, so that the corners always belong to the homography.
    const std::vector<file_set::File> files{
        {calib_files::boardSet[0],
         [&](const std::string& p) { return guarded([&] { return writeCorners(p, corners); }); },
         [&](const std::string& p) {
             return guarded([&] { return cornersWereWritten(p, corners); });
         }},
        {calib_files::boardSet[1],
         [&](const std::string& p) {
             return guarded([&] { return writePerspective(p, h, width, height); });
         },
         [&](const std::string& p) {
             return guarded([&] { return perspectiveWasWritten(p, h, width, height); });
         }},
    };
    std::string why, failed;
    if (!file_set::replace(calib_files::dir, files, {}, why, failed)) {
        std::cout << why << "; the previous calibration stays in force" << std::endl;
        if (unsaved) {
            *unsaved = failed;
        }
        return false;
    }
    return true;
}

std::vector<cv::Point2f> BoardCalibrator::sortCorners(std::vector<cv::Point2f> points) {
    if (points.empty()) {
        return {};
    }
    float sum = 0.0f;
    for (const cv::Point2f& p : points) {
        sum += p.y;
    }
    const float mean = static_cast<float>(sum * (1.0 / static_cast<double>(points.size())));
    std::vector<cv::Point2f> top, bottom;
    for (const cv::Point2f& p : points) {
        (p.y < mean ? top : bottom).push_back(p);
    }
    if (top.size() != 2 || bottom.size() != 2) {
        return {};
    }
    // Ties: the first top point becomes top-left, the first bottom point bottom-left.
    const bool topSwap = top[1].x < top[0].x;
    const cv::Point2f topLeft = topSwap ? top[1] : top[0];
    const cv::Point2f topRight = topSwap ? top[0] : top[1];
    const bool bottomSwap = bottom[0].x > bottom[1].x;
    const cv::Point2f bottomRight = bottomSwap ? bottom[0] : bottom[1];
    const cv::Point2f bottomLeft = bottomSwap ? bottom[1] : bottom[0];
    return {topLeft, topRight, bottomRight, bottomLeft};
}
