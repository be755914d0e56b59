// CalibrationStore: loading the rig's calib_data, the cell geometry at the edges, the
// per-cell tiles, the region tables, reload(), the XML files and every bad input.
#include "calibration_files.h"
#include "calibration_store.h"
#include "cell_grid.h"
#include "lens_maps.h"
#include "test_rig.h"

#include <gtest/gtest.h>
#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <fstream>
#include <functional>
#include <sstream>

namespace {

int countContaining(const std::string& text, const std::string& part) {
    int n = 0;
    for (const std::string& l : lines(text)) {
        n += l.find(part) != std::string::npos ? 1 : 0;
    }
    return n;
}

std::string cornersXml(const std::array<cv::Point2f, 4>& c) {
    std::ostringstream s;
    s << "<?xml version=\"1.0\"?>\n<opencv_storage>\n";
    const char* keys[] = {"TopLeft", "TopRight", "BottomRight", "BottomLeft"};
    for (int i = 0; i < 4; ++i) {
        s << "<" << keys[i] << ">" << c[i].x << " " << c[i].y << "</" << keys[i] << ">\n";
    }
    s << "</opencv_storage>\n";
    return s.str();
}

std::array<cv::Point, 4> rounded(const std::array<cv::Point2f, 4>& c) {
    std::array<cv::Point, 4> r;
    for (int i = 0; i < 4; ++i) {
        r[i] = cv::Point(cvRound(c[i].x), cvRound(c[i].y));
    }
    return r;
}

// The process-wide store (made in main) holds the rig's lens files; the read-only tests
// of this file share it (loading takes a moment).
const CalibrationStore& rigStore() {
    return loadRigStore();
}

void expectNoLensMaps(const CalibrationStore& s) {
    EXPECT_FALSE(s.hasLensMaps());
    EXPECT_TRUE(s.boardGrids.empty());
    EXPECT_EQ(s.roisMapSmall.size(), 800u);
    EXPECT_EQ(s.gaussianWindows.size(), 800u);
    EXPECT_EQ(s.sourceCells.size(), 800u);
    for (const cv::Rect& r : s.roisMapSmall) {
        EXPECT_TRUE((r & cv::Rect(0, 0, 1240, 460)) == r);
    }
}

} // namespace

TEST(CalibrationStore, LoadsTheRigWithTheConsoleLinesInOrder) {
    ScopedWorkDir work("console");
    work.linkRigCalibData();
    ConsoleCapture console;
    const auto store = CalibrationStoreTestAccess::load();
    const std::vector<std::string> out = lines(console.take());
    ASSERT_EQ(out.size(), 9u);
    EXPECT_EQ(out[0].rfind("current path: ", 0), 0u);
    EXPECT_NE(out[0].find(work.path()), std::string::npos);
    EXPECT_EQ(out[1], "CV_16SC2: 11 CV_16SC1: 2");
    EXPECT_EQ(out[2], "reading maps done...... MAP1 type: 11 MAP2 type: 2");
    EXPECT_EQ(out[3], "FISHEYE_MAPS1 sizes : 800");
    EXPECT_EQ(out[4], "FISHEYE_MAPS2 sizes : 800");
    EXPECT_EQ(out[5], "lens maps: 40 cells needed a larger source window");
    EXPECT_EQ(out[6], "ROIS_MAP_SMALL sizes : 800");
    // No board_corners.xml: the margins alone give a few top-left cells (reaching the
    // padding rows, which is not reported without stored corners).
    EXPECT_EQ(out[7].rfind("Total Grids : 800 Final grids size : ", 0), 0u);
    EXPECT_EQ(out[8], "gaussian window sizes : 800");
    EXPECT_TRUE(store->hasLensMaps());
    EXPECT_FALSE(store->hasCalibration());
    EXPECT_TRUE(store->homography.empty());
    EXPECT_EQ(store->homographyWidth, 0);
    EXPECT_EQ(store->homographyHeight, 0);
    EXPECT_EQ(store->boardColor, 0);
    // Polygon (0, 0) (1000, 0) (300, 200) (0, 100) over 186 x 138 cells: row 0 up to
    // x 1000 (column 5), row 1 from y 138, where it spans x 114 ... 517 (columns 0 ... 2).
    EXPECT_EQ(store->boardGrids, (std::vector<int>{0, 1, 2, 3, 4, 5, 40, 41, 42}));
}

