#pragma once

#include <opencv2/core.hpp>

#include <optional>
#include <string>
#include <vector>

// Command line of brisel-process.
struct ProcessOptions {
    std::string input;
    std::string output;
    std::string calib = ".";
    std::vector<cv::Point2f> corners; // empty: use the stored calibration
    std::optional<int> board;         // empty: the stored board colour
    int mode = 0;
    bool ar = true;
    double arValue = 0.5;
    double details = 4.0;
    double contrast = 70.0;
    double brightness = -81.0;
    bool display = false;
    std::string video;
    std::string keyframes; // folder for the boards kept before each erasure
    std::string pdf;       // lesson PDF of those boards
    int every = 1;
    int frames = 0; // 0: all
    bool help = false;
};

// Parses argv; on a bad argument returns false with `error` naming it.
bool parseProcessOptions(const std::vector<std::string>& args, ProcessOptions& options,
                         std::string& error);

const char* processUsage();
