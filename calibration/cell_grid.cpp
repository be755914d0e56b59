#include "cell_grid.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <climits>

namespace cell_grid {

namespace {

// How far a base frame cell grows, in whole cells: enough for the lens to move a
// canvas cell's sources anywhere inside the window.
constexpr int growRight = 5;
constexpr int growDown = 3;
constexpr int growLeft = 5;
constexpr int growUp = 4;

// Margins around the clicked corners, so that the board cells also cover the frame
// of the board and whoever stands in front of it.
const cv::Point topLeftMargin{-400, -300};
const cv::Point topRightMargin{1000, -400};
const cv::Point bottomRightMargin{300, 200};
const cv::Point bottomLeftMargin{-100, 100};

} // namespace

std::vector<cv::Rect> layCells(int width, int height, int gridCols, int gridRows) {
    std::vector<cv::Rect> cells;
    const int cw = width / gridCols;
    const int ch = height / gridRows;
    if (cw <= 0 || ch <= 0) {
        return cells;
    }
    for (int y = 0; y <= height - ch; y += ch) {
        for (int x = 0; x <= width - cw; x += cw) {
            cells.emplace_back(x, y, cw, ch);
        }
    }
    return cells;
}

std::vector<cv::Rect> sourceCells(int frameWidth, int frameHeight, int count) {
    const int scw = frameWidth / cols;
    const int sch = frameHeight / rows;
    const std::vector<cv::Rect> base = layCells(frameWidth, frameHeight);
    std::vector<cv::Rect> grown;
    for (int i = 0; i < count && i < static_cast<int>(base.size()); ++i) {
        cv::Rect r = base[i];
        for (int s = 0; s < growRight && r.x + r.width + scw <= frameWidth; ++s) {
            r.width += scw;
        }
        for (int s = 0; s < growDown && r.y + r.height + sch <= frameHeight; ++s) {
            r.height += sch;
        }
        for (int s = 0; s < growLeft && r.x - scw >= 0; ++s) {
            r.x -= scw;
            r.width += scw;
        }
        for (int s = 0; s < growUp && r.y - sch >= 0; ++s) {
            r.y -= sch;
            r.height += sch;
        }
        grown.push_back(r);
    }
    return grown;
}

std::array<cv::Point, 4> boardPolygon(const std::array<cv::Point, 4>& c, int w, int h) {
    const cv::Point &tl = c[0], &tr = c[1], &br = c[2], &bl = c[3];
    const cv::Point a = tl + topLeftMargin, b = tr + topRightMargin;
    const cv::Point e = br + bottomRightMargin, d = bl + bottomLeftMargin;
    // Each corner is clamped only on the side it was moved towards.
    return {{
        {std::max(a.x, 0), std::max(a.y, 0)},
        {b.x >= w ? w - 1 : b.x, std::max(b.y, 0)},
        {e.x >= w ? w - 1 : e.x, e.y >= h ? h - 1 : e.y},
        {std::max(d.x, 0), d.y >= h ? h - 1 : d.y},
    }};
}

std::vector<int> boardCells(const std::array<cv::Point, 4>& corners, int w, int h,
                            const std::vector<cv::Rect>& cells) {
    std::vector<int> indices;
    if (w <= 0 || h <= 0) {
        return indices;
    }
    const std::array<cv::Point, 4> polygon = boardPolygon(corners, w, h);
    cv::Mat mask = cv::Mat::zeros(h, w, CV_8UC1);
    const cv::Point* polygons[1] = {polygon.data()};
    const int counts[1] = {4};
    cv::fillPoly(mask, polygons, counts, 1, cv::Scalar(255), cv::LINE_8, 0, cv::Point());
    const cv::Rect canvas(0, 0, w, h);
    for (int i = 0; i < static_cast<int>(cells.size()); ++i) {
        const cv::Rect r = cells[i] & canvas;
        if (r.area() > 0 && cv::countNonZero(mask(r)) > 0) {
            indices.push_back(i);
        }
    }
    return indices;
}

cv::Rect sourcesRead(const cv::Mat& map1Cell, const cv::Size& frame) {
    CV_Assert(map1Cell.type() == CV_16SC2);
    int left = INT_MAX, top = INT_MAX, right = INT_MIN, bottom = INT_MIN;
    for (int r = 0; r < map1Cell.rows; ++r) {
        const short* p = map1Cell.ptr<short>(r);
        for (int c = 0; c < 2 * map1Cell.cols; c += 2) {
            const int x = p[c];
            const int y = p[c + 1];
            // (x, y) and (x + 1, y + 1) both outside the frame: nothing of it is read.
            const bool reads = x >= -1 && x < frame.width && y >= -1 && y < frame.height;
            left = std::min(left, reads ? x : INT_MAX);
            right = std::max(right, reads ? x + 1 : INT_MIN);
            top = std::min(top, reads ? y : INT_MAX);
            bottom = std::max(bottom, reads ? y + 1 : INT_MIN);
        }
    }
    if (right < left) {
        return cv::Rect();
    }
    return cv::Rect(left, top, right - left + 1, bottom - top + 1) & cv::Rect(cv::Point(), frame);
}

int growSourceCells(const cv::Mat& paddedMap1, int padRows,
                    const std::vector<cv::Rect>& canvasCells, const cv::Size& frame,
                    std::vector<cv::Rect>& sources) {
    const cv::Rect mapped(0, padRows, paddedMap1.cols, paddedMap1.rows - 2 * padRows);
    const int count = static_cast<int>(std::min(canvasCells.size(), sources.size()));
    std::vector<char> grown(count, 0);
    cv::parallel_for_(cv::Range(0, count), [&](const cv::Range& range) {
        for (int i = range.start; i < range.end; ++i) {
            const cv::Rect cell = canvasCells[i] & mapped;
            const cv::Rect needed =
                cell.empty() ? cv::Rect() : sourcesRead(paddedMap1(cell), frame);
            if ((needed & sources[i]) != needed) {
                sources[i] |= needed;
                grown[i] = 1;
            }
        }
    });
    return static_cast<int>(std::count(grown.begin(), grown.end(), 1));
}

bool tileInsideSource(const cv::Mat& map1Cell, const cv::Rect& source, long* outside) {
    CV_Assert(map1Cell.type() == CV_16SC2);
    long count = 0;
    const int x0 = source.x;
    const int y0 = source.y;
    const int x1 = source.x + source.width - 2; // last x whose neighbour x + 1 is inside
    const int y1 = source.y + source.height - 2;
    for (int r = 0; r < map1Cell.rows; ++r) {
        const cv::Vec2s* p = map1Cell.ptr<cv::Vec2s>(r);
        for (int c = 0; c < map1Cell.cols; ++c) {
            if (p[c][0] < x0 || p[c][0] > x1 || p[c][1] < y0 || p[c][1] > y1) {
                ++count;
            }
        }
    }
    if (outside) {
        *outside = count;
    }
    return count == 0;
}

} // namespace cell_grid
