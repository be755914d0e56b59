#include "tiny_store.h"

#include <cstdlib>
#include <filesystem>

#include <unistd.h>

namespace tiny {

namespace {

cv::Mat identityMap(int width, int height, int offsetX, int offsetY) {
    cv::Mat map(height, width, CV_16SC2);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            map.at<cv::Vec2s>(y, x) =
                cv::Vec2s(static_cast<short>(x + offsetX), static_cast<short>(y + offsetY));
        }
    }
    return map;
}

} // namespace

void enterScratchDirectory() {
    static const std::string dir = [] {
        char pattern[] = "/tmp/brisel-pipeline-XXXXXX";
        const char* made = mkdtemp(pattern);
        return std::string(made ? made : "/tmp");
    }();
    std::filesystem::current_path(dir);
}

void layOutStore(CalibrationStore& store) {
    store.frameWidth = frameWidth;
    store.frameHeight = frameHeight;
    store.canvasWidth = frameWidth;
    store.canvasHeight = frameHeight;
    store.smallFrameWidth = frameWidth;
    store.smallFrameHeight = frameHeight;
    store.homographyWidth = frameWidth;
    store.homographyHeight = frameHeight;
    store.totalGrids = 800;
    store.map1 = identityMap(frameWidth, frameHeight, 0, 0);
    store.map2 = cv::Mat::zeros(frameHeight, frameWidth, CV_16UC1);
    store.smallMap1 = identityMap(frameWidth, frameHeight, -1000, -1000);
    store.smallMap2 = cv::Mat::zeros(frameHeight, frameWidth, CV_16UC1);
    store.homography = cv::Mat::eye(3, 3, CV_64F);
    store.canvasCells.clear();
    store.sourceCells.clear();
    store.roisMapSmall.clear();
    store.fisheyeMaps1.clear();
    store.fisheyeMaps2.clear();
    store.boardGrids.clear();
    const cv::Rect frameRect(0, 0, frameWidth, frameHeight);
    for (int k = 0; k < 800; ++k) {
        const cv::Rect cell((k % 40) * cellSize, (k / 40) * cellSize, cellSize, cellSize);
        const cv::Rect source =
            cv::Rect(cell.x - cellSize, cell.y - cellSize, 3 * cellSize, 3 * cellSize) & frameRect;
        store.canvasCells.push_back(cell);
        store.roisMapSmall.push_back(cell);
        store.sourceCells.push_back(source);
        store.fisheyeMaps1.push_back(store.map1(cell));
        store.fisheyeMaps2.push_back(store.map2(cell));
        if (k / 40 >= 5 && k / 40 < 15) {
            store.boardGrids.push_back(k);
        }
    }
    store.gaussianWindows.assign(800, 7);
}

void removeLensMaps(CalibrationStore& store) {
    store.map1.release();
    store.map2.release();
    store.fisheyeMaps1.clear();
    store.fisheyeMaps2.clear();
}

void showFramesToTheMotionStage(CalibrationStore& store) {
    store.smallMap1 = identityMap(frameWidth, frameHeight, 0, 0);
}

cv::Mat frameWithPerson() {
    cv::Mat frame = uniformFrame(200);
    frame(personBox).setTo(cv::Scalar::all(20));
    return frame;
}

cv::Mat uniformFrame(int value) {
    return cv::Mat(frameHeight, frameWidth, CV_8UC3, cv::Scalar::all(value));
}

} // namespace tiny
