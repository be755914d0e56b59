#pragma once

#include <opencv2/core.hpp>

#include <array>
#include <vector>

class CalibrationStoreTestAccess;

// Process-wide holder of everything derived from calib_data. Created by the first
// instance() call, partly reloaded after a board calibration, never destroyed.
// Fields are read directly by the pipeline; only the store's loaders write them.
class CalibrationStore {
public:
    static CalibrationStore& instance();

    // Re-reads the small maps, the homography and its size, the board corners
    // (rebuilding boardGrids) and the board colour.
    void reload();

    // True when map1/map2 and the small maps were loaded and are consistent.
    bool hasLensMaps() const;
    // True when a homography with a positive output size is loaded.
    bool hasCalibration() const;

    CalibrationStore(const CalibrationStore&) = delete;
    CalibrationStore& operator=(const CalibrationStore&) = delete;

    int gridCols = 40;
    int gridRows = 20;
    int canvasWidth = 0;
    int canvasHeight = 0;
    int totalGrids = 800;
    std::vector<cv::Rect> canvasCells;
    std::vector<cv::Rect> roisMapSmall;
    std::vector<cv::Rect> sourceCells;
    cv::Mat map1;
    cv::Mat map2;
    std::vector<cv::Mat> fisheyeMaps1;
    std::vector<cv::Mat> fisheyeMaps2;
    cv::Mat smallMap1;
    cv::Mat smallMap2;
    cv::Mat homography;
    int frameWidth = 3840;
    int frameHeight = 2160;
    int homographyWidth = 0;
    int homographyHeight = 0;
    int smallFrameWidth = 640;
    int smallFrameHeight = 360;
    std::vector<int> boardGrids;
    std::vector<int> gaussianWindows;
    int boardColor = 0;

private:
    friend class CalibrationStoreTestAccess;
    CalibrationStore();

    void loadFisheyeMaps();
    void loadSmallMapsAndHomography();
    void loadBoardCorners();
    bool cornersMatchHomography(const std::array<cv::Point, 4>& corners) const;
    void reportPaddingCells(bool cornersStored) const;
    void loadBoardColor();
    void buildRoisMapSmall();
    void buildGaussianWindows();
};
