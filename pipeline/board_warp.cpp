#include "board_warp.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <climits>

namespace {

// Block layout of OpenCV's perspective warp: the x origin of each block enters the
// coordinate arithmetic, so the table must use the same blocks.
constexpr int warpBlock = 32;
constexpr int tableBits = cv::INTER_BITS;
constexpr int tableSize = cv::INTER_TAB_SIZE;

int blockWidth(const cv::Size& size) {
    const int bh0 = std::min(warpBlock / 2, size.height);
    return std::min(warpBlock * warpBlock / bh0, size.width);
}

void tableRow(const double* m, int y, int width, int bw0, cv::Vec2s* xy, ushort* alpha) {
    for (int x = 0; x < width; x += bw0) {
        const int bw = std::min(bw0, width - x);
        const double x0 = m[0] * x + m[1] * y + m[2];
        const double y0 = m[3] * x + m[4] * y + m[5];
        const double w0 = m[6] * x + m[7] * y + m[8];
        for (int x1 = 0; x1 < bw; ++x1) {
            double w = w0 + m[6] * x1;
            w = w ? tableSize / w : 0;
            const double fx =
                std::max(double(INT_MIN), std::min(double(INT_MAX), (x0 + m[0] * x1) * w));
            const double fy =
                std::max(double(INT_MIN), std::min(double(INT_MAX), (y0 + m[3] * x1) * w));
            const int ix = cv::saturate_cast<int>(fx);
            const int iy = cv::saturate_cast<int>(fy);
            xy[x + x1] = cv::Vec2s(cv::saturate_cast<short>(ix >> tableBits),
                                   cv::saturate_cast<short>(iy >> tableBits));
            alpha[x + x1] =
                static_cast<ushort>((iy & (tableSize - 1)) * tableSize + (ix & (tableSize - 1)));
        }
    }
}

} // namespace

void BoardWarp::prepare(const cv::Mat& homography, const cv::Size& boardSize,
                        const std::vector<cv::Rect>& canvasCells,
                        const std::vector<int>& boardCells, const cv::Size& canvasSize) {
    const bool same = !homographyUsed.empty() && board == boardSize && canvas == canvasSize &&
                      cellsUsed == boardCells &&
                      cv::norm(homographyUsed, homography, cv::NORM_INF) == 0;
    if (same) {
        return;
    }
    homography.convertTo(homographyUsed, CV_64F);
    board = boardSize;
    canvas = canvasSize;
    cellsUsed = boardCells;
    cv::Mat inverse;
    cv::invert(homographyUsed, inverse);
    buildTable(inverse);
    findFootprints(canvasCells, boardCells, canvasSize);
}

void BoardWarp::buildTable(const cv::Mat& inverse) {
    coordinates.create(board, CV_16SC2);
    weights.create(board, CV_16UC1);
    const double* m = inverse.ptr<double>();
    const int bw0 = blockWidth(board);
    cv::parallel_for_(cv::Range(0, board.height), [&](const cv::Range& rows) {
        for (int y = rows.start; y < rows.end; ++y) {
            tableRow(m, y, board.width, bw0, coordinates.ptr<cv::Vec2s>(y), weights.ptr<ushort>(y));
        }
    });
}

// For each cell, the bounding box of the board-picture pixels whose 2 x 2 source
// neighbourhood touches it.
void BoardWarp::findFootprints(const std::vector<cv::Rect>& canvasCells,
                               const std::vector<int>& boardCells, const cv::Size& canvasSize) {
    footprints.assign(canvasCells.size(), cv::Rect());
    onlyBoardCells = !canvasCells.empty();
    if (canvasCells.empty()) {
        return;
    }
    const int cw = canvasCells[0].width;
    const int ch = canvasCells[0].height;
    const int columns = canvasSize.width / cw;
    const int rows = canvasSize.height / ch;
    std::vector<char> isBoard(canvasCells.size(), 0);
    for (int k : boardCells) {
        if (k >= 0 && k < static_cast<int>(isBoard.size())) {
            isBoard[k] = 1;
        }
    }
    std::vector<int> minX(canvasCells.size(), INT_MAX), minY(canvasCells.size(), INT_MAX);
    std::vector<int> maxX(canvasCells.size(), -1), maxY(canvasCells.size(), -1);
    for (int y = 0; y < board.height; ++y) {
        const cv::Vec2s* xy = coordinates.ptr<cv::Vec2s>(y);
        for (int x = 0; x < board.width; ++x) {
            for (int dy = 0; dy <= 1; ++dy) {
                for (int dx = 0; dx <= 1; ++dx) {
                    const int sx = xy[x][0] + dx;
                    const int sy = xy[x][1] + dy;
                    if (sx < 0 || sy < 0 || sx >= canvasSize.width || sy >= canvasSize.height) {
                        continue;
                    }
                    const int column = sx / cw;
                    const int row = sy / ch;
                    const int k = row * columns + column;
                    if (column >= columns || row >= rows || k >= static_cast<int>(isBoard.size()) ||
                        !isBoard[k]) {
                        onlyBoardCells = false;
                        continue;
                    }
                    minX[k] = std::min(minX[k], x);
                    maxX[k] = std::max(maxX[k], x);
                    minY[k] = std::min(minY[k], y);
                    maxY[k] = std::max(maxY[k], y);
                }
            }
        }
    }
    for (size_t k = 0; k < footprints.size(); ++k) {
        if (maxX[k] >= 0) {
            footprints[k] =
                cv::Rect(minX[k], minY[k], maxX[k] - minX[k] + 1, maxY[k] - minY[k] + 1);
        }
    }
}

void BoardWarp::warpAll(const cv::Mat& source, cv::Mat& warped) const {
    warped.create(board, source.type());
    cv::remap(source, warped, coordinates, weights, cv::INTER_LINEAR, cv::BORDER_CONSTANT,
              cv::Scalar());
}

void BoardWarp::warpCells(const cv::Mat& source, cv::Mat& warped,
                          const std::vector<int>& cells) const {
    if (warped.size() != board || warped.type() != source.type()) {
        warpAll(source, warped);
        return;
    }
    const cv::Rect changed = footprintOf(cells);
    if (changed.empty()) {
        return;
    }
    cv::Mat target = warped(changed);
    cv::remap(source, target, coordinates(changed), weights(changed), cv::INTER_LINEAR,
              cv::BORDER_CONSTANT, cv::Scalar());
}

cv::Rect BoardWarp::footprintOf(const std::vector<int>& cells) const {
    cv::Rect changed;
    for (int k : cells) {
        if (k >= 0 && k < static_cast<int>(footprints.size())) {
            changed |= footprints[k];
        }
    }
    return changed;
}
