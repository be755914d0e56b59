#pragma once

#include <opencv2/core.hpp>

#include <functional>
#include <string>
#include <vector>

// The files of the calibration directory, all relative to the working directory.
namespace calib_files {

inline const std::string dir = "calib_data";
inline const std::string map1Png = "calib_data//map1.png";
inline const std::string map2Png = "calib_data//map2.png";
inline const std::string intrinsicXml = "calib_data//intrinsic.xml";
inline const std::string distortionXml = "calib_data//distortion.xml";
inline const std::string boardCornersXml = "calib_data//board_corners.xml";
inline const std::string perspectiveXml = "calib_data//calib_perspective.xml";
inline const std::string boardColorXml = "calib_data//board_color.xml";

// The two sets of files that are only ever replaced whole (see file_set.h), by name.
inline const std::vector<std::string> lensSet{"map1.png", "map2.png", "intrinsic.xml",
                                              "distortion.xml"};
inline const std::vector<std::string> boardSet{"board_corners.xml", "calib_perspective.xml"};

constexpr int defaultBoardColor = 0;

// Opens an XML file for reading. A missing file yields false quietly; a file that
// exists but cannot be parsed yields false with one console line naming it.
bool openForReading(const std::string& path, cv::FileStorage& fs);

// Writes an XML file through a temporary file in the same folder that is read back
// and then renamed over the old one, so a crash or a full disk never leaves a
// truncated file behind. Returns false (the old file untouched) when anything failed.
bool writeAtomically(const std::string& path, const std::function<void(cv::FileStorage&)>& write);

// Undoes what a replacement of the lens or board set interrupted by a crash left in
// calib_data (file_set::recover), before the files are read.
void recoverSets();

// "BoardColor" of board_color.xml; the default for a missing, malformed or
// out-of-range value.
int readBoardColor();
bool writeBoardColor(int color);

bool isValidBoardColor(int color);

} // namespace calib_files