TEST(CalibrationStore, MapsArePaddedToTheCanvas) {
    const CalibrationStore& s = rigStore();
    EXPECT_EQ(s.canvasWidth, 7440);
    EXPECT_EQ(s.canvasHeight, 2760);
    EXPECT_EQ(s.map1.size(), cv::Size(7440, 2760));
    for (const cv::Range pad : {cv::Range(0, 50), cv::Range(2710, 2760)}) {
        EXPECT_EQ(cv::countNonZero(s.map1.rowRange(pad).reshape(1)), 0);
        EXPECT_EQ(cv::countNonZero(s.map2.rowRange(pad)), 0);
    }
    // Row 50 is the first row of the file; types must match too, or the comparison fails.
    cv::Mat m1, m2;
    rig::fullMaps(m1, m2);
    EXPECT_EQ(cv::norm(s.map1, m1, cv::NORM_INF), 0.0);
    EXPECT_EQ(cv::norm(s.map2, m2, cv::NORM_INF), 0.0);
    EXPECT_EQ(s.smallMap1.type(), CV_16SC2);
    EXPECT_EQ(s.smallMap2.type(), CV_16UC1);
    EXPECT_EQ(s.smallMap1.size(), cv::Size(1240, 460));
    EXPECT_EQ(s.smallMap2.size(), cv::Size(1240, 460));
}

// The cells at the corners of each grid, and a source window grown on every side.
TEST(CalibrationStore, CellGridsAtTheirEdges) {
    const CalibrationStore& s = rigStore();
    const std::vector<cv::Rect> source = cell_grid::sourceCells(3840, 2160);
    const struct {
        const std::vector<cv::Rect>& grid;
        int cell;
        cv::Rect rect;
    } rows[] = {
        {s.canvasCells, 0, {0, 0, 186, 138}},
        {s.canvasCells, 39, {7254, 0, 186, 138}},
        {s.canvasCells, 40, {0, 138, 186, 138}},
        {s.canvasCells, 799, {7254, 2622, 186, 138}},
        {s.roisMapSmall, 0, {0, 0, 31, 23}},
        {s.roisMapSmall, 39, {1209, 0, 31, 23}},
        {s.roisMapSmall, 40, {0, 23, 31, 23}},
        {s.roisMapSmall, 799, {1209, 437, 31, 23}},
        {source, 0, {0, 0, 576, 432}},
        {source, 39, {3264, 0, 576, 432}},
        {source, 760, {0, 1620, 576, 540}},
        {source, 799, {3264, 1620, 576, 540}},
        {source, 10 * 40 + 20, {15 * 96, 6 * 108, 1056, 864}},
    };
    for (const auto& r : rows) {
        ASSERT_EQ(r.grid.size(), 800u);
        EXPECT_EQ(r.grid[r.cell], r.rect) << "cell " << r.cell;
    }
}

// ---------------------------------------------------------------- source windows

namespace {

// A lens with ten times the rig's first distortion coefficient: its sources leave the
// windows in a third of the cells, and the canvas corners lie outside the frame.
rig::Camera strongerLens() {
    rig::Camera c = rig::camera();
    c.d = (cv::Mat_<double>(4, 1) << 0.3, 0.05, 0.0, 0.0);
    return c;
}

const CalibrationStore& strongerLensStore() {
    static std::unique_ptr<CalibrationStore> store = [] {
        ScopedWorkDir work("stronger-lens");
        work.makeCalibDir();
        const rig::Camera lens = strongerLens();
        cv::Mat m1, m2;
        lens_maps::makeFullMaps(lens.k, lens.d, m1, m2);
        EXPECT_TRUE(lens_maps::writeMapPngs(calib_files::map1Png, calib_files::map2Png, m1, m2));
        cv::FileStorage k(calib_files::intrinsicXml, cv::FileStorage::WRITE);
        k << "Camera_Matrix" << lens.k;
        k.release();
        cv::FileStorage d(calib_files::distortionXml, cv::FileStorage::WRITE);
        d << "Distortion_Coefficients" << lens.d;
        d.release();
        ConsoleCapture console;
        auto loaded = CalibrationStoreTestAccess::load();
        const std::string out = console.take();
        EXPECT_EQ(countContaining(out, "lens maps: 325 cells needed a larger source window"), 1)
            << out;
        return loaded;
    }();
    return *store;
}

struct LensCase {
    const char* name;
    const CalibrationStore& (*store)();
    int grown;
};

} // namespace

