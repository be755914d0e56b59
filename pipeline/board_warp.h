#pragma once

#include <opencv2/core.hpp>

#include <vector>

// The perspective warp from the canvas to the board picture as a precomputed remap
// table, so that only the part of the board picture fed by changed cells is redone.
// The table holds exactly the coordinates cv::warpPerspective computes (same blocks,
// same double arithmetic and rounding), so any part of it gives the same pixels.
class BoardWarp {
public:
    // Rebuilds the table when the homography or a size changed.
    void prepare(const cv::Mat& homography, const cv::Size& boardSize,
                 const std::vector<cv::Rect>& canvasCells, const std::vector<int>& boardCells,
                 const cv::Size& canvasSize);

    void warpAll(const cv::Mat& canvas, cv::Mat& warped) const;
    // Redoes the board-picture pixels whose sources touch one of the cells.
    void warpCells(const cv::Mat& canvas, cv::Mat& warped, const std::vector<int>& cells) const;

    // The board-picture rectangle whose pixels read one of the cells.
    cv::Rect footprintOf(const std::vector<int>& cells) const;

    // True when every board-picture pixel reads only board cells (or lies outside the
    // canvas): the rest of the canvas is then never seen.
    bool readsOnlyBoardCells() const { return onlyBoardCells; }

private:
    void buildTable(const cv::Mat& inverse);
    void findFootprints(const std::vector<cv::Rect>& canvasCells,
                        const std::vector<int>& boardCells, const cv::Size& canvasSize);

    cv::Mat homographyUsed;
    cv::Size board;
    cv::Size canvas;
    std::vector<int> cellsUsed;
    cv::Mat coordinates; // CV_16SC2
    cv::Mat weights;     // CV_16UC1, interpolation table indices
    std::vector<cv::Rect> footprints;
    bool onlyBoardCells = false;
};
