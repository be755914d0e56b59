#pragma once

#include <opencv2/core.hpp>

#include <array>
#include <vector>

// The 40 x 20 cell geometry, as free functions so that the store, the
// synthetic rig and the tests share one implementation. OpenCV only.
namespace cell_grid {

constexpr int cols = 40;
constexpr int rows = 20;

// Cells of size (width / cols) x (height / rows) laid row-major over a picture, as the
// cell loops of the store produce them (800 for the sizes of this system).
std::vector<cv::Rect> layCells(int width, int height, int gridCols = cols, int gridRows = rows);

// Base frame cell i grown by whole base cells: right 5, down 3, left 5, up 4 steps.
std::vector<cv::Rect> sourceCells(int frameWidth, int frameHeight, int count = cols * rows);

// Board polygon: corners (TL, TR, BR, BL, canvas pixels) moved outwards by
// the fixed margins, each clamped on the named side only.
std::array<cv::Point, 4> boardPolygon(const std::array<cv::Point, 4>& corners, int canvasWidth,
                                      int canvasHeight);

// Ascending indices of the cells in which the filled board polygon has a pixel.
std::vector<int> boardCells(const std::array<cv::Point, 4>& corners, int canvasWidth,
                            int canvasHeight, const std::vector<cv::Rect>& cells);

// The frame rectangle that a bilinear remap through the CV_16SC2 map tile `map1Cell`
// reads: every entry with its neighbours (x + 1, y + 1), clipped to the frame. Entries
// wholly outside the frame read nothing; empty when no entry reads the frame.
cv::Rect sourcesRead(const cv::Mat& map1Cell, const cv::Size& frame);

// Grows every source cell that does not cover what its canvas cell reads through the
// padded map (the padRows rows above and below are padding, not sources) to the
// bounding rectangle of both, so a remap from the window equals the whole-frame remap.
// Windows that suffice are left as they are. Returns the number of windows grown.
int growSourceCells(const cv::Mat& paddedMap1, int padRows,
                    const std::vector<cv::Rect>& canvasCells, const cv::Size& frame,
                    std::vector<cv::Rect>& sources);

// True when every entry of the CV_16SC2 map tile `map1` (absolute frame coordinates)
// lies inside `source` together with its bilinear neighbour (x + 1, y + 1), so that a
// remap of the source window equals the whole-frame remap there. Counts the entries
// outside in `outside` when given.
bool tileInsideSource(const cv::Mat& map1Cell, const cv::Rect& source, long* outside = nullptr);

} // namespace cell_grid