class SourceWindows : public testing::TestWithParam<LensCase> {};

// Cell by cell, every cell of the canvas (board cell or not) remapped from its window
// equals the whole-frame remap outside the padding rows; windows that sufficed are
// exactly the base layout.
TEST_P(SourceWindows, EveryCellFromItsWindowEqualsTheWholeFrameRemap) {
    const CalibrationStore& s = GetParam().store();
    ASSERT_TRUE(s.hasLensMaps());
    const std::vector<cv::Rect> base = cell_grid::sourceCells(3840, 2160);
    const cv::Rect frameRect(0, 0, 3840, 2160);
    int grown = 0;
    for (int i = 0; i < 800; ++i) {
        EXPECT_EQ(s.sourceCells[i] & frameRect, s.sourceCells[i]) << i;
        EXPECT_EQ(s.sourceCells[i] & base[i], base[i]) << i;
        grown += s.sourceCells[i] != base[i] ? 1 : 0;
    }
    EXPECT_EQ(grown, GetParam().grown);

    // Noise: every frame pixel differs from its neighbours, so any pixel read from the
    // wrong place or from outside the window shows.
    cv::Mat frame(2160, 3840, CV_8UC3);
    cv::RNG(7).fill(frame, cv::RNG::UNIFORM, 0, 256);
    cv::Mat whole;
    cv::remap(frame, whole, s.map1, s.map2, cv::INTER_LINEAR, cv::BORDER_CONSTANT, 0);
    const cv::Rect mapped(0, 50, s.canvasWidth, s.canvasHeight - 100);
    std::vector<int> different;
    cv::Mat cell;
    for (int i = 0; i < 800; ++i) {
        const cv::Rect& c = s.canvasCells[i];
        cv::remap(frame, cell, s.fisheyeMaps1[i], s.fisheyeMaps2[i], cv::INTER_LINEAR,
                  cv::BORDER_CONSTANT, 0);
        const cv::Rect rows = (c & mapped) - c.tl();
        if (cv::norm(cell(rows), whole((c & mapped)), cv::NORM_INF) != 0.0) {
            different.push_back(i);
        }
    }
    EXPECT_TRUE(different.empty())
        << different.size() << " cells differ, first " << (different.empty() ? -1 : different[0]);
}

INSTANTIATE_TEST_SUITE_P(CalibrationStore, SourceWindows,
                         testing::Values(LensCase{"RigLens", rigStore, 40},
                                         LensCase{"StrongerLens", strongerLensStore, 325}),
                         [](const testing::TestParamInfo<LensCase>& i) {
                             return std::string(i.param.name);
                         });

TEST(CellGrid, SourcesReadAreTheEntriesWithTheirBilinearNeighboursInsideTheFrame) {
    struct Row {
        std::vector<cv::Vec2s> entries;
        cv::Rect read;
    };
    const cv::Size frame(100, 50);
    const Row rows[] = {
        {{{5, 7}}, cv::Rect(5, 7, 2, 2)},
        {{{3, 4}, {10, 2}, {6, 9}}, cv::Rect(3, 2, 9, 9)},
        {{{-1, -1}}, cv::Rect(0, 0, 1, 1)},         // only the neighbour is in the frame
        {{{99, 49}}, cv::Rect(99, 49, 1, 1)},       // the neighbour is outside
        {{{-2, 5}, {100, 5}, {5, 50}}, cv::Rect()}, // wholly outside: nothing read
        {{{-2, 5}, {20, 30}}, cv::Rect(20, 30, 2, 2)},
        {{{-30000, -30000}, {30000, 30000}, {0, 0}}, cv::Rect(0, 0, 2, 2)},
    };
    for (const Row& r : rows) {
        const cv::Mat tile(1, static_cast<int>(r.entries.size()), CV_16SC2,
                           const_cast<cv::Vec2s*>(r.entries.data()));
        EXPECT_EQ(cell_grid::sourcesRead(tile, frame), r.read) << tile;
    }
}

