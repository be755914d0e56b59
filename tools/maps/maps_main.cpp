// brisel-maps: makes the full-resolution lens maps of a calibrated camera.
#include "lens_maps.h"

#include <filesystem>
#include <iostream>
#include <string>

namespace {

const char* const usage =
    "usage: brisel-maps [--intrinsic FILE] [--distortion FILE] [--out DIR]\n"
    "\n"
    "Writes map1.png and map2.png, the full-resolution (3840 x 2160) fisheye undistortion\n"
    "maps, from the 640 x 360 fisheye model of a calibrated lens:\n"
    "  --intrinsic FILE   Camera_Matrix, 3 x 3 (default calib_data/intrinsic.xml)\n"
    "  --distortion FILE  Distortion_Coefficients, 4 values (default calib_data/distortion.xml)\n"
    "  --out DIR          folder for map1.png and map2.png (default calib_data)\n"
    "\n"
    "The maps show the same view as the small maps made from the same files: the same\n"
    "camera at six times the resolution with the principal-point margins scaled alike,\n"
    "7440 x 2660 pixels, so that the 7440 x 2760 canvas cells are six times the small cells.\n";

int fail(const std::string& message) {
    std::cerr << "brisel-maps: " << message << "\n";
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    std::string intrinsic = "calib_data/intrinsic.xml";
    std::string distortion = "calib_data/distortion.xml";
    std::string out = "calib_data";
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::cout << usage;
            return 0;
        }
        std::string* target = arg == "--intrinsic"    ? &intrinsic
                              : arg == "--distortion" ? &distortion
                              : arg == "--out"        ? &out
                                                      : nullptr;
        if (!target) {
            return fail("unknown argument " + arg + "\n" + usage);
        }
        if (i + 1 >= argc || std::string(argv[i + 1]).empty()) {
            return fail(arg + " needs a value");
        }
        *target = argv[++i];
    }
    cv::Mat k, d;
    std::string why;
    if (!lens_maps::readModel(intrinsic, distortion, k, d, why)) {
        return fail(why.empty() ? "cannot parse " + intrinsic + " or " + distortion : why);
    }
    std::error_code ec;
    std::filesystem::create_directories(out, ec);
    if (ec || !std::filesystem::is_directory(out)) {
        return fail("cannot create the folder " + out);
    }
    if (!lens_maps::writeLensFiles(out, k, d, false, true, why)) {
        return fail(why);
    }
    std::cout << "wrote " << out << "/" << lens_maps::map1File << " and " << out << "/"
              << lens_maps::map2File << " (" << lens_maps::fullMapWidth << " x "
              << lens_maps::fullMapHeight << ")" << std::endl;
    return 0;
}
