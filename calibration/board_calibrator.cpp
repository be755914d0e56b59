#include "board_calibrator.h"

#include "calibration_files.h"
#include "calibration_store.h"

#include <opencv2/imgproc.hpp>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <sstream>

namespace {

std::string currentPath() {
    std::error_code ec;
    const auto p = std::filesystem::current_path(ec);
    return ec ? std::string() : p.u8string();
}

std::optional<std::string> readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Puts a file back as it was before a failed calibration (or removes it if it did
// not exist), again through a temporary file and a rename.
void restore(const std::string& path, const std::optional<std::string>& bytes) {
    if (!bytes) {
        std::remove(path.c_str());
        return;
    }
    const std::string tmp = path + ".restore.tmp";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out << *bytes;
        if (!out) {
            std::remove(tmp.c_str());
            return;
        }
    }
    std::error_code ec;
    std::filesystem::rename(tmp, path, ec);
    if (ec) {
        std::remove(tmp.c_str());
    }
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
    if (imageWidth <= 0 || imageHeight <= 0) {
        std::cout << "calibration refused: no calibration picture has been made yet; the "
                     "previous calibration stays in force"
                  << std::endl;
        return false;
    }
    std::cout << imageWidth << " " << imageHeight << std::endl;
    for (cv::Point2f& p : corners) {
        p.x = static_cast<float>(static_cast<double>(imageWidth) * p.x);
        p.y = static_cast<float>(static_cast<double>(imageHeight) * p.y);
    }
    const std::vector<cv::Point2f> sorted = sortCorners(corners);
    if (sorted.size() != 4) {
        std::cout << "calibration refused: the " << corners.size()
                  << " corners do not split two above and two below their mean height; the "
                     "previous calibration stays in force"
                  << std::endl;
        return false;
    }
    for (const cv::Point2f& p : corners) {
        std::cout << p << std::endl;
    }
    corners = sorted;
    std::cout << "=====================" << std::endl;
    for (const cv::Point2f& p : corners) {
        std::cout << p << std::endl;
    }
    std::cout << "saving current path: " << currentPath() << std::endl;

    const double top = std::hypot(static_cast<double>(corners[1].x) - corners[0].x,
                                  static_cast<double>(corners[1].y) - corners[0].y);
    const double left = std::hypot(static_cast<double>(corners[3].x) - corners[0].x,
                                   static_cast<double>(corners[3].y) - corners[0].y);
    const double r = (top / imageWidth) / (left / imageHeight);
    std::cout << "w/h: " << r << std::endl;
    const int width = 1920;
    const int height = r > 0.8 ? 1280 : r < 0.8 ? 1440 : 1080;
    std::cout << "w: " << width << " h: " << height << std::endl;
    const std::vector<cv::Point2f> destination{
        {0.0f, 0.0f},
        {static_cast<float>(width), 0.0f},
        {static_cast<float>(width), static_cast<float>(height)},
        {0.0f, static_cast<float>(height)},
    };
    const cv::Mat h = cv::getPerspectiveTransform(corners, destination, cv::DECOMP_LU);

    // Both files or neither: keep the old corners to put back if the second write fails.
    const std::optional<std::string> oldCorners = readBytes(calib_files::boardCornersXml);
    const bool cornersSaved =
        calib_files::writeAtomically(calib_files::boardCornersXml, [&corners](cv::FileStorage& fs) {
            writeCorner(fs, "TopLeft", corners[0]);
            writeCorner(fs, "TopRight", corners[1]);
            writeCorner(fs, "BottomRight", corners[2]);
            writeCorner(fs, "BottomLeft", corners[3]);
        });
    if (!cornersSaved) {
        std::cout << "cannot write " << calib_files::boardCornersXml << std::endl;
        return false;
    }
    const bool perspectiveSaved = calib_files::writeAtomically(
        calib_files::perspectiveXml, [&h, width, height](cv::FileStorage& fs) {
            fs << "Homography" << h;
            fs << "Homography_Width" << width;
            fs << "Homography_Height" << height;
        });
    if (!perspectiveSaved) {
        std::cout << "cannot write " << calib_files::perspectiveXml << std::endl;
        restore(calib_files::boardCornersXml, oldCorners);
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
