#include "process_options.h"

#include <cmath>
#include <cstdlib>
#include <sstream>

namespace {

bool parseNumber(const std::string& text, double& value) {
    if (text.empty()) {
        return false;
    }
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return end && *end == '\0' && std::isfinite(value);
}

bool parseCount(const std::string& text, int& value) {
    double number = 0;
    if (!parseNumber(text, number) || number < 1 || number > 1e9 || number != std::floor(number)) {
        return false;
    }
    value = static_cast<int>(number);
    return true;
}

bool parseCorners(const std::string& text, std::vector<cv::Point2f>& corners) {
    std::vector<double> numbers;
    std::stringstream stream(text);
    std::string item;
    while (std::getline(stream, item, ',')) {
        double v = 0;
        if (!parseNumber(item, v) || v < 0 || v > 1) {
            return false;
        }
        numbers.push_back(v);
    }
    if (numbers.size() != 8) {
        return false;
    }
    corners.clear();
    for (size_t i = 0; i < 8; i += 2) {
        corners.emplace_back(static_cast<float>(numbers[i]), static_cast<float>(numbers[i + 1]));
    }
    return true;
}

bool parseChoice(const std::string& text, const std::vector<std::string>& names, int& value) {
    for (size_t i = 0; i < names.size(); ++i) {
        if (text == names[i]) {
            value = static_cast<int>(i);
            return true;
        }
    }
    return false;
}

} // namespace

const char* processUsage() {
    return "usage: brisel-process --input PATH --output DIR [--calib DIR]\n"
           "                      [--corners x1,y1,x2,y2,x3,y3,x4,y4]\n"
           "                      [--board black|white|green] [--mode color|bw|original]\n"
           "                      [--ar on|off] [--ar-value V] [--details D] [--contrast C]\n"
           "                      [--brightness B] [--display] [--video FILE] [--every N]\n"
           "                      [--frames N] [--keyframes DIR] [--pdf FILE]\n"
           "\n"
           "  --input PATH    video file, image sequence pattern (frames/f_%04d.png) or one\n"
           "                  image, of 3840 x 2160 frames\n"
           "  --output DIR    writes board_NNNNNN.png (and display_NNNNNN.png with --display)\n"
           "  --calib DIR     working directory holding calib_data (default: current one)\n"
           "  --corners ...   board corners as fractions of the calibration picture, in click\n"
           "                  order; calibrates on the first frame and writes calib_data\n"
           "  --board         board colour for this run (default: the stored one)\n"
           "  --mode, --ar, --ar-value, --details, --contrast, --brightness\n"
           "                  settings as in the application (color, on, 0.5, 4, 70, -81)\n"
           "  --video FILE    display picture of every frame as MJPG video, 30 fps\n"
           "  --every N       write the pictures of every N-th frame (default 1)\n"
           "  --frames N      stop after N frames\n"
           "  --keyframes DIR the board kept before each erasure, as DIR/keyframe_NNNNNN.png\n"
           "                  (NNNNNN: the frame whose board it is); every frame is watched\n"
           "                  whatever --every says\n"
           "  --pdf FILE      the same boards as a lesson PDF, one page each\n";
}

bool parseProcessOptions(const std::vector<std::string>& args, ProcessOptions& options,
                         std::string& error) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& name = args[i];
        if (name == "--help" || name == "-h") {
            options.help = true;
            continue;
        }
        if (name == "--display") {
            options.display = true;
            continue;
        }
        if (i + 1 >= args.size()) {
            error = name.rfind("--", 0) == 0 ? name + " needs a value" : "unknown argument " + name;
            return false;
        }
        const std::string& value = args[++i];
        bool ok = true;
        int choice = 0;
        if (name == "--input") {
            options.input = value;
        } else if (name == "--output") {
            options.output = value;
        } else if (name == "--calib") {
            options.calib = value;
        } else if (name == "--video") {
            options.video = value;
        } else if (name == "--keyframes") {
            options.keyframes = value;
            ok = !value.empty();
        } else if (name == "--pdf") {
            options.pdf = value;
            ok = !value.empty();
        } else if (name == "--corners") {
            ok = parseCorners(value, options.corners);
        } else if (name == "--board") {
            ok = parseChoice(value, {"black", "white", "green"}, choice);
            options.board = choice;
        } else if (name == "--mode") {
            ok = parseChoice(value, {"color", "bw", "original"}, options.mode);
        } else if (name == "--ar") {
            ok = parseChoice(value, {"off", "on"}, choice);
            options.ar = choice == 1;
        } else if (name == "--ar-value") {
            ok =
                parseNumber(value, options.arValue) && options.arValue >= 0 && options.arValue <= 1;
        } else if (name == "--details") {
            ok = parseNumber(value, options.details) && options.details >= 0;
        } else if (name == "--contrast") {
            // 131 (and 201 on dark boards) is the pole of the contrast formula.
            ok = parseNumber(value, options.contrast) &&
                 static_cast<int>(options.contrast) != 131 &&
                 static_cast<int>(options.contrast) != 201;
        } else if (name == "--brightness") {
            ok = parseNumber(value, options.brightness);
        } else if (name == "--every") {
            ok = parseCount(value, options.every);
        } else if (name == "--frames") {
            ok = parseCount(value, options.frames);
        } else {
            error = "unknown argument " + name;
            return false;
        }
        if (!ok) {
            error = "bad value for " + name + ": " + value;
            return false;
        }
    }
    if (options.help) {
        return true;
    }
    if (options.input.empty() || options.output.empty()) {
        error = "--input and --output are required";
        return false;
    }
    return true;
}