TEST(CalibrationStore, GaussianWindows) {
    const CalibrationStore& s = rigStore();
    ASSERT_EQ(s.gaussianWindows.size(), 800u);
    const std::vector<int>& g = s.gaussianWindows;
    EXPECT_EQ(g[0], 75);
    EXPECT_EQ(g[18], 43);
    EXPECT_EQ(g[21], 43);
    EXPECT_EQ(g[22], 49);
    EXPECT_EQ(g[39], 75);
    EXPECT_EQ(g[760], 135);
    EXPECT_EQ(g[779], 103);
    EXPECT_EQ(g[799], 135);
    EXPECT_EQ(g[40], 75);
}

TEST(CalibrationStore, ReloadRebuildsBoardGridsWithoutDuplicatesAndKeepsTheTiles) {
    ScopedWorkDir work("reload");
    work.linkRigCalibData();
    auto store = CalibrationStoreTestAccess::load();
    const std::vector<int> initial = store->boardGrids; // no corners yet
    const void* tile0 = store->fisheyeMaps1[0].data;
    const void* map1Data = store->map1.data;
    const std::vector<cv::Rect> cells = store->canvasCells;
    work.writeCalibFile("board_corners.xml", cornersXml(testRig().canvasCorners));
    const std::vector<int> expected = cell_grid::boardCells(
        rounded(testRig().canvasCorners), store->canvasWidth, store->canvasHeight, cells);
    ConsoleCapture console;
    store->reload();
    store->reload();
    store->reload();
    const std::string out = console.take();
    EXPECT_EQ(countContaining(out, "Total Grids : 800 Final grids size : " +
                                       std::to_string(expected.size())),
              3);
    EXPECT_EQ(lines(out).size(), 3u); // loadSmallMapsAndHomography and loadBoardColor are quiet
    EXPECT_EQ(store->boardGrids, expected);
    EXPECT_NE(store->boardGrids, initial);
    EXPECT_EQ(store->fisheyeMaps1[0].data, tile0);
    EXPECT_EQ(store->map1.data, map1Data);
    EXPECT_EQ(store->canvasCells, cells);
    EXPECT_EQ(store->roisMapSmall.size(), 800u);

    // A board up to the top of the canvas: its top cells reach the padding rows, which
    // is reported once.
    std::array<cv::Point2f, 4> high = testRig().canvasCorners;
    high[0].y = high[1].y = 200.0f;
    work.writeCalibFile("board_corners.xml", cornersXml(high));
    console.start();
    store->reload();
    const std::string highOut = console.take();
    EXPECT_EQ(countContaining(highOut, "board cells reach the padding rows"), 1) << highOut;
    EXPECT_EQ(store->boardGrids.front() / 40, 0);
}

TEST(CalibrationStore, CornersAreRoundedAndBadCornerNodesReadAsOrigin) {
    ScopedWorkDir work("corners");
    work.linkRigCalibData();
    // 1.4 -> 1, 2.5 -> 2 (to even), 1000.6 -> 1001; one or three numbers -> (0, 0).
    work.writeCalibFile("board_corners.xml", "<?xml version=\"1.0\"?>\n<opencv_storage>\n"
                                             "<TopLeft>4000.4 1200.5</TopLeft>\n"
                                             "<TopRight>5</TopRight>\n"
                                             "<BottomRight>1 2 3</BottomRight>\n"
                                             "<BottomLeft>3000.6 2000.5</BottomLeft>\n"
                                             "</opencv_storage>\n");
    auto store = CalibrationStoreTestAccess::load();
    const std::vector<int> expected = cell_grid::boardCells(
        {cv::Point(4000, 1200), cv::Point(0, 0), cv::Point(0, 0), cv::Point(3001, 2000)},
        store->canvasWidth, store->canvasHeight, store->canvasCells);
    EXPECT_EQ(store->boardGrids, expected);
}

