#include "board_enhancer.h"
#include "rig.h"
#include "test_support.h"
#include "tiny_store.h"

#include <opencv2/imgproc.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace {

// A 1 x n grey picture (all three channels equal) from the given levels.
cv::Mat row(const std::vector<int>& levels) {
    cv::Mat picture(1, static_cast<int>(levels.size()), CV_8UC3);
    for (size_t i = 0; i < levels.size(); ++i) {
        picture.at<cv::Vec3b>(0, static_cast<int>(i)) = cv::Vec3b::all(levels[i]);
    }
    return picture;
}

std::vector<int> levelsOf(const cv::Mat& picture, int channel = 0) {
    std::vector<int> levels;
    for (int x = 0; x < picture.cols; ++x) {
        levels.push_back(picture.at<cv::Vec3b>(0, x)[channel]);
    }
    return levels;
}

class BoardEnhancerTest : public ::testing::Test {
protected:
    void SetUp() override {
        tiny::enterScratchDirectory();
        tiny::layOutStore(CalibrationStore::instance());
    }
    BoardEnhancer enhancer;
};

cv::Mat randomCell(int seed) {
    cv::Mat cell(138, 186, CV_8UC3);
    cv::RNG rng(seed);
    rng.fill(cell, cv::RNG::UNIFORM, 0, 256);
    return cell;
}

// The detail map against the exact one (w x w Gaussian minus sigma 1.5) on cells of the
// rig's boards of every colour, dark ones inverted as the pipeline sees them: corners,
// edges and middle of the board, with the ends and the middle of the window range.
struct DetailCase {
    rig::Board board;
    int cell;
    int window;
};

TEST_F(BoardEnhancerTest, DetailMapStaysWithinHalfALevelOfTheExactOne) {
    constexpr double maxPixel = 1.0;
    constexpr double maxCellMean = 0.2;
    std::vector<int>& windows = CalibrationStore::instance().gaussianWindows;
    const std::vector<DetailCase> cases{
        {rig::Board::White, 18, 43},  {rig::Board::White, 760, 135}, {rig::Board::White, 7, 7},
        {rig::Board::Black, 100, 75}, {rig::Board::Black, 419, 135}, {rig::Board::Green, 61, 99},
        {rig::Board::Green, 799, 43},
    };
    for (const DetailCase& c : cases) {
        windows[c.cell] = c.window;
    }
    for (const DetailCase& c : cases) {
        rig::SceneConfig config;
        config.board = c.board;
        cv::Mat board = rig::Scene(config).truthBoard();
        if (c.board != rig::Board::White) {
            board = cv::Scalar::all(255) - board;
        }
        const cv::Size size(186, 138);
        for (const cv::Point at : {cv::Point(0, 0), cv::Point(board.cols - size.width, 400),
                                   cv::Point(700, board.rows - size.height)}) {
            const cv::Mat cell = board(cv::Rect(at, size));
            cv::Mat floats, wide, narrow;
            cell.convertTo(floats, CV_32F);
            cv::GaussianBlur(floats, wide, cv::Size(c.window, c.window), 0, 0,
                             cv::BORDER_REFLECT_101);
            cv::GaussianBlur(floats, narrow, cv::Size(0, 0), 1.5, 1.5, cv::BORDER_REFLECT_101);
            const cv::Mat detail = enhancer.detailMap(cell, c.cell);
            ASSERT_EQ(detail.type(), CV_32FC3);
            const cv::Mat difference = cv::abs(detail - (wide - narrow));
            const cv::Scalar mean = cv::mean(difference);
            EXPECT_LT(cv::norm(difference, cv::NORM_INF), maxPixel)
                << rig::boardName(c.board) << " window " << c.window << " at " << at;
            EXPECT_LT(std::max({mean[0], mean[1], mean[2]}), maxCellMean)
                << rig::boardName(c.board) << " window " << c.window << " at " << at;
        }
    }
}

TEST_F(BoardEnhancerTest, DetailMapOfAnUnknownCellFallsBackToWindowSeven) {
    const cv::Mat cell = randomCell(3);
    const cv::Mat expected = enhancer.detailMap(cell, -1);
    ConsoleCapture console;
    const cv::Mat detail = enhancer.detailMap(cell, 5000);
    EXPECT_NE(console.take().find("cell 5000"), std::string::npos);
    EXPECT_EQ(cv::norm(detail, expected, cv::NORM_INF), 0.0);
}

struct AdjustCase {
    int brightness;
    int contrast;
    std::vector<int> in;
    std::vector<int> out;
};

