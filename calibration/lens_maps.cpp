#include "lens_maps.h"

#include "calibration_files.h"
#include "file_set.h"

#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <filesystem>
#include <sstream>

namespace lens_maps {

namespace {

bool exists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::exists(path, ec);
}

std::string sizeText(const cv::Mat& m) {
    std::ostringstream s;
    s << m.cols << " x " << m.rows << " with " << m.channels() << " channel(s) of "
      << (m.depth() == CV_8U    ? "8"
          : m.depth() == CV_16U ? "16"
                                : "?")
      << " bits";
    return s.str();
}

cv::Mat scaledMatrix(const cv::Mat& k, double extraCy) {
    cv::Mat m = k.clone();
    m.at<double>(0, 0) *= fullScale;
    m.at<double>(0, 1) *= fullScale;
    m.at<double>(1, 1) *= fullScale;
    m.at<double>(0, 2) = fullScale * m.at<double>(0, 2) + (fullScale - 1) / 2.0;
    m.at<double>(1, 2) = fullScale * m.at<double>(1, 2) + (fullScale - 1) / 2.0 + extraCy;
    return m;
}

cv::Mat smallNewCameraMatrix(const cv::Mat& k) {
    cv::Mat p = k.clone();
    p.at<double>(0, 2) += smallShiftX;
    p.at<double>(1, 2) += smallShiftY;
    return p;
}

} // namespace

bool normaliseModel(const cv::Mat& k, const cv::Mat& d, cv::Mat& kOut, cv::Mat& dOut,
                    std::string& why) {
    if (k.empty()) {
        why = "has no Camera_Matrix";
        return false;
    }
    if (k.rows != 3 || k.cols != 3 || k.channels() != 1 ||
        (k.depth() != CV_64F && k.depth() != CV_32F)) {
        why = "Camera_Matrix is not a 3 x 3 matrix of reals";
        return false;
    }
    cv::Mat kd;
    k.convertTo(kd, CV_64F);
    if (!cv::checkRange(kd) || kd.at<double>(0, 0) <= 0 || kd.at<double>(1, 1) <= 0) {
        why = "Camera_Matrix has no positive finite focal lengths";
        return false;
    }
    if (d.empty()) {
        why = "has no Distortion_Coefficients";
        return false;
    }
    if (d.total() != 4 || d.channels() != 1 || (d.rows != 1 && d.cols != 1) ||
        (d.depth() != CV_64F && d.depth() != CV_32F)) {
        why = "Distortion_Coefficients is not a matrix of 4 reals";
        return false;
    }
    cv::Mat dd;
    d.reshape(1, 4).convertTo(dd, CV_64F);
    if (!cv::checkRange(dd)) {
        why = "Distortion_Coefficients are not finite";
        return false;
    }
    kOut = kd;
    dOut = dd;
    return true;
}

void makeSmallMaps(const cv::Mat& k, const cv::Mat& d, cv::Mat& map1, cv::Mat& map2) {
    cv::fisheye::initUndistortRectifyMap(k, d, cv::Mat(), smallNewCameraMatrix(k),
                                         cv::Size(smallMapWidth, smallMapHeight), CV_16SC2, map1,
                                         map2);
}

cv::Mat fullCameraMatrix(const cv::Mat& k) {
    return scaledMatrix(k, 0.0);
}

cv::Mat fullNewCameraMatrix(const cv::Mat& k) {
    return scaledMatrix(smallNewCameraMatrix(k), -padRows);
}

void makeFullMaps(const cv::Mat& k, const cv::Mat& d, cv::Mat& map1, cv::Mat& map2) {
    cv::fisheye::initUndistortRectifyMap(fullCameraMatrix(k), d, cv::Mat(), fullNewCameraMatrix(k),
                                         cv::Size(fullMapWidth, fullMapHeight), CV_16SC2, map1,
                                         map2);
}

cv::Mat map1AsPicture(const cv::Mat& map1) {
    CV_Assert(map1.type() == CV_16SC2);
    cv::Mat m = map1.isContinuous() ? map1 : map1.clone();
    return cv::Mat(m.rows, m.cols, CV_8UC4, m.data, m.step).clone();
}

bool writeMapPngs(const std::string& map1Path, const std::string& map2Path, const cv::Mat& map1,
                  const cv::Mat& map2) {
    CV_Assert(map2.type() == CV_16UC1 && map2.size() == map1.size());
    // Fast, lossless: level 1 compression keeps the 7440-wide maps quick to write.
    const std::vector<int> params{cv::IMWRITE_PNG_COMPRESSION, 1};
    try {
        return cv::imwrite(map1Path, map1AsPicture(map1), params) &&
               cv::imwrite(map2Path, map2, params);
    } catch (const cv::Exception&) {
        return false;
    }
}

namespace {

// A file the library cannot write or read (a folder in its place) counts as not written.
template <typename F> bool guarded(F&& f) {
    try {
        return f();
    } catch (const cv::Exception&) {
        return false;
    }
}

bool samePixels(const cv::Mat& a, const cv::Mat& b) {
    return a.size() == b.size() && a.type() == b.type() &&
           cv::countNonZero(a.reshape(1) != b.reshape(1)) == 0;
}

// A PNG file set member: written at level 1 (fast, lossless) and read back whole.
file_set::File pngFile(const std::string& name, const cv::Mat& picture) {
    return {name,
            [&picture](const std::string& path) {
                return guarded([&] {
                    return cv::imwrite(path, picture, {cv::IMWRITE_PNG_COMPRESSION, 1});
                });
            },
            [&picture](const std::string& path) {
                return guarded(
                    [&] { return samePixels(cv::imread(path, cv::IMREAD_UNCHANGED), picture); });
            }};
}

// An XML file set member holding one matrix under `key`.
file_set::File matrixFile(const std::string& name, const char* key, const cv::Mat& m) {
    return {name,
            [key, &m](const std::string& path) {
                return guarded([&] {
                    cv::FileStorage fs(path, cv::FileStorage::WRITE);
                    fs << key << m;
                    return fs.isOpened();
                });
            },
            [key, &m](const std::string& path) {
                return guarded([&] {
                    cv::FileStorage fs(path, cv::FileStorage::READ);
                    cv::Mat back;
                    fs[key] >> back;
                    return samePixels(back, m);
                });
            }};
}

} // namespace

