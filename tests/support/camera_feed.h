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

// Not at all where the pipeline reads nothing, at half size where it reads only a
// reduction (the whole frame when it asks for it), whole otherwise.
inline Fed feedAsTheCamera(FrameProcessor& processor, const cv::Mat& frame) {
    Fed fed;
    if (processor.readsOnlyReduction(frame.size())) {
        fed.half = true;
        cv::Mat half;
        cv::resize(frame, half, cv::Size((frame.cols + 1) / 2, (frame.rows + 1) / 2), 0, 0,
                   cv::INTER_AREA);
        const auto wholeFrame = [&] {
            fed.wholeAsked = true;
            return &frame;
        };
        if (!processor.startReducedFrame(half, frame.size(), wholeFrame)) {
            while (!processor.continueFrame()) {
            }
        }
        fed.outputs = processor.finishedOutputs();
    } else if (processor.readsFramePixels(frame.size())) {
        fed.outputs = processor.processFrame(frame);
    } else {
        fed.read = false;
        fed.outputs = processor.processUnreadFrame(frame.size());
    }
    return fed;
}