// The margins turn these corners into the rectangle x 1860 ... 3719, y 690 ... 1655:
// exactly columns 10 ... 19 of rows 5 ... 11, touching no neighbour by a pixel.
TEST(CalibrationStore, BoardCellsOfARectangleOfWholeCells) {
    const std::vector<cv::Rect> cells = cell_grid::layCells(7440, 2760);
    const std::vector<int> got = cell_grid::boardCells(
        {cv::Point(2260, 990), cv::Point(2719, 1090), cv::Point(3419, 1455), cv::Point(1960, 1555)},
        7440, 2760, cells);
    const std::vector<int> expected{
        210, 211, 212, 213, 214, 215, 216, 217, 218, 219, 250, 251, 252, 253, 254, 255, 256, 257,
        258, 259, 290, 291, 292, 293, 294, 295, 296, 297, 298, 299, 330, 331, 332, 333, 334, 335,
        336, 337, 338, 339, 370, 371, 372, 373, 374, 375, 376, 377, 378, 379, 410, 411, 412, 413,
        414, 415, 416, 417, 418, 419, 450, 451, 452, 453, 454, 455, 456, 457, 458, 459};
    EXPECT_EQ(got, expected);
}

TEST(CalibrationStore, BoardPolygonMargins) {
    const int w = 7440, h = 2760;
    auto p = cell_grid::boardPolygon(
        {cv::Point(399, 299), cv::Point(6441, 399), cv::Point(7140, 2560), cv::Point(99, 2659)}, w,
        h);
    EXPECT_EQ(p[0], cv::Point(0, 0));
    EXPECT_EQ(p[1], cv::Point(w - 1, 0));
    EXPECT_EQ(p[2], cv::Point(w - 1, h - 1));
    EXPECT_EQ(p[3], cv::Point(0, h - 1));
    p = cell_grid::boardPolygon({cv::Point(1000, 1000), cv::Point(5000, 1000),
                                 cv::Point(5000, 2000), cv::Point(1000, 2000)},
                                w, h);
    EXPECT_EQ(p[0], cv::Point(600, 700));
    EXPECT_EQ(p[1], cv::Point(6000, 600));
    EXPECT_EQ(p[2], cv::Point(5300, 2200));
    EXPECT_EQ(p[3], cv::Point(900, 2100));
    // Only the named side is clamped: a top-left corner far right stays far right.
    p = cell_grid::boardPolygon({cv::Point(9000, -50), cv::Point(-2000, 5000),
                                 cv::Point(-500, -500), cv::Point(9000, -500)},
                                w, h);
    EXPECT_EQ(p[0], cv::Point(8600, 0));
    EXPECT_EQ(p[1], cv::Point(-1000, 4600));
    EXPECT_EQ(p[2], cv::Point(-200, -300));
    EXPECT_EQ(p[3], cv::Point(8900, -400));
}

TEST(CalibrationStore, PerspectiveAndColourFilesRoundTrip) {
    ScopedWorkDir work("perspective");
    work.linkRigCalibData();
    const cv::Mat h = testRig().homography;
    ASSERT_TRUE(
        calib_files::writeAtomically(calib_files::perspectiveXml, [&h](cv::FileStorage& fs) {
            fs << "Homography" << h << "Homography_Width" << 1920 << "Homography_Height" << 1280;
        }));
    ASSERT_TRUE(calib_files::writeBoardColor(2));
    work.writeCalibFile("board_corners.xml", cornersXml(testRig().canvasCorners));
    auto store = CalibrationStoreTestAccess::load();
    EXPECT_TRUE(store->hasCalibration());
    EXPECT_EQ(store->homographyWidth, 1920);
    EXPECT_EQ(store->homographyHeight, 1280);
    EXPECT_EQ(store->homography.type(), CV_64F);
    EXPECT_EQ(cv::norm(store->homography, h, cv::NORM_INF), 0.0);
    EXPECT_EQ(store->boardColor, 2);
    ASSERT_TRUE(calib_files::writeBoardColor(1));
    store->reload();
    EXPECT_EQ(store->boardColor, 1);
    work.removeCalibFile("board_color.xml");
    store->reload();
    EXPECT_EQ(store->boardColor, 0);

    // Corners that the homography does not take to the picture corners (a missing corners
    // file reads as four origins) are no calibration at all.
    std::array<cv::Point2f, 4> moved = testRig().canvasCorners;
    moved[2].x += 8.0f;
    for (const std::string& corners : {cornersXml(moved), std::string()}) {
        if (corners.empty()) {
            work.removeCalibFile("board_corners.xml");
        } else {
            work.writeCalibFile("board_corners.xml", corners);
        }
        ConsoleCapture console;
        store->reload();
        const std::string out = console.take();
        EXPECT_EQ(countContaining(out, "do not belong together: no board calibration"), 1) << out;
        EXPECT_FALSE(store->hasCalibration());
        EXPECT_EQ(
            store->boardGrids,
            cell_grid::boardCells({}, store->canvasWidth, store->canvasHeight, store->canvasCells));
    }
}