bool writeLensFiles(const std::string& dir, const cv::Mat& k, const cv::Mat& d, bool model,
                    bool maps, std::string& why) {
    cv::Mat map1, map2, picture1;
    const cv::Mat dRow = d.reshape(1, 1);
    std::vector<file_set::File> files;
    std::vector<std::string> removals;
    if (maps) {
        makeFullMaps(k, d, map1, map2);
        picture1 = map1AsPicture(map1);
        files.push_back(pngFile(map1File, picture1));
        files.push_back(pngFile(map2File, map2));
    } else if (model) {
        // Maps of the replaced model would correct the picture with the wrong lens.
        removals = {map1File, map2File};
    }
    if (model) {
        files.push_back(matrixFile(intrinsicFile, "Camera_Matrix", k));
        files.push_back(matrixFile(distortionFile, "Distortion_Coefficients", dRow));
    }
    std::string failed;
    return file_set::replace(dir, files, removals, why, failed);
}

bool readMapPngs(const std::string& map1Path, const std::string& map2Path, cv::Mat& map1,
                 cv::Mat& map2, std::string& why) {
    map1.release();
    map2.release();
    if (!exists(map1Path)) {
        why = map1Path + " is missing";
        return false;
    }
    cv::Mat picture;
    try {
        picture = cv::imread(map1Path, cv::IMREAD_UNCHANGED);
    } catch (const cv::Exception&) {
        picture.release();
    }
    if (picture.empty()) {
        why = map1Path + " cannot be read as a PNG picture";
        return false;
    }
    if (picture.type() != CV_8UC4) {
        why = map1Path + " is " + sizeText(picture) + ", not an 8-bit four-channel picture";
        return false;
    }
    if (picture.cols != fullMapWidth) {
        why = map1Path + " is " + std::to_string(picture.cols) + " wide, not " +
              std::to_string(fullMapWidth);
        return false;
    }
    if (!exists(map2Path)) {
        why = map2Path + " is missing";
        return false;
    }
    cv::Mat indices;
    try {
        indices = cv::imread(map2Path, cv::IMREAD_UNCHANGED);
    } catch (const cv::Exception&) {
        indices.release();
    }
    if (indices.empty()) {
        why = map2Path + " cannot be read as a PNG picture";
        return false;
    }
    if (indices.channels() != 1 || (indices.depth() != CV_16U && indices.depth() != CV_8U)) {
        why = map2Path + " is " + sizeText(indices) + ", not a 16-bit grey picture";
        return false;
    }
    if (indices.size() != picture.size()) {
        why = map2Path + " is " + std::to_string(indices.cols) + " x " +
              std::to_string(indices.rows) + ", map1.png is " + std::to_string(picture.cols) +
              " x " + std::to_string(picture.rows);
        return false;
    }
    indices.convertTo(indices, CV_16U, 1, 0);
    double maxIndex = 0;
    cv::minMaxLoc(indices, nullptr, &maxIndex);
    if (maxIndex >= cv::INTER_TAB_SIZE2) {
        why = map2Path + " holds interpolation index " +
              std::to_string(static_cast<int>(maxIndex)) + ", above " +
              std::to_string(cv::INTER_TAB_SIZE2 - 1);
        return false;
    }
    map1 = cv::Mat(picture.rows, picture.cols, CV_16SC2, picture.data, picture.step).clone();
    map2 = indices;
    return true;
}

cv::Mat padMap(const cv::Mat& map) {
    cv::Mat padded;
    cv::copyMakeBorder(map, padded, padRows, padRows, 0, 0, cv::BORDER_CONSTANT,
                       cv::Scalar::all(0));
    return padded;
}

bool readModel(const std::string& intrinsicPath, const std::string& distortionPath, cv::Mat& k,
               cv::Mat& d, std::string& why) {
    why.clear();
    k.release();
    d.release();
    cv::Mat rawK, rawD;
    const auto readNode = [&why](const std::string& path, const char* key, cv::Mat& out) {
        cv::FileStorage fs;
        if (!calib_files::openForReading(path, fs)) {
            if (!exists(path)) {
                why = path + " is missing";
            } // else openForReading has printed its line
            return false;
        }
        try {
            fs[key] >> out;
        } catch (const cv::Exception&) {
            out.release();
            why = path + ": " + key + " is not a matrix";
            fs.release();
            return false;
        }
        fs.release();
        return true;
    };
    if (!readNode(intrinsicPath, "Camera_Matrix", rawK) ||
        !readNode(distortionPath, "Distortion_Coefficients", rawD)) {
        return false;
    }
    std::string fault;
    if (!normaliseModel(rawK, rawD, k, d, fault)) {
        const bool kFault = fault.find("Camera_Matrix") != std::string::npos;
        why = (kFault ? intrinsicPath : distortionPath) + ": " + fault;
        return false;
    }
    return true;
}

} // namespace lens_maps
