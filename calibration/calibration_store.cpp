#include "calibration_store.h"

#include "calibration_files.h"
#include "cell_grid.h"
#include "lens_maps.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <exception>
#include <filesystem>
#include <iostream>
#include <string>

namespace {

std::string currentPath() {
    std::error_code ec;
    const auto p = std::filesystem::current_path(ec);
    return ec ? std::string() : p.u8string();
}

// Runs one loader; a failure of the matrix library (or memory) ends that loader with a
// console line instead of escaping from instance().
template <typename F> void guarded(const char* what, F&& f) {
    try {
        f();
    } catch (const std::exception& e) {
        std::cout << what << " failed: " << e.what() << std::endl;
    }
}

// Reads a corner node: a sequence of exactly two numbers, each rounded to the nearest
// integer; anything else is (0, 0).
cv::Point readCorner(const cv::FileNode& node) {
    if (node.empty() || !node.isSeq() || node.size() != 2) {
        return {0, 0};
    }
    const cv::FileNode a = node[0];
    const cv::FileNode b = node[1];
    const auto isNumber = [](const cv::FileNode& n) { return n.isInt() || n.isReal(); };
    if (!isNumber(a) || !isNumber(b)) {
        return {0, 0};
    }
    // Far outside any canvas: keep the margin arithmetic clear of integer overflow.
    const auto clampRound = [](double v) {
        if (!std::isfinite(v)) {
            return 0;
        }
        return cvRound(std::clamp(v, -1.0e6, 1.0e6));
    };
    return {clampRound(static_cast<double>(a)), clampRound(static_cast<double>(b))};
}

// The stored corners are whole pixels, so they reach the picture corners within this.
constexpr double cornerAgreement = 2.0;

} // namespace

// The homography takes the stored corners to the board picture's corners.
bool CalibrationStore::cornersMatchHomography(const std::array<cv::Point, 4>& corners) const {
    const std::vector<cv::Point2f> from{corners[0], corners[1], corners[2], corners[3]};
    const float w = static_cast<float>(homographyWidth);
    const float h = static_cast<float>(homographyHeight);
    const std::vector<cv::Point2f> expected{{0, 0}, {w, 0}, {w, h}, {0, h}};
    std::vector<cv::Point2f> to;
    cv::perspectiveTransform(from, to, homography);
    for (int i = 0; i < 4; ++i) {
        if (!(cv::norm(to[i] - expected[i]) <= cornerAgreement)) {
            return false;
        }
    }
    return true;
}

namespace {

// Blur strength per cell: smallest in the four middle columns of the top rows, one more
// per further group of four columns and per two rows, as the board recedes.
constexpr int baseSigma = 7;
constexpr int middleColumn = 18; // first of the four middle columns
constexpr int columnsPerStep = 4;
constexpr int rowsPerStep = 2;

float gaussianSigmaOfCell(int row, int col) {
    const int fromMiddle =
        col < middleColumn ? (middleColumn + columnsPerStep - 1 - col) : (col - middleColumn);
    return static_cast<float>(baseSigma + row / rowsPerStep + fromMiddle / columnsPerStep);
}

// The odd window whose default sigma, 0.3 * ((w - 1) / 2 - 1) + 0.8, is closest.
int gaussianWindowFor(float sigma) {
    return 2 * cvRound((sigma - 0.8f) / 0.3f) + 1;
}

} // namespace

CalibrationStore& CalibrationStore::instance() {
    // Allocated once and never destroyed (the process exit reclaims it). The
    // constructor does not throw: every loader reports its own failures.
    static CalibrationStore* store = new CalibrationStore();
    return *store;
}

CalibrationStore::CalibrationStore() {
    guarded("recovering calib_data", [] { calib_files::recoverSets(); });
    guarded("loading the lens maps", [this] { loadFisheyeMaps(); });
    guarded("loading the small maps and the homography", [this] { loadSmallMapsAndHomography(); });
    guarded("building ROIS_MAP_SMALL", [this] { buildRoisMapSmall(); });
    guarded("loading the board corners", [this] { loadBoardCorners(); });
    guarded("loading the board colour", [this] { loadBoardColor(); });
    guarded("building the gaussian windows", [this] { buildGaussianWindows(); });
}

