#include "motion_stage.h"

#include "calibration_store.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>

namespace {

constexpr int numberWrap = 101;

} // namespace

int frameNumberAfter(int number, int steps) {
    for (int i = 0; i < steps; ++i) {
        number = number + 1 == numberWrap ? 1 : number + 1;
    }
    return number;
}

void MotionStage::run(int frameNumber, FrameInput& input, bool invert) {
    motionMeasured = false;
    if (frameNumber % detectPeriod != 0) {
        return;
    }
    const CalibrationStore& store = CalibrationStore::instance();
    const cv::Mat* const half = input.halfSize();
    if (half != nullptr && !smallFromReduced && !motion.previousSmall.empty() &&
        input.fetchWhole(cv::Size(store.frameWidth, store.frameHeight)) != nullptr) {
        // The first half-size frame after whole ones: its motion is found from the whole
        // frame, like with like. Unless it shows motion, after which whole frames follow,
        // its half-size copy becomes the next reference.
        input.setHalfSize(nullptr);
        makeSmallFrame(input, invert);
        motionMeasured = true;
        motion.update(smallCorrected);
        if (!cellsNeedFrame(frameNumberAfter(frameNumber, detectPeriod))) {
            input.setHalfSize(half);
            makeSmallFrame(input, invert);
            motion.setReference(smallCorrected);
            smallFromReduced = true;
        }
        return;
    }
    // Otherwise a change of how the small frame is made starts a new reference.
    const bool fromReduced = half != nullptr;
    if (fromReduced != smallFromReduced) {
        motion.previousSmall.release();
        smallFromReduced = fromReduced;
    }
    makeSmallFrame(input, invert);
    motionMeasured = !motion.previousSmall.empty();
    motion.update(smallCorrected);
}

void MotionStage::restartFrom(FrameInput& input, bool invert, int cellCount) {
    motion.marks.resize(cellCount, 0);
    motion.previousMarks.resize(cellCount, 0);
    makeSmallFrame(input, invert);
    motion.setReference(smallCorrected);
    smallFromReduced = false;
    moving.clear();
    settled.clear();
    motionMeasured = false;
}

void MotionStage::takeWholeFrame(FrameInput& input, bool invert) {
    input.setHalfSize(nullptr);
    makeSmallFrame(input, invert);
    motion.setReference(smallCorrected);
    smallFromReduced = false;
}

void MotionStage::dropCells() {
    moving.clear();
    settled.clear();
}

// The small lens-corrected frame, from the frame or from its half-size copy.
void MotionStage::makeSmallFrame(FrameInput& input, bool invert) {
    const CalibrationStore& store = CalibrationStore::instance();
    const cv::Size reduced(store.smallFrameWidth, store.smallFrameHeight);
    if (const cv::Mat* half = input.halfSize()) {
        // Each small pixel is the half-size pixel at the centre of the 2 x 2 block that the
        // whole frame's six-fold reduction averages. A dark board's inversion is left out:
        // it changes no difference between two small frames made alike.
        cv::resize(*half, smallFrame, reduced, 0, 0, cv::INTER_LINEAR);
    } else {
        cv::resize(input.forReduction(reduced, invert), smallFrame, reduced, 0, 0,
                   cv::INTER_LINEAR);
    }
    cv::remap(smallFrame, smallCorrected, store.smallMap1, store.smallMap2, cv::INTER_LINEAR,
              cv::BORDER_CONSTANT, cv::Scalar());
}

// Moving cells are corrected on every frame; a cell that stopped is settled into the
// board pictures once, on a refresh frame. The corrections that follow touch disjoint
// canvas rectangles, so they may run side by side and in several steps.
void MotionStage::decideCells(int frameNumber) {
    const CalibrationStore& store = CalibrationStore::instance();
    const bool refreshFrame = frameNumber % refreshPeriod == 0;
    std::vector<int>& marks = motion.marks;
    std::vector<int>& previousMarks = motion.previousMarks;
    std::vector<int>& settleCounts = motion.settleCounts;
    moving.clear();
    settled.clear();
    for (int k : store.boardGrids) {
        if (marks[k] != 0) {
            moving.push_back(k);
        } else {
            if (!refreshFrame) {
                continue;
            }
            int settle = settleCounts[k];
            if (previousMarks[k] > 0 && settle <= 0) {
                ++settle;
            }
            if (settle > 0) {
                ++settle;
                settled.push_back(k);
            }
            if (settle >= settleLimit) {
                settle = 0;
            }
            settleCounts[k] = settle;
        }
        if (refreshFrame) {
            previousMarks[k] = marks[k];
            if (marks[k] > 0) {
                --marks[k];
            }
        }
    }
}

// Mirrors the stages: the motion stage reads every other frame, and between motion
// frames only cells still marked moving are corrected.
bool MotionStage::readsPixels(int frameNumber) const {
    if (frameNumber % detectPeriod == 0) {
        return true;
    }
    const CalibrationStore& store = CalibrationStore::instance();
    return std::any_of(store.boardGrids.begin(), store.boardGrids.end(),
                       [this](int k) { return motion.marks[k] != 0; });
}

bool MotionStage::readsOnlyReduction(int frameNumber) const {
    return frameNumber % detectPeriod == 0 && !cellsNeedFrame(frameNumber);
}

// Whether the cells of the frame numbered `frameNumber` read it whatever the motion
// stage finds: cells still marked moving, or settling on a refresh frame.
bool MotionStage::cellsNeedFrame(int frameNumber) const {
    const CalibrationStore& store = CalibrationStore::instance();
    const bool refreshFrame = frameNumber % refreshPeriod == 0;
    return std::any_of(store.boardGrids.begin(), store.boardGrids.end(), [&](int k) {
        return motion.marks[k] != 0 ||
               (refreshFrame && (motion.previousMarks[k] > 0 || motion.settleCounts[k] > 0));
    });
}
