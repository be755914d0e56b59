// brisel-lens: calibrates a fisheye lens from photos of a printed chessboard and writes
// the lens files of calib_data.
#include "lens_calibration.h"
#include "lens_maps.h"

#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

namespace {

const char* const usage =
    "usage: brisel-lens [--pattern COLSxROWS] [--square SIZE] [--out DIR] [--force] PHOTO...\n"
    "\n"
    "Calibrates the camera's fisheye lens from photos of a printed chessboard and writes\n"
    "its lens files: DIR/intrinsic.xml and DIR/distortion.xml (the model of the 640 x 360\n"
    "reduced frame) and, for 3840 x 2160 photos, DIR/map1.png and DIR/map2.png.\n"
    "  --pattern COLSxROWS  inner corners of the chessboard (default 9x6)\n"
    "  --square SIZE        side of a square, any unit (default 1)\n"
    "  --out DIR            folder for the lens files (default calib_data)\n"
    "  --force              replace lens files that DIR already holds\n"
    "\n"
    "Take at least ten photos, with the board at many places, the edges of the picture\n"
    "included; keep them in a folder of their own. Photos that are not 16:9 are\n"
    "calibrated but no lens files are written.\n"
    "Exit status: 0 done, 2 bad input (nothing written), 1 the files could not be written.\n";

constexpr int badInput = 2;
constexpr int writeFailed = 1;
constexpr int maxPatternSide = 100;

int fail(const std::string& message, int code = badInput) {
    std::cerr << "brisel-lens: " << message << std::endl;
    return code;
}

bool parsePattern(const std::string& text, cv::Size& pattern) {
    int cols = 0, rows = 0;
    char x = 0, extra = 0;
    if (std::sscanf(text.c_str(), "%d%c%d%c", &cols, &x, &rows, &extra) != 3 ||
        (x != 'x' && x != 'X') || cols < 2 || rows < 2 || cols > maxPatternSide ||
        rows > maxPatternSide) {
        return false;
    }
    pattern = cv::Size(cols, rows);
    return true;
}

bool parseSquare(const std::string& text, double& square) {
    char* end = nullptr;
    square = std::strtod(text.c_str(), &end);
    return !text.empty() && end && *end == '\0' && std::isfinite(square) && square > 0.0;
}

struct Photo {
    std::string path;
    bool read = false;
    bool found = false;
    int view = -1; // index among the views with the pattern
};

std::string fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

void printPhotoLines(const std::vector<Photo>& photos, const lens_calibration::Fit* fit) {
    for (const Photo& p : photos) {
        std::cout << p.path << ": ";
        if (!p.read) {
            std::cout << "cannot be read, skipped";
        } else if (!p.found) {
            std::cout << "pattern not found, skipped";
        } else if (!fit) {
            std::cout << "pattern found";
        } else {
            std::cout << "error " << fixed(fit->viewErrors[p.view], 3) << " px"
                      << (fit->used[p.view] ? "" : ", dropped");
        }
        std::cout << "\n";
    }
    std::cout.flush();
}

std::vector<std::string> existingLensFiles(const std::string& dir) {
    std::vector<std::string> found;
    for (const std::string& name : {lens_maps::intrinsicFile, lens_maps::distortionFile,
                                    lens_maps::map1File, lens_maps::map2File}) {
        std::error_code ec;
        if (std::filesystem::exists(dir + "/" + name, ec)) {
            found.push_back(name);
        }
    }
    return found;
}

} // namespace

