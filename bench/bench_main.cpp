// brisel-bench: per-frame cost of the pipeline on the synthetic rig's 4K scenes.
// Prints "name mean_ms p95_ms" per scenario, then the lecture speed-up over a naive
// whole-frame pipeline measured in the same run, and the peak resident memory.

#include "board_calibrator.h"
#include "board_enhancer.h"
#include "calibration_store.h"
#include "frame_processor.h"
#include "rig.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iostream>
#include <memory>
#include <numeric>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr int stillFrames = 16;
constexpr int presenterFrames = 24;
constexpr int rebuildRuns = 5;
constexpr int naiveWindow = 75;

struct Timing {
    double mean = 0;
    double p95 = 0;
};

Timing summarise(std::vector<double> ms) {
    Timing t;
    if (ms.empty()) {
        return t;
    }
    t.mean = std::accumulate(ms.begin(), ms.end(), 0.0) / ms.size();
    std::sort(ms.begin(), ms.end());
    t.p95 = ms[std::min(ms.size() - 1, static_cast<size_t>(std::ceil(0.95 * ms.size())) - 1)];
    return t;
}

template <typename F> double millisecondsOf(F&& f) {
    const auto start = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

// Frames of one board's scene on disk, generated on first use and kept for later runs.
class SceneFiles {
public:
    SceneFiles(const fs::path& dir, rig::Board board) : board(board) {
        folder = dir / ("scene_" + rig::boardName(board));
        if (!fs::exists(folder / name(stillFrames + presenterFrames - 1))) {
            std::cerr << "rendering the " << rig::boardName(board) << " scene ..." << std::endl;
            rig::SceneConfig config;
            config.board = board;
            config.frames = stillFrames + presenterFrames;
            config.still = stillFrames;
            config.seed = 1;
            if (!rig::writeScene(dir.string(), config, rig::VideoConfig{})) {
                std::cerr << "could not write the scene" << std::endl;
                std::exit(1);
            }
        }
    }

    cv::Mat frame(int i) const { return cv::imread((folder / name(i)).string(), cv::IMREAD_COLOR); }

    rig::Board board;

private:
    static std::string name(int i) {
        char text[32];
        std::snprintf(text, sizeof(text), "f_%04d.png", i);
        return text;
    }
    fs::path folder;
};

// Runs frames first ... last-1 through the processor, timing those from `timedFrom` on.
std::vector<double> timeFrames(FrameProcessor& processor, const SceneFiles& scene, int first,
                               int last, int timedFrom) {
    std::vector<double> ms;
    for (int i = first; i < last; ++i) {
        const cv::Mat frame = scene.frame(i);
        const double t = millisecondsOf([&] { processor.processFrame(frame); });
        if (i >= timedFrom) {
            ms.push_back(t);
        }
    }
    return ms;
}

// What one would write without cells or motion: the whole frame lens-corrected and
// warped, one detail map over the whole board picture, then compose.
std::vector<double> timeNaive(const SceneFiles& scene, int first, int last) {
    const CalibrationStore& store = CalibrationStore::instance();
    BoardEnhancer enhancer;
    const cv::Size board(store.homographyWidth, store.homographyHeight);
    std::vector<double> ms;
    cv::Mat copy, canvas, live, detail, detail8;
    for (int i = first; i < last; ++i) {
        const cv::Mat frame = scene.frame(i);
        ms.push_back(millisecondsOf([&] {
            frame.copyTo(copy);
            cv::remap(copy, canvas, store.map1, store.map2, cv::INTER_LINEAR, cv::BORDER_CONSTANT);
            cv::warpPerspective(canvas, live, store.homography, board, cv::INTER_LINEAR,
                                cv::BORDER_CONSTANT);
            enhancer.detailMapWithWindow(live, naiveWindow).convertTo(detail8, CV_8U);
            enhancer.compose(live, detail8, 0, true, 0.5, 4.0, -81, 70, 1, cv::Mat());
        }));
    }
    return ms;
}

void print(const std::string& name, const Timing& t) {
    std::printf("%s %.2f %.2f\n", name.c_str(), t.mean, t.p95);
    std::fflush(stdout);
}

// A new processor per scenario, as after a start: its first detection sees no motion.
std::unique_ptr<FrameProcessor> freshProcessor(rig::Board board) {
    auto processor = std::make_unique<FrameProcessor>();
    processor->setBoardColor(static_cast<int>(board));
    processor->requestRebuild();
    return processor;
}

bool prepareCalibration(const fs::path& dir, const SceneFiles& white) {
    fs::current_path(dir);
    BoardCalibrator calibrator;
    calibrator.undistortForCalibration(white.frame(0));
    const std::array<cv::Point2f, 4> corners = rig::cornerFractions();
    if (!calibrator.calibrate(std::vector<cv::Point2f>(corners.begin(), corners.end()))) {
        return false;
    }
    CalibrationStore::instance().reload();
    return CalibrationStore::instance().hasLensMaps() &&
           CalibrationStore::instance().hasCalibration();
}

} // namespace

