// brisel-detail-bench: ways of computing the detail map's wide blur, on the rig's still
// scene of every board colour. One line per way and scene:
//   name board min_ms median_ms max_px max_cell psnr_db f1
// ms: CPU time of the detail maps of all board cells of one frame, on one core;
// max_px / max_cell: the largest difference from the exact map per pixel and of a cell's
// mean; psnr_db / f1: the straightened board ("Color", no overlay, default settings)
// against the true board, and its ink against the true ink.
// "pipeline" is what BoardEnhancer computes. Usage: [--rig DIR] [--only NAME] [--runs N]

#include "board_calibrator.h"
#include "board_enhancer.h"
#include "calibration_store.h"
#include "rig.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <functional>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr double narrowSigma = 1.5;
// A true-board pixel this far from the surface colour (any channel) is ink.
constexpr double inkDistance = 50;
constexpr double contentLevel = 230;

using WideBlur = std::function<void(const cv::Mat& floats, int window, cv::Mat& wide)>;

double sigmaOf(int window) {
    return 0.3 * ((window - 1) * 0.5 - 1) + 0.8;
}

void exact(const cv::Mat& floats, int window, cv::Mat& wide) {
    const cv::Mat kernel = cv::getGaussianKernel(window, 0, CV_64F);
    cv::Mat columns;
    cv::filter2D(floats, columns, -1, kernel, cv::Point(-1, -1), 0, cv::BORDER_REFLECT_101);
    cv::Mat transposed = columns.t();
    cv::Mat rows;
    cv::filter2D(transposed, rows, -1, kernel, cv::Point(-1, -1), 0, cv::BORDER_REFLECT_101);
    wide = rows.t();
}

void separable(const cv::Mat& floats, int window, cv::Mat& wide) {
    const cv::Mat kernel = cv::getGaussianKernel(window, 0, CV_32F);
    cv::sepFilter2D(floats, wide, -1, kernel, kernel, cv::Point(-1, -1), 0, cv::BORDER_REFLECT_101);
}

// Shrunk by `factor` (area average), blurred there, enlarged bilinearly; the blur left to
// do is what the shrinking (variance (f^2 - 1) / 12) and `enlargeShare` of the
// enlargement's (f^2 / 6) have not done.
WideBlur reduced(int factor, double enlargeShare, int border = cv::BORDER_REFLECT_101) {
    return [=](const cv::Mat& floats, int window, cv::Mat& wide) {
        const double f = factor;
        const double sigma = sigmaOf(window);
        const double done = (f * f - 1) / 12 + enlargeShare * f * f / 6;
        const double rest = std::sqrt(std::max(sigma * sigma - done, 0.25)) / f;
        const cv::Size small((floats.cols + factor - 1) / factor,
                             (floats.rows + factor - 1) / factor);
        cv::Mat shrunk, blurred;
        cv::resize(floats, shrunk, small, 0, 0, cv::INTER_AREA);
        cv::GaussianBlur(shrunk, blurred, cv::Size(0, 0), rest, rest, border);
        cv::resize(blurred, wide, floats.size(), 0, 0, cv::INTER_LINEAR);
    };
}

// The factor grows with the window: about `perSigma` small pixels per sigma.
WideBlur reducedAdaptive(double perSigma, double enlargeShare,
                         int border = cv::BORDER_REFLECT_101) {
    return [=](const cv::Mat& floats, int window, cv::Mat& wide) {
        const int factor = std::max(1, static_cast<int>(sigmaOf(window) / perSigma));
        reduced(factor, enlargeShare, border)(floats, window, wide);
    };
}

// n box filters whose widths add up to the Gaussian's variance (Wells, 1986).
WideBlur boxes(int n) {
    return [=](const cv::Mat& floats, int window, cv::Mat& wide) {
        const double sigma = sigmaOf(window);
        int lower = static_cast<int>(std::sqrt(12 * sigma * sigma / n + 1));
        lower -= lower % 2 == 0 ? 1 : 0;
        const int upper = lower + 2;
        const int m = static_cast<int>(
            std::lround((12 * sigma * sigma - n * lower * lower - 4.0 * n * lower - 3.0 * n) /
                        (-4.0 * lower - 4)));
        cv::Mat a = floats, b;
        for (int i = 0; i < n; ++i) {
            const int w = i < m ? lower : upper;
            cv::boxFilter(a, b, -1, cv::Size(w, w), cv::Point(-1, -1), true,
                          cv::BORDER_REFLECT_101);
            a = b.clone();
        }
        wide = a;
    };
}