TEST_F(BoardEnhancerTest, BrightnessAndContrastFormulas) {
    const std::vector<AdjustCase> cases{
        {50, 0, {0, 255, 100}, {50, 255, 130}}, // 50 + v * 205 / 255
        {-50, 0, {0, 255, 100}, {0, 205, 80}},  // v * 205 / 255
        {0, 30, {127, 200, 0}, {127, 244, 0}},  // f = 131 * 157 / (127 * 101)
        {-81, 70, {255, 230, 200, 100}, {255, 227, 157, 0}},
        {0, -69, {0, 255, 127}, {89, 165, 127}}, // f = 131 * 58 / (127 * 200)
    };
    for (const AdjustCase& c : cases) {
        enhancer.brightness = c.brightness;
        enhancer.contrast = c.contrast;
        EXPECT_EQ(levelsOf(enhancer.adjustBrightnessContrast(row(c.in))), c.out)
            << "b " << c.brightness << " q " << c.contrast;
    }
}

TEST_F(BoardEnhancerTest, ContrastAtThePoleIsLeftOutNotDividedByZero) {
    enhancer.brightness = 0;
    enhancer.contrast = 131;
    ConsoleCapture console;
    const cv::Mat result = enhancer.adjustBrightnessContrast(row({10, 200}));
    EXPECT_NE(console.take().find("contrast 131"), std::string::npos);
    EXPECT_EQ(levelsOf(result), (std::vector<int>{10, 200}));
}

// Pixels: 0 content, 1 and 2 background. White board: detail 40, 0, 0 at gain 4 gives
// board levels 95, 255, 255; dark boards: detail 20, 0, 10 gives 95, 255, 175.
struct ComposeInputs {
    cv::Mat detail, live, colour;
    int brightness, contrast;
};

struct ComposeCase {
    const char* name;
    const ComposeInputs* in;
    int boardColor;
    int mode;
    bool ar;
    double arVal;
    std::vector<int> clean;
    std::vector<int> display;
};

TEST_F(BoardEnhancerTest, ComposeBranchesOfEveryBoard) {
    // Live mean 100: whitening adds 155.
    const ComposeInputs w{row({40, 0, 0}), row({100, 40, 160}), cv::Mat(), 0, 0};
    // Inverted camera 105, 155, 205; inverted board 200, 55, 155.
    const ComposeInputs d{row({20, 0, 10}), row({150, 100, 50}), row({55, 200, 100}), -81, 70};
    const std::vector<ComposeCase> cases{
        {"color, overlay off", &w, 1, 0, false, 0.5, {95, 255, 255}, {95, 255, 255}},
        // whitened 255, 195, 255; blended at 0.5 plus 1.1; content 95 put back
        {"color, overlay 0.5", &w, 1, 0, true, 0.5, {95, 255, 255}, {95, 226, 255}},
        // no whitening: 0.49 * D + 0.51 * live + 1.1
        {"color, overlay 0.49", &w, 1, 0, true, 0.49, {95, 255, 255}, {99, 146, 208}},
        {"color, overlay 0", &w, 1, 0, true, 0.0, {95, 255, 255}, {101, 41, 161}},
        {"color, overlay 1", &w, 1, 0, true, 1.0, {95, 255, 255}, {95, 255, 255}},
        {"bw, overlay off", &w, 1, 1, false, 0.5, {0, 255, 255}, {0, 255, 255}},
        {"bw, overlay 0.5", &w, 1, 1, true, 0.5, {0, 255, 255}, {0, 226, 255}},
        {"bw, overlay 0.3", &w, 1, 1, true, 0.3, {0, 255, 255}, {71, 106, 190}},
        {"original", &w, 1, 2, true, 0.5, {100, 40, 160}, {100, 40, 160}},
        {"black color, overlay off", &d, 0, 0, false, 0.5, {200, 0, 0}, {200, 0, 0}},
        {"black color, overlay 0.5", &d, 0, 0, true, 0.5, {200, 0, 0}, {200, 79, 104}},
        {"black color, overlay 0.4", &d, 0, 0, true, 0.4, {200, 0, 0}, {144, 94, 124}},
        {"black bw, overlay off", &d, 0, 1, false, 0.5, {0, 255, 0}, {0, 255, 0}},
        {"black bw, overlay 0.5", &d, 0, 1, true, 0.5, {255, 0, 255}, {181, 0, 231}},
        {"black bw, overlay 0.2", &d, 0, 1, true, 0.2, {255, 0, 255}, {136, 125, 216}},
        {"green bw, overlay off", &d, 2, 1, false, 0.5, {0, 255, 255}, {0, 255, 255}},
        {"black original", &d, 0, 2, true, 0.5, {105, 155, 205}, {105, 155, 205}},
        {"green original", &d, 2, 2, false, 0.5, {105, 155, 205}, {105, 155, 205}},
    };
    for (const ComposeCase& c : cases) {
        const std::vector<cv::Mat> out =
            enhancer.compose(c.in->live, c.in->detail, c.mode, c.ar, c.arVal, 4.0, c.in->brightness,
                             c.in->contrast, c.boardColor, c.in->colour);
        ASSERT_EQ(out.size(), 2u) << c.name;
        EXPECT_EQ(levelsOf(out[0]), c.clean) << c.name;
        EXPECT_EQ(levelsOf(out[1]), c.display) << c.name;
        if (!c.ar) {
            EXPECT_EQ(out[0].data, out[1].data) << c.name << ": one shared picture";
        }
    }
    EXPECT_EQ(levelsOf(w.live), (std::vector<int>{100, 40, 160})) << "live picture untouched";
    EXPECT_EQ(enhancer.brightness, 0);
    EXPECT_EQ(enhancer.contrast, 0);
}

