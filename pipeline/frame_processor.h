#pragma once

#include <opencv2/core.hpp>

#include <vector>

// The per-frame image pipeline: motion stage, perspective stage, enhancement stage.
class FrameProcessor {
public:
    FrameProcessor();

    // Element 0: clean board picture; element 1: display picture. Both share
    // buffers with the processor; callers keeping them must deep-copy.
    std::vector<cv::Mat> processFrame(const cv::Mat& input);

    void setSettings(int mode, double details, double brightness, double contrast, bool ar,
                     double arVal);
    void setBoardColor(int color);
    void requestRebuild();

    int boardColor = 1;
    int mode = 0;
    double details = 4.0;
    int brightness = -81;
    int contrast = 70;
    bool ar = true;
    double arVal = 0.5;
    int buildCount = 0;
    // (the pipeline implementation adds its stage members and private helpers here)
};