// No wide blur at all: the cost of the rest of the detail map.
void none(const cv::Mat& floats, int, cv::Mat& wide) {
    wide = floats;
}

// As reduced, on the cell grown by its reflection (as the exact blur's border sees it)
// far enough that the shrunk copy's own borders stay out of reach.
WideBlur reducedPadded(double perSigma, double enlargeShare) {
    return [=](const cv::Mat& floats, int window, cv::Mat& wide) {
        const double sigma = sigmaOf(window);
        const int factor = std::max(1, static_cast<int>(sigma / perSigma));
        const int reach = (window - 1) / 2 + 2 * factor;
        const auto padTo = [&](int n) {
            const int total = n + 2 * reach;
            return (total + factor - 1) / factor * factor - n;
        };
        const int padX = padTo(floats.cols), padY = padTo(floats.rows);
        cv::Mat padded;
        cv::copyMakeBorder(floats, padded, padY / 2, padY - padY / 2, padX / 2, padX - padX / 2,
                           cv::BORDER_REFLECT_101);
        const double f = factor;
        const double done = (f * f - 1) / 12 + enlargeShare * f * f / 6;
        const double rest = std::sqrt(std::max(sigma * sigma - done, 0.25)) / f;
        cv::Mat shrunk, blurred;
        cv::resize(padded, shrunk, cv::Size(padded.cols / factor, padded.rows / factor), 0, 0,
                   cv::INTER_AREA);
        cv::GaussianBlur(shrunk, blurred, cv::Size(0, 0), rest, rest, cv::BORDER_REFLECT_101);
        // Small pixel (x + 0.5) / f - 0.5 of the padded picture for cell pixel x.
        const cv::Mat toSmall = (cv::Mat_<double>(2, 3) << 1 / f, 0, (padX / 2 + 0.5) / f - 0.5, 0,
                                 1 / f, (padY / 2 + 0.5) / f - 0.5);
        cv::warpAffine(blurred, wide, toSmall, floats.size(),
                       cv::INTER_LINEAR | cv::WARP_INVERSE_MAP, cv::BORDER_REPLICATE);
    };
}

// The narrow blur sampled on a coarse grid whose first and last points are the cell's
// first and last pixels (so the reflection at the cell's border is the coarse grid's
// own), blurred by what the narrow blur has not done, then interpolated back.
WideBlur sampled(double perSigma, int upInterpolation) {
    return [=](const cv::Mat& floats, int window, cv::Mat& wide) {
        const double sigma = sigmaOf(window);
        const double factor = std::max(1.0, sigma / perSigma);
        cv::Mat narrow;
        cv::GaussianBlur(floats, narrow, cv::Size(0, 0), narrowSigma, narrowSigma,
                         cv::BORDER_REFLECT_101);
        const auto points = [&](int n) {
            return std::max(2, static_cast<int>(std::ceil((n - 1) / factor)) + 1);
        };
        const cv::Size small(points(floats.cols), points(floats.rows));
        const double sx = (floats.cols - 1.0) / (small.width - 1);
        const double sy = (floats.rows - 1.0) / (small.height - 1);
        const cv::Mat down = (cv::Mat_<double>(2, 3) << sx, 0, 0, 0, sy, 0);
        cv::Mat coarse, blurred;
        cv::warpAffine(narrow, coarse, down, small, cv::INTER_LINEAR | cv::WARP_INVERSE_MAP,
                       cv::BORDER_REPLICATE);
        const double rest = std::sqrt(sigma * sigma - narrowSigma * narrowSigma);
        cv::GaussianBlur(coarse, blurred, cv::Size(0, 0), rest / sx, rest / sy,
                         cv::BORDER_REFLECT_101);
        const cv::Mat up = (cv::Mat_<double>(2, 3) << 1 / sx, 0, 0, 0, 1 / sy, 0);
        cv::warpAffine(blurred, wide, up, floats.size(), upInterpolation | cv::WARP_INVERSE_MAP,
                       cv::BORDER_REPLICATE);
    };
}

