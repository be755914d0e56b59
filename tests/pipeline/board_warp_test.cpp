// BoardWarp's table against cv::warpPerspective itself: every pixel, on random
// homographies and on board pictures whose sizes cut OpenCV's blocks unevenly.
#include "board_warp.h"
#include "cell_grid.h"

#include <opencv2/imgproc.hpp>

#include <gtest/gtest.h>

#include <cmath>
#include <numeric>

namespace {

// Canvas -> board picture: a random scale, rotation, shift and perspective.
cv::Mat randomHomography(cv::RNG& rng, const cv::Size& canvas) {
    const double angle = rng.uniform(-0.3, 0.3);
    const double scale = rng.uniform(0.3, 2.5);
    cv::Mat h = (cv::Mat_<double>(3, 3) << scale * std::cos(angle), -scale * std::sin(angle),
                 rng.uniform(-0.3, 0.3) * canvas.width, scale * std::sin(angle),
                 scale * std::cos(angle), rng.uniform(-0.3, 0.3) * canvas.height,
                 rng.uniform(-4e-4, 4e-4), rng.uniform(-4e-4, 4e-4), 1.0);
    return h;
}

struct WarpCase {
    const char* name;
    cv::Size board;
};

class BoardWarpTest : public testing::TestWithParam<WarpCase> {};

TEST_P(BoardWarpTest, EqualsWarpPerspectiveEverywhere) {
    const cv::Size canvasSize(744, 276);
    cv::Mat canvas(canvasSize, CV_8UC3);
    cv::RNG rng(11);
    rng.fill(canvas, cv::RNG::UNIFORM, 0, 256);
    const std::vector<cv::Rect> cells = cell_grid::layCells(canvasSize.width, canvasSize.height);
    std::vector<int> all(cells.size());
    std::iota(all.begin(), all.end(), 0);
    const cv::Size board = GetParam().board;
    for (int trial = 0; trial < 8; ++trial) {
        const cv::Mat h = randomHomography(rng, canvasSize);
        BoardWarp warp;
        warp.prepare(h, board, cells, all, canvasSize);
        cv::Mat table, reference;
        warp.warpAll(canvas, table);
        cv::warpPerspective(canvas, reference, h, board, cv::INTER_LINEAR, cv::BORDER_CONSTANT,
                            cv::Scalar());
        ASSERT_EQ(table.size(), reference.size());
        EXPECT_EQ(cv::norm(table, reference, cv::NORM_INF), 0.0) << "trial " << trial << "\n" << h;
        // Redoing the pixels of a few cells over a stale picture gives the same pixels.
        cv::Mat patched = reference.clone();
        const std::vector<int> some{0, 41, 417, 799};
        const cv::Rect region = warp.footprintOf(some);
        if (!region.empty()) {
            patched(region).setTo(cv::Scalar::all(0));
            warp.warpCells(canvas, patched, some);
            EXPECT_EQ(cv::norm(patched, reference, cv::NORM_INF), 0.0) << "trial " << trial;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    BoardWarp, BoardWarpTest,
    testing::Values(WarpCase{"Board1920x1280", {1920, 1280}}, WarpCase{"Width100Height7", {100, 7}},
                    WarpCase{"Width130Height15", {130, 15}}, WarpCase{"Width1Height1", {1, 1}},
                    WarpCase{"Width1921Height13", {1921, 13}},
                    WarpCase{"Width65Height300", {65, 300}},
                    WarpCase{"Width2000Height1", {2000, 1}}),
    [](const testing::TestParamInfo<WarpCase>& i) { return std::string(i.param.name); });

} // namespace
