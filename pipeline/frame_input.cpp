#include "frame_input.h"

#include <opencv2/core/utility.hpp>

#include <algorithm>

namespace {

// Chalk on a dark board becomes ink on a light one; split in two for both cores.
void invertInto(const cv::Mat& source, cv::Mat& inverted) {
    inverted.create(source.size(), source.type());
    const cv::Scalar white(255, 255, 255, 0);
    cv::parallel_for_(cv::Range(0, source.rows), [&](const cv::Range& rows) {
        cv::Mat target = inverted.rowRange(rows);
        cv::subtract(white, source.rowRange(rows), target);
    });
}

} // namespace

void FrameInput::begin(const cv::Mat* wholeIn, const cv::Mat* halfIn, WholeFrameSource source) {
    whole = wholeIn;
    half = halfIn;
    wholeSource = std::move(source);
    ready = false;
}

void FrameInput::end(bool invert) {
    if (!invert) {
        frame.release();
    }
    whole = nullptr;
    half = nullptr;
    wholeSource = nullptr;
}

const cv::Mat* FrameInput::fetchWhole(cv::Size size) {
    const cv::Mat* fetched = wholeSource ? wholeSource() : nullptr;
    wholeSource = nullptr;
    if (fetched == nullptr || fetched->size() != size || fetched->type() != CV_8UC3) {
        return nullptr;
    }
    whole = fetched;
    ready = false;
    return fetched;
}

// The frame is prepared only when a stage reads it: a still board on an odd frame
// reads nothing, and a white board reads the caller's pixels in place.
const cv::Mat& FrameInput::prepared(bool invert) {
    CV_Assert(whole != nullptr);
    if (!ready) {
        if (invert) {
            invertInto(*whole, frame);
        } else {
            frame = *whole;
        }
        ready = true;
    }
    return frame;
}

// A bilinear reduction reads two source rows per output row (pixel centres aligned).
// On a still dark board only those rows need the inversion, a third of the frame at
// the six-fold reduction; the rest follows when a cell needs the frame.
const cv::Mat& FrameInput::forReduction(cv::Size reduced, bool invert) {
    if (ready || !invert || reduced.height <= 0) {
        return prepared(invert);
    }
    const int height = whole->rows;
    const double scale = static_cast<double>(height) / reduced.height;
    reductionRows.clear();
    for (int dy = 0; dy < reduced.height; ++dy) {
        const int sy = std::clamp(cvFloor((dy + 0.5) * scale - 0.5), 0, height - 1);
        if (reductionRows.empty() || reductionRows.back() < sy) {
            reductionRows.push_back(sy);
        }
        if (sy + 1 < height && reductionRows.back() < sy + 1) {
            reductionRows.push_back(sy + 1);
        }
    }
    frame.create(whole->size(), whole->type());
    const cv::Scalar white(255, 255, 255, 0);
    cv::parallel_for_(cv::Range(0, static_cast<int>(reductionRows.size())),
                      [&](const cv::Range& range) {
                          for (int i = range.start; i < range.end; ++i) {
                              cv::Mat row = frame.row(reductionRows[i]);
                              cv::subtract(white, whole->row(reductionRows[i]), row);
                          }
                      });
    return frame;
}