void CalibrationStore::reload() {
    guarded("recovering calib_data", [] { calib_files::recoverSets(); });
    guarded("loading the small maps and the homography", [this] { loadSmallMapsAndHomography(); });
    guarded("loading the board corners", [this] { loadBoardCorners(); });
    guarded("loading the board colour", [this] { loadBoardColor(); });
}

bool CalibrationStore::hasLensMaps() const {
    return !map1.empty() && map1.type() == CV_16SC2 && map2.size() == map1.size() &&
           map2.type() == CV_16UC1 && !smallMap1.empty() && smallMap2.size() == smallMap1.size() &&
           static_cast<int>(canvasCells.size()) == totalGrids &&
           static_cast<int>(fisheyeMaps1.size()) == totalGrids &&
           static_cast<int>(fisheyeMaps2.size()) == totalGrids &&
           static_cast<int>(sourceCells.size()) == totalGrids;
}

bool CalibrationStore::hasCalibration() const {
    return homography.rows == 3 && homography.cols == 3 && homography.type() == CV_64F &&
           homographyWidth > 0 && homographyHeight > 0;
}

void CalibrationStore::loadFisheyeMaps() {
    std::cout << "current path: " << currentPath() << std::endl;

    std::string why;
    cv::Mat fileMap1, fileMap2;
    const bool ok =
        lens_maps::readMapPngs(calib_files::map1Png, calib_files::map2Png, fileMap1, fileMap2, why);
    std::cout << "CV_16SC2: " << CV_16SC2 << " CV_16SC1: " << CV_16UC1 << std::endl;
    if (!ok) {
        std::cout << why << ": no lens correction" << std::endl;
    }
    map1 = ok ? lens_maps::padMap(fileMap1) : cv::Mat();
    map2 = ok ? lens_maps::padMap(fileMap2) : cv::Mat();
    fileMap1.release();
    fileMap2.release();
    std::cout << "reading maps done...... MAP1 type: " << map1.type()
              << " MAP2 type: " << map2.type() << std::endl;
    canvasWidth = map1.cols;
    canvasHeight = map1.rows;

    // Cell geometry. The source cells depend on the frame only and are
    // always built; the canvas cells and tiles only when there are maps.
    canvasCells = ok ? cell_grid::layCells(canvasWidth, canvasHeight, gridCols, gridRows)
                     : std::vector<cv::Rect>();
    sourceCells = cell_grid::sourceCells(frameWidth, frameHeight, totalGrids);
    // Lenses that move a cell's sources out of its window would leave black patches.
    const int grown =
        ok ? cell_grid::growSourceCells(map1, lens_maps::padRows, canvasCells,
                                        cv::Size(frameWidth, frameHeight), sourceCells)
           : 0;
    fisheyeMaps1.clear();
    fisheyeMaps2.clear();
    // Tiles are views of the tables, not copies (the table is 82 MB): a cell is
    // corrected straight from the whole frame, which its window lies in.
    for (int i = 0; ok && i < totalGrids && i < static_cast<int>(canvasCells.size()); ++i) {
        fisheyeMaps1.push_back(map1(canvasCells[i]));
        fisheyeMaps2.push_back(map2(canvasCells[i]));
    }
    std::cout << "FISHEYE_MAPS1 sizes : " << fisheyeMaps1.size() << std::endl;
    std::cout << "FISHEYE_MAPS2 sizes : " << fisheyeMaps2.size() << std::endl;
    if (ok) {
        std::cout << "lens maps: " << grown << " cells needed a larger source window" << std::endl;
    }
}

void CalibrationStore::loadSmallMapsAndHomography() {
    smallMap1.release();
    smallMap2.release();
    cv::Mat k, d;
    std::string why;
    if (lens_maps::readModel(calib_files::intrinsicXml, calib_files::distortionXml, k, d, why)) {
        lens_maps::makeSmallMaps(k, d, smallMap1, smallMap2);
    } else if (!why.empty()) {
        std::cout << why << ": no lens correction" << std::endl;
    }

    homography.release();
    homographyWidth = 0;
    homographyHeight = 0;
    cv::FileStorage fs;
    if (!calib_files::openForReading(calib_files::perspectiveXml, fs)) {
        return; // missing: no calibration yet (quiet); malformed: already reported
    }
    cv::Mat h;
    int width = 0;
    int height = 0;
    bool fault = false;
    try {
        fs["Homography"] >> h;
        const cv::FileNode w = fs["Homography_Width"];
        const cv::FileNode hh = fs["Homography_Height"];
        fault = (!w.empty() && !w.isInt()) || (!hh.empty() && !hh.isInt());
        w >> width;
        hh >> height;
    } catch (const cv::Exception&) {
        fault = true;
    }
    fs.release();
    const bool absent = h.empty() && width == 0 && height == 0;
    if (!fault && !absent &&
        (h.rows != 3 || h.cols != 3 || h.channels() != 1 || !cv::checkRange(h) || width <= 0 ||
         height <= 0 || width > 16384 || height > 16384)) {
        fault = true;
    }
    if (fault) {
        std::cout << calib_files::perspectiveXml
                  << " holds no valid homography and picture size, using defaults" << std::endl;
        return;
    }
    if (!absent) {
        h.convertTo(homography, CV_64F);
        homographyWidth = width;
        homographyHeight = height;
    }
}

