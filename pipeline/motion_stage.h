#pragma once

#include "frame_input.h"
#include "motion_detector.h"

#include <opencv2/core.hpp>

#include <vector>

// The frame numbers run 0, 1, ..., 100, 1, ..., 100, 1, ...: even and odd alternate.
int frameNumberAfter(int number, int steps);

// The motion stage and what follows from it: which board cells each frame corrects
// (moving ones into the live picture, settling ones into the board pictures), and so
// which frames' pixels are read at all.
class MotionStage {
public:
    static constexpr int detectPeriod = 2;
    static constexpr int settleLimit = 1;
    static constexpr int refreshPeriod = 2;

    // Compares this frame's small frame with the last one, on motion frames.
    void run(int frameNumber, FrameInput& input, bool invert);
    // A rebuild shows this frame: what follows is compared with it, so that whatever
    // changes next (someone walking away) is seen and refreshed.
    void restartFrom(FrameInput& input, bool invert, int cellCount);
    // The motion stage saw something move in a frame decoded at half size, and its
    // whole frame is now in `input`: the reference is made again from it, like with like.
    void takeWholeFrame(FrameInput& input, bool invert);
    // The whole frame could not be had: the cells stay as they were.
    void dropCells();
    // The next small frame would not compare with the last one (another inversion).
    void forgetReference() { motion.previousSmall.release(); }

    // Decides every board cell of frame `frameNumber` in list order.
    void decideCells(int frameNumber);
    // Whether the frame numbered `frameNumber` reads its pixels, and whether only its
    // reduction, as far as the marks now tell.
    bool readsPixels(int frameNumber) const;
    bool readsOnlyReduction(int frameNumber) const;

    const std::vector<int>& movingCells() const { return moving; }
    const std::vector<int>& settledCells() const { return settled; }
    // Whether this frame's motion stage compared two small frames.
    bool measured() const { return motionMeasured; }
    const MotionDetector& detector() const { return motion; }
    // The marks are the decisions' input; their tests set them by hand.
    MotionDetector& detector() { return motion; }

private:
    bool cellsNeedFrame(int frameNumber) const;
    void makeSmallFrame(FrameInput& input, bool invert);

    MotionDetector motion;
    cv::Mat smallFrame;
    cv::Mat smallCorrected;
    // A half-size decode and a reduction of the whole frame differ a little at sharp
    // edges, so only small frames made alike are compared; a frame at the change from
    // one to the other is made both ways.
    bool smallFromReduced = false;
    bool motionMeasured = false; // by this frame's motion stage
    std::vector<int> moving;
    std::vector<int> settled;
};
