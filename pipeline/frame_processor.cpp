#include "frame_processor.h"

#include "calibration_store.h"

// Pass-through until the cell-wise pipeline lands.
FrameProcessor::FrameProcessor() {
    boardColor = CalibrationStore::instance().boardColor;
}

std::vector<cv::Mat> FrameProcessor::processFrame(const cv::Mat& input) {
    if (input.empty()) {
        return {cv::Mat(), cv::Mat()};
    }
    return {input, input};
}

void FrameProcessor::setSettings(int newMode, double newDetails, double newBrightness,
                                 double newContrast, bool newAr, double newArVal) {
    mode = newMode;
    details = newDetails;
    brightness = static_cast<int>(newBrightness);
    contrast = static_cast<int>(newContrast);
    ar = newAr;
    arVal = newArVal;
}

void FrameProcessor::setBoardColor(int color) {
    boardColor = color;
}

void FrameProcessor::requestRebuild() {
    buildCount = 0;
}
