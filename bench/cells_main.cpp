// brisel-cells-bench: load-time cost of checking every cell's map entries against its
// source window and growing the windows that do not cover them, on the rig's lens and
// on a stronger one. Prints "lens grown median_ms min_ms max_ms" per lens.

#include "cell_grid.h"
#include "lens_maps.h"
#include "rig.h"

#include <algorithm>
#include <chrono>
#include <iostream>
#include <vector>

namespace {

constexpr int runs = 15;

void measure(const char* name, const rig::Camera& lens) {
    cv::Mat map1, map2;
    lens_maps::makeFullMaps(lens.k, lens.d, map1, map2);
    const cv::Mat padded = lens_maps::padMap(map1);
    const std::vector<cv::Rect> cells = cell_grid::layCells(padded.cols, padded.rows);
    const cv::Size frame(lens_maps::fullFrameWidth, lens_maps::fullFrameHeight);
    std::vector<double> ms;
    int grown = 0;
    for (int i = 0; i < runs; ++i) {
        std::vector<cv::Rect> windows = cell_grid::sourceCells(frame.width, frame.height);
        const auto start = std::chrono::steady_clock::now();
        grown = cell_grid::growSourceCells(padded, lens_maps::padRows, cells, frame, windows);
        ms.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count());
    }
    std::sort(ms.begin(), ms.end());
    std::cout << name << " " << grown << " " << ms[ms.size() / 2] << " " << ms.front() << " "
              << ms.back() << std::endl;
}

} // namespace

int main() {
    std::cout << "lens grown median_ms min_ms max_ms" << std::endl;
    measure("rig", rig::camera());
    rig::Camera stronger = rig::camera();
    stronger.d = (cv::Mat_<double>(4, 1) << 0.3, 0.05, 0.0, 0.0);
    measure("stronger", stronger);
    return 0;
}