TEST(CalibrationStore, MalformedPerspectiveFileGivesDefaultsAndOneLine) {
    ScopedWorkDir work("bad-perspective");
    work.linkRigCalibData();
    work.writeCalibFile("calib_perspective.xml",
                        "<?xml version=\"1.0\"?>\n<opencv_storage>\n<Homo");
    ConsoleCapture console;
    auto store = CalibrationStoreTestAccess::load();
    const std::string out = console.take();
    EXPECT_EQ(countContaining(out, "calib_data//calib_perspective.xml"), 1) << out;
    EXPECT_TRUE(store->homography.empty());
    EXPECT_FALSE(store->hasCalibration());
    EXPECT_TRUE(store->hasLensMaps());
    // Well-formed XML with a 2 x 3 homography: also refused, also one line.
    work.writeCalibFile("calib_perspective.xml",
                        "<?xml version=\"1.0\"?>\n<opencv_storage>\n"
                        "<Homography type_id=\"opencv-matrix\"><rows>2</rows><cols>3</cols>"
                        "<dt>d</dt><data>1 0 0 0 1 0</data></Homography>\n"
                        "<Homography_Width>1920</Homography_Width>\n"
                        "<Homography_Height>1280</Homography_Height>\n</opencv_storage>\n");
    console.start();
    store->reload();
    const std::string out2 = console.take();
    EXPECT_EQ(countContaining(out2, "calib_data//calib_perspective.xml"), 1) << out2;
    EXPECT_FALSE(store->hasCalibration());
    EXPECT_EQ(store->homographyWidth, 0);
}

// ---------------------------------------------------------------- bad lens files

namespace {

struct BadLensCase {
    std::string name;
    std::string file; // in calib_data, named by the console line
    std::function<void(const ScopedWorkDir&)> prepare;
};

void writePng(const ScopedWorkDir& w, const std::string& name, const cv::Mat& picture) {
    w.removeCalibFile(name);
    ASSERT_TRUE(cv::imwrite(w.path() + "/calib_data/" + name, picture));
}

BadLensCase missing(const std::string& name, const std::string& file) {
    return {name, file, [file](const ScopedWorkDir& w) { w.removeCalibFile(file); }};
}

BadLensCase text(const std::string& name, const std::string& file, const std::string& text) {
    return {name, file, [file, text](const ScopedWorkDir& w) { w.writeCalibFile(file, text); }};
}

BadLensCase png(const std::string& name, const std::string& file, std::function<cv::Mat()> make) {
    return {name, file, [file, make](const ScopedWorkDir& w) { writePng(w, file, make()); }};
}

std::string matrixXml(const std::string& key, int rows, int cols, const std::string& data) {
    return "<?xml version=\"1.0\"?>\n<opencv_storage>\n<" + key +
           " type_id=\"opencv-matrix\"><rows>" + std::to_string(rows) + "</rows><cols>" +
           std::to_string(cols) + "</cols><dt>d</dt><data>" + data + "</data></" + key +
           ">\n</opencv_storage>\n";
}

cv::Mat rigMap2With(ushort index) {
    cv::Mat m2 = cv::imread(testRig().calibFile("map2.png"), cv::IMREAD_UNCHANGED);
    m2.at<ushort>(1234, 5678) = index;
    return m2;
}

std::vector<BadLensCase> badLensCases() {
    const std::string xml = "<?xml version=\"1.0\"?>\n<opencv_storage>";
    return {
        missing("MissingMap1", "map1.png"),
        missing("MissingMap2", "map2.png"),
        missing("MissingIntrinsic", "intrinsic.xml"),
        missing("MissingDistortion", "distortion.xml"),
        text("UnreadableMap1", "map1.png", "not a png at all"),
        {"TruncatedMap2", "map2.png",
         [](const ScopedWorkDir& w) {
             std::string cut(4000, '\0');
             std::ifstream(testRig().calibFile("map2.png"), std::ios::binary).read(&cut[0], 4000);
             w.writeCalibFile("map2.png", cut);
         }},
        png("Map1NotWide7440", "map1.png", [] { return cv::Mat(20, 7000, CV_8UC4, 0.0); }),
        png("Map1ThreeChannels", "map1.png", [] { return cv::Mat(20, 7440, CV_8UC3, 0.0); }),
        png("Map2OtherSize", "map2.png", [] { return cv::Mat(20, 7440, CV_16UC1, 0.0); }),
        png("Map2Colour", "map2.png", [] { return cv::Mat(2660, 7440, CV_8UC3, 0.0); }),
        png("Map2IndexOutOfRange", "map2.png", [] { return cv::Mat(2660, 7440, CV_16UC1, 5000); }),
        png("Map2Index1024", "map2.png", [] { return rigMap2With(1024); }),
        text("MalformedIntrinsic", "intrinsic.xml", xml + "<Camera_Ma"),
        text("IntrinsicNotThreeByThree", "intrinsic.xml",
             matrixXml("Camera_Matrix", 2, 3, "200 0 320 0 200 180")),
        text("IntrinsicWithoutKey", "intrinsic.xml",
             xml + "\n<Other>1</Other>\n</opencv_storage>\n"),
        text("DistortionFiveCoefficients", "distortion.xml",
             matrixXml("Distortion_Coefficients", 1, 5, "0 0 0 0 0")),
        text("DistortionNotAMatrix", "distortion.xml",
             xml +
                 "\n<Distortion_Coefficients>oops</Distortion_Coefficients>\n</opencv_storage>\n"),
    };
}

} // namespace

