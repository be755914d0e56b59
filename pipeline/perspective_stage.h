#pragma once

#include "board_enhancer.h"
#include "board_warp.h"
#include "frame_input.h"

#include <opencv2/core.hpp>

#include <vector>

// The lens-corrected canvases, corrected cell by cell, and their warps to the board
// picture: the live picture, the detail picture and, on dark boards, the colour one.
class PerspectiveStage {
public:
    // What changed in the warps since the outputs were last composed.
    struct Changes {
        bool board = true;      // the detail (and colour) warps
        bool boardWhole = true; // all of them, not only inside `boardRegion`
        cv::Rect boardRegion;
        bool live = true;
        bool colour = true; // the colour warp
    };

    // Every canvas afresh from this frame. A dark board's frame is inverted, and its
    // board pictures keep the colour of the cells.
    void rebuild(FrameInput& input, bool darkBoard, const BoardEnhancer& details);
    // The cells of a frame: moving ones into the live picture, settled ones into the
    // board pictures. Each step corrects as many as a step's budget allows; true when
    // the frame's cells are all done.
    void beginCells();
    bool refreshNextCells(FrameInput& input, bool darkBoard, const std::vector<int>& moving,
                          const std::vector<int>& settled, const BoardEnhancer& details);
    void warpRefreshedCells(bool darkBoard, const std::vector<int>& moving,
                            const std::vector<int>& settled);

    const Changes& changes() const { return changed; }
    void composed() { changed = Changes{false, false, cv::Rect(), false, false}; }

    const cv::Mat& liveCanvas() const { return canvas; }
    const cv::Mat& colourCanvasPicture() const { return colourCanvas; }
    const cv::Mat& liveWarp() const { return liveWarped; }
    const cv::Mat& detailWarp() const { return detailWarped; }
    const cv::Mat& colourWarp() const { return colourWarped; }

private:
    void lensCorrectCanvas(FrameInput& input, bool darkBoard);
    // Cells [first, last) of `cells`; the frame is prepared only when there are any.
    void refreshLiveCells(FrameInput& input, bool darkBoard, const std::vector<int>& cells,
                          size_t first, size_t last);
    void refreshBoardCells(FrameInput& input, bool darkBoard, const std::vector<int>& cells,
                           size_t first, size_t last, bool alsoLive, const BoardEnhancer& details);

    BoardWarp boardWarp;
    cv::Mat canvas;
    cv::Mat detailCanvas;
    cv::Mat colourCanvas;
    cv::Mat liveWarped;
    cv::Mat detailWarped;
    cv::Mat colourWarped;
    size_t movingDone = 0;
    size_t settledDone = 0;
    Changes changed;
};