struct Candidate {
    std::string name;
    WideBlur wide; // empty: the pipeline's own detail map
};

struct Cells {
    rig::Board board;
    cv::Mat truth;
    std::vector<cv::Mat> pictures; // lens-corrected board cells, as the pipeline sees them
};

Cells lensCorrectedCells(rig::Board board) {
    const CalibrationStore& store = CalibrationStore::instance();
    rig::SceneConfig config;
    config.board = board;
    config.frames = 1;
    config.still = 1;
    const rig::Scene scene(config);
    cv::Mat frame = scene.frame(0);
    if (board != rig::Board::White) {
        frame = cv::Scalar(255, 255, 255, 0) - frame;
    }
    Cells cells{board, scene.truthBoard(), {}};
    for (int k : store.boardGrids) {
        cv::Mat cell;
        cv::remap(frame, cell, store.fisheyeMaps1[k], store.fisheyeMaps2[k], cv::INTER_LINEAR,
                  cv::BORDER_CONSTANT, cv::Scalar());
        cells.pictures.push_back(cell);
    }
    return cells;
}

cv::Mat detailOf(const Candidate& c, const BoardEnhancer& enhancer, const cv::Mat& cell,
                 int window) {
    if (!c.wide) {
        return enhancer.detailMapWithWindow(cell, window);
    }
    cv::Mat floats, wide, narrow, detail;
    cell.convertTo(floats, CV_32F);
    c.wide(floats, window, wide);
    cv::GaussianBlur(floats, narrow, cv::Size(0, 0), narrowSigma, narrowSigma,
                     cv::BORDER_REFLECT_101);
    cv::subtract(wide, narrow, detail);
    return detail;
}

double f1Score(const cv::Mat& found, const cv::Mat& truth) {
    const double hits = cv::countNonZero(found & truth);
    const double precision = hits / std::max(1, cv::countNonZero(found));
    const double recall = hits / std::max(1, cv::countNonZero(truth));
    return precision + recall > 0 ? 2 * precision * recall / (precision + recall) : 0;
}

// CPU time of this thread: what a candidate costs, whatever else runs on the machine.
double cpuMilliseconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

