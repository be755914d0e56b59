#include "calibration_files.h"

#include "file_set.h"

#include <cstdio>
#include <filesystem>
#include <iostream>

namespace calib_files {

namespace {

std::string temporaryPathFor(const std::string& path) {
    // Same folder, so the final rename never crosses file systems; the ".xml"
    // ending keeps cv::FileStorage in XML mode.
    return path + ".tmp.xml";
}

bool fileExists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::exists(path, ec);
}

} // namespace

bool openForReading(const std::string& path, cv::FileStorage& fs) {
    if (!fileExists(path)) {
        return false;
    }
    try {
        if (fs.open(path, cv::FileStorage::READ)) {
            return true;
        }
        std::cout << "cannot read " << path << ", using defaults" << std::endl;
    } catch (const cv::Exception& e) {
        std::cout << "malformed file " << path << ", using defaults" << std::endl;
    }
    fs.release();
    return false;
}

bool writeAtomically(const std::string& path, const std::function<void(cv::FileStorage&)>& write) {
    const std::string tmp = temporaryPathFor(path);
    try {
        cv::FileStorage out(tmp, cv::FileStorage::WRITE);
        if (!out.isOpened()) {
            return false;
        }
        write(out);
        out.release();
        // Read the file back: a short write (full disk) shows up as a parse failure.
        cv::FileStorage check(tmp, cv::FileStorage::READ);
        if (!check.isOpened() || check.root().empty()) {
            std::remove(tmp.c_str());
            return false;
        }
    } catch (const cv::Exception&) {
        std::remove(tmp.c_str());
        return false;
    }
    std::error_code ec;
    std::filesystem::rename(tmp, path, ec);
    if (ec) {
        std::remove(tmp.c_str());
        return false;
    }
    return true;
}

void recoverSets() {
    std::vector<std::string> names = lensSet;
    names.insert(names.end(), boardSet.begin(), boardSet.end());
    file_set::recover(dir, names);
}

bool isValidBoardColor(int color) {
    return color >= 0 && color <= 2;
}

int readBoardColor() {
    cv::FileStorage fs;
    if (!openForReading(boardColorXml, fs)) {
        return defaultBoardColor;
    }
    int color = defaultBoardColor;
    try {
        const cv::FileNode node = fs["BoardColor"];
        if (!node.empty()) {
            if (!node.isInt()) {
                throw cv::Exception(cv::Error::StsParseError, "not an integer", __func__, __FILE__,
                                    __LINE__);
            }
            color = static_cast<int>(node);
        }
    } catch (const cv::Exception&) {
        std::cout << "malformed file " << boardColorXml << ", using defaults" << std::endl;
        color = defaultBoardColor;
    }
    fs.release();
    if (!isValidBoardColor(color)) {
        std::cout << "invalid board colour " << color << " in " << boardColorXml
                  << ", using defaults" << std::endl;
        return defaultBoardColor;
    }
    return color;
}

bool writeBoardColor(int color) {
    return writeAtomically(boardColorXml,
                           [color](cv::FileStorage& fs) { fs << "BoardColor" << color; });
}

} // namespace calib_files