TEST_F(BoardEnhancerTest, GreenBoardPaintsItsBackgroundWhateverTheBrightness) {
    const cv::Mat detail = row({20, 0, 10});
    const cv::Mat live = row({150, 100, 50});
    const cv::Mat colour = row({55, 200, 100});
    // brightness -31 + 81 = 50: content 200 becomes 50 + 200 * 205 / 255 = 211
    const std::vector<cv::Mat> out =
        enhancer.compose(live, detail, 0, false, 0.5, 4.0, -31, 70, 2, colour);
    EXPECT_EQ(out[0].at<cv::Vec3b>(0, 0), cv::Vec3b::all(211));
    EXPECT_EQ(out[0].at<cv::Vec3b>(0, 1), cv::Vec3b(0, 80, 0));
    EXPECT_EQ(out[0].at<cv::Vec3b>(0, 2), cv::Vec3b(0, 80, 0));
    EXPECT_EQ(enhancer.brightness, 50);

    // Two-level with the overlay: black content on (0, 80, 0), blended with the
    // inverted live picture 105, 155, 205; the content pixel is put back.
    const std::vector<cv::Mat> bw =
        enhancer.compose(live, detail, 1, true, 0.5, 4.0, -81, 70, 2, colour);
    EXPECT_EQ(bw[0].at<cv::Vec3b>(0, 0), cv::Vec3b(0, 0, 0));
    EXPECT_EQ(bw[0].at<cv::Vec3b>(0, 1), cv::Vec3b(0, 80, 0));
    EXPECT_EQ(bw[1].at<cv::Vec3b>(0, 0), cv::Vec3b(0, 0, 0));
    EXPECT_EQ(bw[1].at<cv::Vec3b>(0, 1), cv::Vec3b(79, 119, 79));
    EXPECT_EQ(bw[1].at<cv::Vec3b>(0, 2), cv::Vec3b(104, 144, 104));
}

TEST_F(BoardEnhancerTest, ZeroDetailsGiveAUniformWhiteBoard) {
    cv::Mat detail(20, 30, CV_8UC3);
    cv::randu(detail, 0, 256);
    const std::vector<cv::Mat> out = enhancer.compose(cv::Mat(20, 30, CV_8UC3, cv::Scalar::all(9)),
                                                      detail, 0, false, 0.5, 0.0, -81, 70, 1, {});
    EXPECT_EQ(cv::countNonZero(out[0].reshape(1) != 255), 0);
}

// Patching the board picture where the detail changed gives what a whole compose of
// the new detail gives, in every colour, mode and overlay.
TEST_F(BoardEnhancerTest, RegionPatchMatchesAWholeCompose) {
    cv::RNG rng(5);
    cv::Mat live(24, 32, CV_8UC3), colour(24, 32, CV_8UC3), detail(24, 32, CV_8UC3);
    rng.fill(live, cv::RNG::UNIFORM, 0, 256);
    rng.fill(colour, cv::RNG::UNIFORM, 0, 256);
    rng.fill(detail, cv::RNG::UNIFORM, 0, 60);
    const cv::Rect region(5, 3, 11, 9);
    cv::Mat changed = detail.clone();
    rng.fill(changed(region), cv::RNG::UNIFORM, 0, 60);
    for (int boardColor : {0, 1, 2}) {
        for (int mode : {0, 1, 2}) {
            for (bool ar : {false, true}) {
                BoardEnhancer patched;
                patched.compose(live, detail, mode, ar, 0.5, 4.0, -60, 80, boardColor, colour);
                ASSERT_TRUE(patched.recomposeBoardRegion(changed, colour, live, region));
                ASSERT_TRUE(patched.recomposeBoardRegion(changed, colour, live, cv::Rect()));
                const std::vector<cv::Mat> got = patched.recomposeDisplay(live);
                const std::vector<cv::Mat> want = enhancer.compose(
                    live, changed, mode, ar, 0.5, 4.0, -60, 80, boardColor, colour);
                for (int i : {0, 1}) {
                    EXPECT_EQ(cv::norm(got[i], want[i], cv::NORM_INF), 0.0)
                        << "colour " << boardColor << " mode " << mode << " ar " << ar << " output "
                        << i;
                }
            }
        }
    }
}

TEST_F(BoardEnhancerTest, MissingColourPictureFallsBackToTheLivePicture) {
    ConsoleCapture console;
    const std::vector<cv::Mat> out =
        enhancer.compose(row({150, 100}), row({20, 0}), 0, false, 0.5, 4.0, -81, 70, 0, {});
    EXPECT_FALSE(console.take().empty());
    EXPECT_EQ(levelsOf(out[0]), (std::vector<int>{105, 0}));
}

} // namespace
