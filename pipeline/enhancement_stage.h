#pragma once

#include "board_enhancer.h"
#include "perspective_stage.h"

#include <opencv2/core.hpp>

#include <vector>

// The user's settings as the pipeline holds them; codes as in the board colour file.
struct PipelineSettings {
    int boardColor = 1; // 0 black, 1 white, 2 green
    int mode = 0;       // 0 "Color", 1 "Black & White", 2 "Original"
    double details = 4.0;
    int brightness = -81;
    int contrast = 70;
    bool ar = true;
    double arVal = 0.5;
    bool operator==(const PipelineSettings& other) const;
};

// The output pictures composed from the warps, redone only as far as the warps or
// the settings changed; on a green board also "trueColor.jpg".
class EnhancementStage {
public:
    // Returns whether the outputs changed; clears the warps' changes.
    bool run(const PipelineSettings& settings, PerspectiveStage& warps);
    const std::vector<cv::Mat>& outputs() const { return pictures; }
    // The colour picture was made with another inversion.
    void colourChanged() { trueColourStale = true; }
    // A kept board as the "Color" mode renders it with these settings, without the
    // overlay; a picture of its own.
    static cv::Mat renderBoard(const cv::Mat& detail, const cv::Mat& colour,
                               const PipelineSettings& settings);
    // The detail maps of the cells; the enhancer's buffers are left alone.
    const BoardEnhancer& detailMaps() const { return enhancer; }

private:
    void writeTrueColour(const cv::Mat& colourWarp);

    BoardEnhancer enhancer;
    std::vector<cv::Mat> pictures;
    PipelineSettings lastComposed;
    bool composed = false;
    bool trueColourStale = true;
    bool trueColourFailed = false;
};
