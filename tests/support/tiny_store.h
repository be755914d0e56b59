#pragma once

#include "calibration_store.h"

#include <opencv2/core.hpp>

#include <string>

// A working directory of its own and a store laid out on a tiny identity camera:
// frame, canvas, small frame and board picture are all frameWidth x frameHeight,
// cells are 4 x 4 pixels, and every lens map returns the pixel it is given. The small
// maps look outside the picture, so the motion detector sees a black, still frame and
// tests script the marks themselves.
namespace tiny {

constexpr int cellSize = 4;
constexpr int frameWidth = 40 * cellSize;
constexpr int frameHeight = 20 * cellSize;

// Creates (once) and enters an empty temporary working directory, so that the
// store's first load finds no calib_data.
void enterScratchDirectory();

// Fills every field the pipeline reads; boardGrids = all cells of rows 5 ... 14.
void layOutStore(CalibrationStore& store);

// Clears the lens maps: the pipeline then passes frames through.
void removeLensMaps(CalibrationStore& store);

// Uniform BGR picture of the tiny frame size.
cv::Mat uniformFrame(int value);

// Points the small maps at the frame itself, so that the motion detector sees motion.
void showFramesToTheMotionStage(CalibrationStore& store);

// Where frameWithPerson puts a dark person: over board cells of rows 7 to 14.
const cv::Rect personBox(60, 28, 24, 32);

// A uniform frame of level 200 with a person of level 20 in personBox.
cv::Mat frameWithPerson();

// The process-wide store laid out for a scope; its lens maps are taken out again at
// the end however the scope is left, so a failed test leaves none to the next.
class ScopedStore {
public:
    ScopedStore() : store(CalibrationStore::instance()) { layOutStore(store); }
    ~ScopedStore() { removeLensMaps(store); }
    ScopedStore(const ScopedStore&) = delete;
    ScopedStore& operator=(const ScopedStore&) = delete;

    CalibrationStore& store;
};

} // namespace tiny