class BadLensFile : public testing::TestWithParam<BadLensCase> {};

TEST_P(BadLensFile, StartsWithoutLensMapsAndOneLineNamingTheFile) {
    const BadLensCase& c = GetParam();
    ScopedWorkDir work(c.name);
    work.linkRigCalibData();
    work.writeCalibFile("board_corners.xml", cornersXml(testRig().canvasCorners));
    c.prepare(work);
    ConsoleCapture console;
    std::unique_ptr<CalibrationStore> store;
    ASSERT_NO_THROW(store = CalibrationStoreTestAccess::load());
    const std::string out = console.take();
    EXPECT_EQ(countContaining(out, "calib_data//" + c.file), 1) << out;
    expectNoLensMaps(*store);
    // The usual load lines still come, with the counts of what was built.
    EXPECT_EQ(countContaining(out, "ROIS_MAP_SMALL sizes : 800"), 1) << out;
    EXPECT_EQ(countContaining(out, "Total Grids : 800 Final grids size : 0"), 1) << out;
    EXPECT_EQ(countContaining(out, "gaussian window sizes : 800"), 1) << out;
    console.start();
    ASSERT_NO_THROW(store->reload());
    console.take();
    expectNoLensMaps(*store);
}

INSTANTIATE_TEST_SUITE_P(CalibrationStore, BadLensFile, testing::ValuesIn(badLensCases()),
                         [](const testing::TestParamInfo<BadLensCase>& i) { return i.param.name; });

struct GoodLensFiles {
    const char* name;
    void (*prepare)(const ScopedWorkDir&);
};

// Forms the files may take that are read and converted, giving the rig's own maps.
const GoodLensFiles goodLensFiles[] = {
    {"Map2Index1023", [](const ScopedWorkDir& w) { writePng(w, "map2.png", rigMap2With(1023)); }},
    {"DistortionFourByOneAndIntrinsicFloats",
     [](const ScopedWorkDir& w) {
         const rig::Camera lens = rig::camera();
         cv::Mat kf;
         lens.k.convertTo(kf, CV_32F);
         w.removeCalibFile("intrinsic.xml");
         w.removeCalibFile("distortion.xml");
         cv::FileStorage k(calib_files::intrinsicXml, cv::FileStorage::WRITE);
         k << "Camera_Matrix" << kf;
         k.release();
         cv::FileStorage d(calib_files::distortionXml, cv::FileStorage::WRITE);
         d << "Distortion_Coefficients" << lens.d.reshape(1, 4);
         d.release();
     }},
};

