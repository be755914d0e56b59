#pragma once

#include "board_calibrator.h"

#include <QImage>
#include <QString>

#include <opencv2/core.hpp>

#include <array>
#include <functional>

// The board-corner calibration as the camera object runs it: the picture the dialogue
// shows, the four corners clicked in it, and what the dialogue is told afterwards.
class CalibrationFlow {
public:
    struct Outcome {
        bool ok = false;
        // What the dialogue shows; empty on success.
        QString reason;
    };

    // The dialogue's picture of a camera frame: lens-corrected, not straightened. It
    // stays valid while the flow lives and the next picture is not made.
    QImage picture(const cv::Mat& frame);

    // The corners as the dialogue writes them, fractions of the picture: x and y of the
    // first corner, then of the second, … (8 values).
    double corner(int index) const { return corners[index]; }
    // False when the value is held already.
    bool setCorner(int index, double value);
    // The dialogue starts a new set of four corners: the next write of the last value
    // calibrates even when it equals the one before.
    void beginCorners() { newSet = true; }
    // Writes the last value (the fourth corner's y, written last); true when the
    // corners are to be calibrated now.
    bool setLastCorner(double value);
    // Calibrates on the four corners; on success the store is reloaded and `calibrated`
    // runs before the closing line.
    Outcome calibrate(const std::function<void()>& calibrated);

    const BoardCalibrator& calibrator() const { return boardCalibrator; }

    static constexpr int cornerValues = 8;

private:
    BoardCalibrator boardCalibrator;
    cv::Mat calibrationFrame;
    std::array<double, cornerValues> corners{};
    bool newSet = false;
};
