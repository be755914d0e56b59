// brisel-rig: writes a synthetic calib_data and one scene with its ground truth.
#include "chessboard.h"
#include "lesson.h"
#include "rig.h"

#include <cstdlib>
#include <iostream>
#include <map>
#include <string>

namespace {

const char* const usage =
    "usage: brisel-rig --out DIR [--board white|black|green] [--frames N] [--still N]\n"
    "                  [--seed S] [--presenter-scale S] [--video [--quality Q]\n"
    "                  [--video-noise S] [--damage-every N] [--corrupt-every N] [--quirk Q]]\n"
    "                  [--chessboard] [--lesson [--brief] [--real-time] [--fps F]]\n"
    "\n"
    "Synthetic fisheye board camera (3840 x 2160). Writes, deterministically from the seed:\n"
    "  DIR/calib_data/{map1.png,map2.png,intrinsic.xml,distortion.xml}  the lens calibration\n"
    "  DIR/scene_<board>/f_0000.png ...   N frames: a still board, then a presenter walking\n"
    "  DIR/scene_<board>.avi              with --video: the same frames as a camera sends\n"
    "                                     them: MJPG, 4:2:2, about 1 MB per frame, 30 fps\n"
    "  DIR/truth_<board>/corners.txt      true corners as fractions of the calibration\n"
    "                                     picture: x1,y1,x2,y2,x3,y3,x4,y4 (TL,TR,BR,BL)\n"
    "  DIR/truth_<board>/board.png        the true straightened board picture\n"
    "  DIR/chessboard/photo_01.jpg ...    with --chessboard, instead of the scene: photos of a\n"
    "                                     printed 9x6 chessboard all over the field of view\n"
    "\n"
    "  --board   board colour (default white)\n"
    "  --frames  number of frames (default 90)\n"
    "  --still   frames before the presenter enters (default 30)\n"
    "  --seed    seed of the board content and presenter (default 1)\n"
    "  --presenter-scale S  size of the presenter, 1 to 3 (default 1: standing at the\n"
    "                       board; 1.5: close to the camera, covering much of the board)\n"
    "  --video   also write the MJPG video\n"
    "  --quality JPEG quality of the video frames, 1 to 100 (default 90)\n"
    "  --video-noise S    sensor noise of the video frames, grey levels (default 3; the\n"
    "                     PNG frames have 1.5)\n"
    "  --damage-every N   cut every Nth video frame short, as a camera short of USB\n"
    "                     bandwidth does (no end-of-image marker)\n"
    "  --corrupt-every N  overwrite a run of bytes inside every Nth video frame\n"
    "  --quirk Q          every video frame whole but shaped as some cameras send it:\n"
    "                     stray-bytes (6 bytes before the end marker), padded (256 KB of\n"
    "                     zeros after it) or no-huffman (no Huffman tables)\n"
    "  --lesson  instead of the scene, a whole lesson: writing, walks, a correction, a\n"
    "            light step and two board-fulls wiped (one pass, two passes), into\n"
    "            the video DIR/lesson_<board>.avi; its truth in DIR/truth_lesson_<board>/\n"
    "            (events.txt, erasures.txt, ink_N.png); --frames and --still do not apply\n"
    "  --brief   with --lesson: a few lines written and wiped in one pass\n"
    "  --real-time  with --lesson: in real time, with standing, a quarter wiped and\n"
    "            written over, a wipe in strips with pauses\n"
    "  --fps     with --lesson: frames a second of the video, 1 to 60 (default 30)\n";

bool parseInt(const std::string& text, long long& value) {
    if (text.empty()) {
        return false;
    }
    char* end = nullptr;
    value = std::strtoll(text.c_str(), &end, 10);
    return end && *end == '\0';
}

int fail(const std::string& message) {
    std::cerr << "brisel-rig: " << message << "\n" << usage;
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    std::string out;
    rig::SceneConfig config;
    rig::VideoConfig video;
    bool chessboard = false;
    bool lesson = false;
    rig::LessonConfig lessonConfig;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto value = [&](std::string& into) {
            if (i + 1 >= argc) {
                return false;
            }
            into = argv[++i];
            return true;
        };
        std::string v;
        long long n = 0;
        if (arg == "--help" || arg == "-h") {
            std::cout << usage;
            return 0;
        } else if (arg == "--video") {
            video.write = true;
        } else if (arg == "--quality") {
            if (!value(v) || !parseInt(v, n) || n < 1 || n > 100) {
                return fail("--quality needs a number from 1 to 100");
            }
            video.quality = static_cast<int>(n);
        } else if (arg == "--video-noise") {
            double sigma = -1.0;
            if (value(v)) {
                char* end = nullptr;
                sigma = std::strtod(v.c_str(), &end);
                sigma = end && *end == '\0' && !v.empty() ? sigma : -1.0;
            }
            if (!(sigma >= 0.0 && sigma <= 50.0)) {
                return fail("--video-noise needs a number from 0 to 50");
            }
            video.noise = sigma;
        } else if (arg == "--damage-every" || arg == "--corrupt-every") {
            if (!value(v) || !parseInt(v, n) || n < 1 || n > 100000) {
                return fail(arg + " needs a number from 1 to 100000");
            }
            (arg == "--damage-every" ? video.damageEvery : video.corruptEvery) =
                static_cast<int>(n);
        } else if (arg == "--quirk") {
            const std::map<std::string, rig::JpegQuirk> quirks{
                {"stray-bytes", rig::JpegQuirk::StrayBytes},
                {"padded", rig::JpegQuirk::Padded},
                {"no-huffman", rig::JpegQuirk::NoHuffmanTables}};
            if (!value(v) || quirks.count(v) == 0) {
                return fail("--quirk must be stray-bytes, padded or no-huffman");
            }
            video.quirk = quirks.at(v);
        } else if (arg == "--chessboard") {
            chessboard = true;
        } else if (arg == "--lesson") {
            lesson = true;
        } else if (arg == "--brief") {
            lessonConfig.brief = true;
        } else if (arg == "--real-time") {
            lessonConfig.realTime = true;
        } else if (arg == "--fps") {
            if (!value(v) || !parseInt(v, n) || n < 1 || n > 60) {
                return fail("--fps needs a number from 1 to 60");
            }
            lessonConfig.fps = static_cast<int>(n);
        } else if (arg == "--out") {
            if (!value(out) || out.empty()) {
                return fail("--out needs a directory");
            }
        } else if (arg == "--board") {
            if (!value(v) || !rig::parseBoard(v, config.board)) {
                return fail("--board must be white, black or green");
            }
        } else if (arg == "--frames") {
            if (!value(v) || !parseInt(v, n) || n < 1 || n > 100000) {
                return fail("--frames needs a number from 1 to 100000");
            }
            config.frames = static_cast<int>(n);
        } else if (arg == "--still") {
            if (!value(v) || !parseInt(v, n) || n < 0 || n > 100000) {
                return fail("--still needs a number from 0 to 100000");
            }
            config.still = static_cast<int>(n);
        } else if (arg == "--presenter-scale") {
            double scale = 0.0;
            if (value(v)) {
                char* end = nullptr;
                scale = std::strtod(v.c_str(), &end);
                scale = end && *end == '\0' && !v.empty() ? scale : 0.0;
            }
            if (!(scale >= 1.0 && scale <= 3.0)) {
                return fail("--presenter-scale needs a number from 1 to 3");
            }
            config.presenterScale = scale;
        } else if (arg == "--seed") {
            if (!value(v) || !parseInt(v, n) || n < 0) {
                return fail("--seed needs a non-negative number");
            }
            config.seed = static_cast<std::uint64_t>(n);
        } else {
            return fail("unknown argument " + arg);
        }
    }
    if (out.empty()) {
        return fail("--out DIR is required");
    }
    std::string report;
    if (!rig::verifyGeometry(report)) {
        std::cerr << "brisel-rig: inconsistent geometry\n" << report;
        return 1;
    }
    std::cout << report;
    if (!rig::writeCalibData(out)) {
        return 1;
    }
    std::cout << "wrote " << out << "/calib_data" << std::endl;
    if (chessboard) {
        if (!rig::writeChessboardPhotos(out, config.seed)) {
            return 1;
        }
        std::cout << "wrote " << rig::chessboardPoses().size() << " chessboard photos to " << out
                  << "/chessboard" << std::endl;
        return 0;
    }
    if (lesson) {
        lessonConfig.board = config.board;
        lessonConfig.seed = config.seed;
        lessonConfig.noise = config.noise;
        if (!rig::writeLesson(out, lessonConfig)) {
            return 1;
        }
        std::cout << "wrote a lesson on a " << rig::boardName(config.board) << " board to " << out
                  << "/lesson_" << rig::boardName(config.board) << ".avi" << std::endl;
        return 0;
    }
    if (!rig::writeScene(out, config, video)) {
        return 1;
    }
    std::cout << "wrote " << config.frames << " frames of a " << rig::boardName(config.board)
              << " board to " << out << "/scene_" << rig::boardName(config.board) << std::endl;
    return 0;
}