class GoodLensFile : public testing::TestWithParam<GoodLensFiles> {};

TEST_P(GoodLensFile, IsAcceptedAndConverted) {
    ScopedWorkDir work(GetParam().name);
    work.linkRigCalibData();
    GetParam().prepare(work);
    auto store = CalibrationStoreTestAccess::load();
    ASSERT_TRUE(store->hasLensMaps());
    const CalibrationStore& rigLoaded = rigStore();
    EXPECT_EQ(cv::norm(store->smallMap1, rigLoaded.smallMap1, cv::NORM_INF), 0.0);
    EXPECT_EQ(cv::norm(store->smallMap2, rigLoaded.smallMap2, cv::NORM_INF), 0.0);
    EXPECT_EQ(store->map2.at<ushort>(1234 + 50, 5678) == 1023,
              std::string(GetParam().name) == "Map2Index1023");
}

INSTANTIATE_TEST_SUITE_P(CalibrationStore, GoodLensFile, testing::ValuesIn(goodLensFiles),
                         [](const testing::TestParamInfo<GoodLensFiles>& i) {
                             return std::string(i.param.name);
                         });

// The small maps, read back at a few pixels, are where cv::fisheye::undistortPoints
// takes the frame point they name (within the 1/32 frame pixel of the fixed-point table,
// magnified towards the corners).
TEST(CalibrationStore, SmallMapEntriesAgreeWithUndistortPoints) {
    const CalibrationStore& s = rigStore();
    const rig::Camera lens = rig::camera();
    cv::Mat p = lens.k.clone();
    p.at<double>(0, 2) += 300.0;
    p.at<double>(1, 2) += 50.0;
    const cv::Point pixels[] = {{620, 230}, {320, 100}, {900, 400}, {50, 20}, {1200, 440}};
    for (const cv::Point& at : pixels) {
        const cv::Vec2s e = s.smallMap1.at<cv::Vec2s>(at);
        const int index = s.smallMap2.at<ushort>(at);
        const cv::Point2d source(e[0] + (index % 32) / 32.0, e[1] + (index / 32) / 32.0);
        std::vector<cv::Point2d> undistorted;
        cv::fisheye::undistortPoints(std::vector<cv::Point2d>{source}, undistorted, lens.k, lens.d,
                                     cv::noArray(), p);
        EXPECT_NEAR(undistorted[0].x, at.x, 0.2) << at;
        EXPECT_NEAR(undistorted[0].y, at.y, 0.2) << at;
    }
}

TEST(CalibrationStore, NoCalibDataAtAll) {
    ScopedWorkDir work("empty");
    ConsoleCapture console;
    auto store = CalibrationStoreTestAccess::load();
    const std::string out = console.take();
    EXPECT_EQ(countContaining(out, "calib_data//map1.png is missing"), 1) << out;
    EXPECT_EQ(countContaining(out, "calib_data//intrinsic.xml is missing"), 1) << out;
    expectNoLensMaps(*store);
    EXPECT_EQ(store->canvasWidth, 0);
    EXPECT_TRUE(store->canvasCells.empty());
    EXPECT_EQ(store->boardColor, 0);
    EXPECT_FALSE(store->hasCalibration());
}

TEST(CalibrationStore, AMap7440By2000GivesACanvas7440By2100) {
    ScopedWorkDir work("short-map");
    work.linkRigCalibData();
    writePng(work, "map1.png", cv::Mat(2000, 7440, CV_8UC4, cv::Scalar::all(0)));
    writePng(work, "map2.png", cv::Mat(2000, 7440, CV_16UC1, cv::Scalar(0)));
    auto store = CalibrationStoreTestAccess::load();
    EXPECT_TRUE(store->hasLensMaps());
    EXPECT_EQ(store->canvasWidth, 7440);
    EXPECT_EQ(store->canvasHeight, 2100);
    ASSERT_EQ(store->canvasCells.size(), 800u);
    EXPECT_EQ(store->canvasCells[799], cv::Rect(7254, 1995, 186, 105));
}

// BoardCalibrator checks its corners against the process-wide store.
const ::testing::Environment* const rigStoreLoaded =
    ::testing::AddGlobalTestEnvironment(new RigStoreEnvironment);