int main(int argc, char** argv) {
    cv::Size pattern(9, 6);
    double square = 1.0;
    std::string out = "calib_data";
    bool force = false;
    std::vector<Photo> photos;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool valued = arg == "--pattern" || arg == "--square" || arg == "--out";
        if (valued && (i + 1 >= argc || std::string(argv[i + 1]).empty())) {
            return fail(arg + " needs a value");
        }
        if (arg == "--help" || arg == "-h") {
            std::cout << usage;
            return 0;
        } else if (arg == "--force") {
            force = true;
        } else if (arg == "--pattern") {
            if (!parsePattern(argv[++i], pattern)) {
                return fail("--pattern needs inner corners as COLSxROWS, for example 9x6");
            }
        } else if (arg == "--square") {
            if (!parseSquare(argv[++i], square)) {
                return fail("--square needs a positive number");
            }
        } else if (arg == "--out") {
            out = argv[++i];
        } else if (arg.size() > 1 && arg[0] == '-') {
            return fail("unknown argument " + arg + "\n" + usage);
        } else {
            photos.push_back({arg});
        }
    }
    if (photos.empty()) {
        return fail("no photos given\n" + std::string(usage));
    }
    const std::vector<std::string> existing = existingLensFiles(out);

    std::vector<std::vector<cv::Point2f>> views;
    cv::Size photoSize;
    std::string firstPath;
    cv::Mat lit;
    for (size_t i = 0; i < photos.size(); ++i) {
        Photo& p = photos[i];
        std::cerr << "brisel-lens: photo " << i + 1 << " of " << photos.size() << ": " << p.path
                  << std::endl;
        cv::Mat grey;
        try {
            grey = cv::imread(p.path, cv::IMREAD_GRAYSCALE);
        } catch (const cv::Exception&) {
            grey.release();
        }
        if (grey.empty()) {
            continue;
        }
        p.read = true;
        if (photoSize.empty()) {
            photoSize = grey.size();
            firstPath = p.path;
            // Photos that give no lens files replace nothing; otherwise the lens files of
            // another lens are not replaced unasked, and that is said before the long search.
            if (lens_calibration::isSixteenByNine(photoSize) && !existing.empty() && !force) {
                std::string names;
                for (const std::string& n : existing) {
                    names += (names.empty() ? "" : ", ") + n;
                }
                return fail(out + " already holds lens files (" + names +
                            "); pass --force to replace them");
            }
        } else if (grey.size() != photoSize) {
            return fail("photos of different sizes: " + firstPath + " is " +
                        std::to_string(photoSize.width) + " x " + std::to_string(photoSize.height) +
                        ", " + p.path + " is " + std::to_string(grey.cols) + " x " +
                        std::to_string(grey.rows));
        }
        lens_calibration::markLit(grey, lit);
        std::vector<cv::Point2f> corners;
        if (lens_calibration::findCorners(grey, pattern, corners)) {
            p.found = true;
            p.view = static_cast<int>(views.size());
            views.push_back(std::move(corners));
        }
    }
    const std::string patternText =
        std::to_string(pattern.width) + "x" + std::to_string(pattern.height);
    if (views.empty()) {
        printPhotoLines(photos, nullptr);
        return fail(photoSize.empty()
                        ? "none of the photos can be read"
                        : "the " + patternText + " chessboard was not found in any photo");
    }

    std::cerr << "brisel-lens: fitting the fisheye model to " << views.size() << " views"
              << std::endl;
    lens_calibration::Fit fit;
    std::string why;
    if (!lens_calibration::calibrate(views, pattern, square, photoSize, fit, why)) {
        printPhotoLines(photos, nullptr);
        return fail(why + "; nothing written");
    }
    printPhotoLines(photos, &fit);
    const cv::Mat& k = fit.k;
    std::cout << "lens: fx " << fixed(k.at<double>(0, 0), 2) << " fy "
              << fixed(k.at<double>(1, 1), 2) << " cx " << fixed(k.at<double>(0, 2), 2) << " cy "
              << fixed(k.at<double>(1, 2), 2) << " rms " << fixed(fit.rms, 3) << " views "
              << fit.usedCount() << " of " << photos.size() << std::endl;
    const lens_calibration::Coverage reach = lens_calibration::coverage(fit, photoSize, views, lit);
    std::cout << "coverage: photos reach " << fixed(reach.reached, 1) << " of "
              << fixed(reach.picture, 1) << " degrees from the centre" << std::endl;
    if (reach.reached < lens_calibration::minimumCoverage * reach.picture) {
        std::cout << "warning: the photos leave the outer part of the picture uncovered, so the "
                     "lens files may correct it wrongly; take more photos with the chessboard "
                     "near the picture's corners and edges"
                  << std::endl;
    }

    const std::string sizeText =
        std::to_string(photoSize.width) + " x " + std::to_string(photoSize.height);
    if (!lens_calibration::isSixteenByNine(photoSize)) {
        std::cout << "the photos are " << sizeText
                  << ", not 16:9 like the camera's frames: no lens files written" << std::endl;
        return 0;
    }
    if (reach.folds) {
        return fail("the fitted lens would fold the picture: its distortion curve stops "
                    "increasing before the picture's corners; take more photos with the "
                    "chessboard near the picture's corners; nothing written");
    }
    cv::Mat small, d;
    if (!lens_maps::normaliseModel(lens_calibration::scaleToSmallFrame(k, photoSize.width), fit.d,
                                   small, d, why)) {
        return fail("the fitted model is unusable: " + why + "; nothing written");
    }
    const bool maps = photoSize == cv::Size(lens_maps::fullFrameWidth, lens_maps::fullFrameHeight);
    std::error_code ec;
    std::filesystem::create_directories(out, ec);
    if (ec || !std::filesystem::is_directory(out)) {
        return fail("cannot create the folder " + out + "; nothing written", writeFailed);
    }
    if (!lens_maps::writeLensFiles(out, small, d, true, maps, why)) {
        return fail(why + "; the old lens files are kept", writeFailed);
    }
    std::cout << "wrote " << out << "/" << lens_maps::intrinsicFile << " and " << out << "/"
              << lens_maps::distortionFile;
    if (maps) {
        std::cout << ", " << out << "/" << lens_maps::map1File << " and " << out << "/"
                  << lens_maps::map2File;
    }
    std::cout << std::endl;
    if (!maps) {
        // writeLensFiles removed the replaced lens's maps with the same swap.
        const bool removed = std::find_if(existing.begin(), existing.end(), [](const auto& n) {
                                 return n == lens_maps::map1File || n == lens_maps::map2File;
                             }) != existing.end();
        std::cout << "the photos are " << sizeText << ", not 3840 x 2160: no maps written"
                  << (removed ? " and the old lens's maps removed" : "") << "; brisel-maps --out "
                  << out << " makes them from the two files" << std::endl;
    }
    std::cout << "restart Brisel and calibrate the board again: the old board corners belong to"
                 " the old lens"
              << std::endl;
    return 0;
}
