#pragma once

#include "board_enhancer.h"
#include "motion_detector.h"

#include <opencv2/core.hpp>

#include <vector>

// The pipeline written the plain way, step after step with nothing skipped, fused or
// run in parallel: the yardstick that the optimised FrameProcessor must match pixel
// for pixel. It shares the numeric steps (detail map, compose, motion marks).
class ReferencePipeline {
public:
    ReferencePipeline();

    std::vector<cv::Mat> processFrame(const cv::Mat& input);
    void setSettings(int mode, double details, double brightness, double contrast, bool ar,
                     double arVal);
    // As in the application: a colour change needs canvases of the new inversion.
    void setBoardColor(int color);
    void requestRebuild() { buildCount = 0; }

    int boardColor = 1;
    int mode = 0;
    double details = 4.0;
    int brightness = -81;
    int contrast = 70;
    bool ar = true;
    double arVal = 0.5;
    int buildCount = 0;
    BoardEnhancer enhancer;
    MotionDetector motion;
    cv::Mat frame;
    cv::Mat detailCanvas;
    cv::Mat detailWarp;
    cv::Mat liveWarp;
    std::vector<cv::Mat> outputs;
    cv::Mat canvas;
    int frameCounter = 0;
    cv::Mat colourCanvas;
    cv::Mat colourWarp;

private:
    void runMotionStage();
    cv::Mat smallCorrected() const;
    void runPerspectiveStage();
    void updateCells(bool& detailChanged, bool& liveChanged);
    cv::Mat lensCorrectCell(int k) const;
    void refreshCell(int k);
    cv::Mat warp(const cv::Mat& source) const;
};