void CalibrationStore::loadBoardCorners() {
    cv::Point tl, tr, br, bl;
    cv::FileStorage fs;
    const bool stored = calib_files::openForReading(calib_files::boardCornersXml, fs);
    if (stored) {
        try {
            tl = readCorner(fs["TopLeft"]);
            tr = readCorner(fs["TopRight"]);
            br = readCorner(fs["BottomRight"]);
            bl = readCorner(fs["BottomLeft"]);
        } catch (const cv::Exception&) {
            std::cout << "malformed file " << calib_files::boardCornersXml << ", using defaults"
                      << std::endl;
            tl = tr = br = bl = cv::Point();
        }
        fs.release();
    }

    boardGrids.clear();
    if (hasCalibration() && !cornersMatchHomography({tl, tr, br, bl})) {
        std::cout << calib_files::boardCornersXml << " and " << calib_files::perspectiveXml
                  << " do not belong together: no board calibration" << std::endl;
        homography.release();
        homographyWidth = 0;
        homographyHeight = 0;
        tl = tr = br = bl = cv::Point();
    }
    // Without lens maps there is no canvas: the pipeline passes frames through and no
    // cell is a board cell.
    if (hasLensMaps()) {
        boardGrids =
            cell_grid::boardCells({tl, tr, br, bl}, canvasWidth, canvasHeight, canvasCells);
    }
    std::cout << "Total Grids : " << totalGrids << " Final grids size : " << boardGrids.size()
              << std::endl;
    reportPaddingCells(stored);
}

// The padding rows hold no camera picture: a board reaching them shows black there.
void CalibrationStore::reportPaddingCells(bool cornersStored) const {
    const int padded =
        static_cast<int>(std::count_if(boardGrids.begin(), boardGrids.end(), [this](int k) {
            const cv::Rect& cell = canvasCells[k];
            return cell.y < lens_maps::padRows ||
                   cell.y + cell.height > canvasHeight - lens_maps::padRows;
        }));
    if (cornersStored && padded > 0) {
        std::cout << "board corners: " << padded
                  << " board cells reach the padding rows above or below the lens maps, which "
                     "stay black"
                  << std::endl;
    }
}

void CalibrationStore::loadBoardColor() {
    boardColor = calib_files::readBoardColor();
}

void CalibrationStore::buildRoisMapSmall() {
    roisMapSmall.clear();
    // Without small maps the cells are laid over the nominal 1240 x 460 picture, so the
    // table always has 800 entries.
    const int cols = smallMap1.empty() ? lens_maps::smallMapWidth : smallMap1.cols;
    const int rows = smallMap1.empty() ? lens_maps::smallMapHeight : smallMap1.rows;
    const int cw = cols / gridCols;
    const int ch = rows / gridRows;
    for (int y = 0; ch > 0 && y <= rows - ch; y += ch) {
        for (int x = 0; cw > 0 && x <= cols - cw; x += cw) {
            roisMapSmall.emplace_back(x, y, cw, ch);
        }
    }
    std::cout << "ROIS_MAP_SMALL sizes : " << roisMapSmall.size() << std::endl;
}

void CalibrationStore::buildGaussianWindows() {
    gaussianWindows.clear();
    for (int r = 0; r < gridRows; ++r) {
        for (int j = 0; j < gridCols; ++j) {
            gaussianWindows.push_back(gaussianWindowFor(gaussianSigmaOfCell(r, j)));
        }
    }
    std::cout << "gaussian window sizes : " << gaussianWindows.size() << std::endl;
}