void measure(const Candidate& c, const Cells& cells, int runs) {
    const CalibrationStore& store = CalibrationStore::instance();
    BoardEnhancer enhancer;
    std::vector<cv::Mat> maps(cells.pictures.size());
    std::vector<double> ms;
    for (int run = 0; run < runs; ++run) {
        const double start = cpuMilliseconds();
        for (size_t i = 0; i < maps.size(); ++i) {
            maps[i] = detailOf(c, enhancer, cells.pictures[i],
                               store.gaussianWindows[store.boardGrids[i]]);
        }
        ms.push_back(cpuMilliseconds() - start);
    }
    std::sort(ms.begin(), ms.end());
    double maxPixel = 0, maxCell = 0;
    const Candidate reference{"exact", exact};
    cv::Mat detailCanvas = cv::Mat::zeros(store.map1.size(), CV_8UC3);
    cv::Mat colourCanvas = cv::Mat::zeros(store.map1.size(), CV_8UC3);
    for (size_t i = 0; i < maps.size(); ++i) {
        const int k = store.boardGrids[i];
        const cv::Mat want =
            detailOf(reference, enhancer, cells.pictures[i], store.gaussianWindows[k]);
        const cv::Mat diff = cv::abs(maps[i] - want);
        maxPixel = std::max(maxPixel, cv::norm(diff, cv::NORM_INF));
        const cv::Scalar mean = cv::mean(diff);
        maxCell = std::max(maxCell, std::max({mean[0], mean[1], mean[2]}));
        cv::Mat target = detailCanvas(store.canvasCells[k]);
        maps[i].convertTo(target, CV_8U);
        cells.pictures[i].copyTo(colourCanvas(store.canvasCells[k]));
    }
    const cv::Size size(store.homographyWidth, store.homographyHeight);
    cv::Mat detail, colour;
    cv::warpPerspective(detailCanvas, detail, store.homography, size);
    cv::warpPerspective(colourCanvas, colour, store.homography, size);
    const int board = static_cast<int>(cells.board);
    const cv::Mat clean =
        enhancer.compose(colour, detail, 0, false, 0.5, 4.0, -81, 70, board, colour)[0];
    const cv::Rect inner(size.width / 50, size.height / 50, size.width * 24 / 25,
                         size.height * 24 / 25);
    cv::Mat found;
    if (cells.board == rig::Board::White) {
        cv::Mat grey;
        cv::cvtColor(clean, grey, cv::COLOR_BGR2GRAY);
        found = grey <= contentLevel;
    } else {
        cv::Mat away;
        cv::absdiff(clean, board == 0 ? cv::Scalar::all(0) : enhancer.greenBackground, away);
        cv::cvtColor(away, away, cv::COLOR_BGR2GRAY);
        found = away > 0;
    }
    cv::Mat inkDiff;
    cv::absdiff(cells.truth, rig::palette(cells.board).surface, inkDiff);
    std::vector<cv::Mat> channels;
    cv::split(inkDiff, channels);
    const cv::Mat truthInk = cv::max(cv::max(channels[0], channels[1]), channels[2]) > inkDistance;
    std::printf("%s %s %.1f %.1f %.2f %.3f %.3f %.4f\n", c.name.c_str(),
                rig::boardName(cells.board).c_str(), ms.front(), ms[ms.size() / 2], maxPixel,
                maxCell, rig::psnr(clean(inner), cells.truth(inner)),
                f1Score(found(inner), truthInk(inner)));
    std::fflush(stdout);
}

bool calibrate(const fs::path& dir) {
    fs::current_path(dir);
    rig::SceneConfig config;
    config.frames = 1;
    return rig::calibrateAtTrueCorners(rig::Scene(config).frame(0));
}

} // namespace

int main(int argc, char** argv) {
    fs::path dir = fs::temp_directory_path() / "brisel-detail-bench-rig";
    std::string only;
    int runs = 5;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string arg = argv[i];
        if (arg == "--rig") {
            dir = fs::absolute(argv[i + 1]);
        } else if (arg == "--only") {
            only = argv[i + 1];
        } else if (arg == "--runs") {
            runs = std::max(1, std::atoi(argv[i + 1]));
        }
    }
    fs::create_directories(dir);
    std::ostringstream discard;
    std::streambuf* console = std::cout.rdbuf(discard.rdbuf());
    if (!rig::writeCalibData(dir.string()) || !calibrate(dir)) {
        std::cout.rdbuf(console);
        std::cerr << "could not calibrate the rig in " << dir << std::endl;
        return 1;
    }
    cv::setNumThreads(1);
    const std::vector<Candidate> candidates{
        {"none", none},
        {"exact", exact},
        {"separable", separable},
        {"reduced4", reduced(4, 0.5)},
        {"reduced_sigma2", reducedAdaptive(2, 0.5)},
        {"reduced_sigma2_reflect", reducedAdaptive(2, 0.5, cv::BORDER_REFLECT)},
        {"padded_sigma3", reducedPadded(3, 0.5)},
        {"sampled_sigma3", sampled(3, cv::INTER_LINEAR)},
        {"boxes3", boxes(3)},
        {"boxes4", boxes(4)},
        {"pipeline", {}},
    };
    std::vector<Cells> scenes;
    for (rig::Board board : {rig::Board::White, rig::Board::Black, rig::Board::Green}) {
        scenes.push_back(lensCorrectedCells(board));
    }
    std::cout.rdbuf(console);
    std::printf("name board min_ms median_ms max_px max_cell psnr_db f1\n");
    for (const Candidate& c : candidates) {
        if (!only.empty() && c.name != only) {
            continue;
        }
        for (const Cells& cells : scenes) {
            std::cout.rdbuf(discard.rdbuf());
            measure(c, cells, runs);
            std::cout.rdbuf(console);
        }
    }
    return 0;
}