int main(int argc, char** argv) {
    fs::path dir = fs::temp_directory_path() / "brisel-bench-rig";
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::string(argv[i]) == "--rig") {
            dir = fs::absolute(argv[i + 1]);
        }
    }
    fs::create_directories(dir);
    if (!rig::writeCalibData(dir.string())) {
        std::cerr << "could not write the rig's calib_data into " << dir << std::endl;
        return 1;
    }
    const SceneFiles white(dir, rig::Board::White);
    const SceneFiles black(dir, rig::Board::Black);
    const SceneFiles green(dir, rig::Board::Green);
    // The pipeline's console lines are dropped; the table goes to standard output.
    std::cout.flush();
    std::ostringstream discard;
    std::streambuf* console = std::cout.rdbuf(discard.rdbuf());
    if (!prepareCalibration(dir, white)) {
        std::cout.rdbuf(console);
        std::cerr << "could not calibrate the rig in " << dir << std::endl;
        return 1;
    }

    const int end = stillFrames + presenterFrames;
    std::vector<std::pair<std::string, Timing>> rows;
    for (const SceneFiles* scene : {&white, &black, &green}) {
        auto processor = freshProcessor(scene->board);
        // Frame 0 rebuilds and frame 1 may still consume its marks.
        rows.emplace_back("still_" + rig::boardName(scene->board),
                          summarise(timeFrames(*processor, *scene, 0, stillFrames, 2)));
        discard.str("");
    }
    for (const SceneFiles* scene : {&white, &black}) {
        auto processor = freshProcessor(scene->board);
        timeFrames(*processor, *scene, stillFrames - 4, stillFrames, end);
        rows.emplace_back("presenter_" + rig::boardName(scene->board),
                          summarise(timeFrames(*processor, *scene, stillFrames, end, 0)));
        discard.str("");
    }
    {
        auto processor = freshProcessor(rig::Board::White);
        std::vector<double> ms;
        const cv::Mat frame = white.frame(0);
        for (int run = 0; run < rebuildRuns; ++run) {
            processor->requestRebuild();
            ms.push_back(millisecondsOf([&] { processor->processFrame(frame); }));
        }
        rows.emplace_back("rebuild_white", summarise(ms));
    }
    const Timing lecture =
        summarise(timeFrames(*freshProcessor(rig::Board::White), white, 0, end, 1));
    rows.emplace_back("lecture_white", lecture);
    const Timing naive = summarise(timeNaive(white, 1, end));
    rows.emplace_back("naive_lecture_white", naive);
    discard.str("");

    std::cout.rdbuf(console);
    for (const auto& [name, timing] : rows) {
        print(name, timing);
    }
    std::printf("speedup_lecture %.1f\n", naive.mean / lecture.mean);
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("peak_rss_mb %ld\n", usage.ru_maxrss / 1024);
    return 0;
}
