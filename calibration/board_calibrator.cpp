#include "board_calibrator.h"

#include "calibration_files.h"
#include "calibration_store.h"

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

// What was at a path before the calibration, to be put back if saving fails half-way.
struct OldFile {
    bool present = false; // anything at the path, also a dangling link or a folder
    bool readable = false;
    std::string bytes;
};

OldFile readOldFile(const std::string& path) {
    OldFile old;
    std::error_code ec;
    const auto status = std::filesystem::symlink_status(path, ec);
    // Only "no such file" is missing; a path that cannot even be examined is not.
    old.present = status.type() != std::filesystem::file_type::not_found;
    if (!old.present || !std::filesystem::is_regular_file(path, ec)) {
        return old;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return old;
    }
    old.bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    old.readable = !in.bad();
    return old;
}

// Puts a file back as it was (or removes it if there was none), again through a
// temporary file and a rename. False when the file could not be put back.
bool restore(const std::string& path, const OldFile& old) {
    std::error_code ec;
    if (!old.present) {
        std::filesystem::remove(path, ec);
        return !ec;
    }
    const std::string tmp = path + ".restore.tmp";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out << old.bytes;
        if (!out) {
            std::filesystem::remove(tmp, ec);
            return false;
        }
    }
    std::filesystem::rename(tmp, path, ec);
    if (ec) {
        std::filesystem::remove(tmp, ec);
        return false;
    }
    return true;
}

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

void writeCorner(cv::FileStorage& fs, const char* key, const cv::Point2f& p) {
    fs << key << "[:" << p.x << p.y << "]";
}

} // namespace

cv::Mat BoardCalibrator::undistortForCalibration(const cv::Mat& frame) {
    const CalibrationStore& store = CalibrationStore::instance();
    cv::Mat result;
    if (store.hasLensMaps()) {
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

bool BoardCalibrator::calibrate(std::vector<cv::Point2f> corners) {
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
    // If saving fails half-way the old corners are put back, so they must be readable.
    const OldFile oldCorners = readOldFile(calib_files::boardCornersXml);
    if (oldCorners.present && !oldCorners.readable) {
        return refuse(calib_files::boardCornersXml +
                      " exists but cannot be read, so it could not be put back if saving failed");
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

    // Both files or neither: both are written in full before either replaces its old
    // version, and the old corners go back if the second replacement fails.
    const auto writeCorners = [&corners](cv::FileStorage& fs) {
        writeCorner(fs, "TopLeft", corners[0]);
        writeCorner(fs, "TopRight", corners[1]);
        writeCorner(fs, "BottomRight", corners[2]);
        writeCorner(fs, "BottomLeft", corners[3]);
    };
    const auto writePerspective = [&h, width, height](cv::FileStorage& fs) {
        fs << "Homography" << h;
        fs << "Homography_Width" << width;
        fs << "Homography_Height" << height;
    };
    if (!calib_files::writeTemporary(calib_files::boardCornersXml, writeCorners)) {
        std::cout << "cannot write " << calib_files::boardCornersXml << std::endl;
        return false;
    }
    if (!calib_files::writeTemporary(calib_files::perspectiveXml, writePerspective)) {
        calib_files::discardTemporary(calib_files::boardCornersXml);
        std::cout << "cannot write " << calib_files::perspectiveXml << std::endl;
        return false;
    }
    if (!calib_files::commitTemporary(calib_files::boardCornersXml)) {
        calib_files::discardTemporary(calib_files::perspectiveXml);
        std::cout << "cannot write " << calib_files::boardCornersXml << std::endl;
        return false;
    }
    if (!calib_files::commitTemporary(calib_files::perspectiveXml)) {
        std::cout << "cannot write " << calib_files::perspectiveXml << std::endl;
        if (!restore(calib_files::boardCornersXml, oldCorners)) {
            std::cout << "cannot put back the previous " << calib_files::boardCornersXml
                      << ": it no longer matches " << calib_files::perspectiveXml
                      << "; calibrate again" << std::endl;
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
