#pragma once

#include <opencv2/core.hpp>

#include <string>

// Lens undistortion maps of the fisheye model and their PNG storage in calib_data.
// Shared by CalibrationStore, the synthetic camera rig and brisel-maps. OpenCV only.
namespace lens_maps {

// Sizes of the system's pictures.
constexpr int smallFrameWidth = 640; // frames the intrinsics describe
constexpr int smallFrameHeight = 360;
constexpr int smallMapWidth = 1240; // small corrected frame
constexpr int smallMapHeight = 460;
constexpr double smallShiftX = 300.0; // principal point shift of the small maps
constexpr double smallShiftY = 50.0;
constexpr int fullScale = 6; // 3840 x 2160 = 6 x (640 x 360)
constexpr int fullFrameWidth = 3840;
constexpr int fullFrameHeight = 2160;
constexpr int fullMapWidth = 7440;  // 6 x 1240; map files must be exactly this wide
constexpr int fullMapHeight = 2660; // 6 x 460 - 2 x padRows
constexpr int padRows = 50;         // rows of padding above and below the file maps

// Checks K (3 x 3, finite, positive focal lengths) and D (4 coefficients) and returns
// them as CV_64F (K 3 x 3, D 4 x 1). On failure returns false with a short reason.
bool normaliseModel(const cv::Mat& k, const cv::Mat& d, cv::Mat& kOut, cv::Mat& dOut,
                    std::string& why);

// Small maps: P = K with the principal point moved by (300, 50), output
// 1240 x 460, CV_16SC2 + CV_16UC1. K and D as normaliseModel returns them.
void makeSmallMaps(const cv::Mat& k, const cv::Mat& d, cv::Mat& map1, cv::Mat& map2);

// The same camera at six times the resolution, pixel centres aligned
// (full = 6 * small + 2.5): K_full = 6 K with c = 6 c + 2.5.
cv::Mat fullCameraMatrix(const cv::Mat& k);
// New camera matrix of the full maps: 6 P likewise, with cy reduced by padRows so that
// the 7440 x 2660 map, padded by 50 rows above and below, covers exactly 6 x the
// small corrected frame: canvas pixel (u, v) <-> small pixel ((u - 2.5) / 6, (v - 2.5) / 6).
cv::Mat fullNewCameraMatrix(const cv::Mat& k);

// Full-resolution maps, 7440 x 2660 (not padded), CV_16SC2 + CV_16UC1.
void makeFullMaps(const cv::Mat& k, const cv::Mat& d, cv::Mat& map1, cv::Mat& map2);

// map1 (CV_16SC2) as the 8-bit four-channel picture of map1.png: same bytes.
cv::Mat map1AsPicture(const cv::Mat& map1);
// Writes map1.png and map2.png (paths given). False when a write failed.
bool writeMapPngs(const std::string& map1Path, const std::string& map2Path, const cv::Mat& map1,
                  const cv::Mat& map2);

// The lens files of a calibration folder.
inline const std::string intrinsicFile = "intrinsic.xml";
inline const std::string distortionFile = "distortion.xml";
inline const std::string map1File = "map1.png";
inline const std::string map2File = "map2.png";

// Writes into the existing folder `dir` the model (intrinsic.xml with Camera_Matrix,
// distortion.xml with Distortion_Coefficients as 1 x 4) and/or the maps (map1.png and
// map2.png of makeFullMaps); a model without maps removes the old maps. All of it is one
// file set (file_set::replace): on false, with `why` naming the file, the old files are
// in place. K and D as normaliseModel returns them.
bool writeLensFiles(const std::string& dir, const cv::Mat& k, const cv::Mat& d, bool model,
                    bool maps, std::string& why);

// Reads and checks map1.png / map2.png (not padded). On failure
// returns false, leaves the outputs empty and sets `why` to one line naming the file
// and the fault.
bool readMapPngs(const std::string& map1Path, const std::string& map2Path, cv::Mat& map1,
                 cv::Mat& map2, std::string& why);

// Pads a map by padRows zero rows above and below.
cv::Mat padMap(const cv::Mat& map);

// Reads Camera_Matrix of intrinsic.xml and Distortion_Coefficients of distortion.xml
// and checks them. On failure `why` is one line naming the file and the fault; it is
// left empty when the fault was already reported (a file that cannot be parsed).
bool readModel(const std::string& intrinsicPath, const std::string& distortionPath, cv::Mat& k,
               cv::Mat& d, std::string& why);

} // namespace lens_maps
