#pragma once

#include "frame_processor.h"

#include <opencv2/imgproc.hpp>

#include <vector>

// One frame handed to the pipeline as the camera object hands it over.
struct Fed {
    std::vector<cv::Mat> outputs;
    bool read = true;        // the pixels were handed over, whole or at half size
    bool half = false;       // at half size
    bool wholeAsked = false; // at half size, and the pipeline asked for the whole frame
};

// Decoded as the camera thread decodes it by the plan: not at all where the pipeline
// reads nothing, at half size where it reads only a reduction, whole otherwise; the
// whole frame on demand.
inline Fed feedAsTheCamera(FrameProcessor& processor, const cv::Mat& frame) {
    Fed fed;
    cv::Mat pixels;
    if (processor.readsOnlyReduction(frame.size())) {
        fed.half = true;
        cv::resize(frame, pixels, cv::Size((frame.cols + 1) / 2, (frame.rows + 1) / 2), 0, 0,
                   cv::INTER_AREA);
    } else if (processor.readsFramePixels(frame.size())) {
        pixels = frame;
    } else {
        fed.read = false;
    }
    const auto wholeFrame = [&] {
        fed.wholeAsked = true;
        return &frame;
    };
    if (processor.takeFrame({frame.size(), &pixels, wholeFrame}) ==
        FrameProcessor::Intake::started) {
        while (!processor.continueFrame()) {
        }
    }
    fed.outputs = processor.finishedOutputs();
    return fed;
}
