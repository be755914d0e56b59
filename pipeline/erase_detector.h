#pragma once

#include <opencv2/core.hpp>

#include <vector>

// Notices when the board is being wiped and keeps the board as it was just before.
//
// It follows the ink of every board cell on the mode-independent board pictures: a
// pixel is ink where the detail picture (dark strokes against their surroundings) is
// strong, which neither the display settings nor the board colour change, and which a
// broad smear of wiped chalk does not reach. A kept picture follows the board while
// ink only grows; cells that lose ink keep their earlier content. When the ink lost
// adds up to a large part of the kept ink, the kept picture is the key frame. A cell's
// change counts only once the motion stage has seen it free for a while: whoever
// stands in front of the board, however still, is neither ink nor a wipe.
class EraseDetector {
public:
    // Forgets the board; the next updates start afresh once the board is still. The
    // board picture shows the canvas through `homography`; `boardCells` are the canvas
    // cells it reads. What was written since the last key frame is remembered, so that
    // a restart in the middle of a board-full neither loses nor repeats it.
    void reset(const cv::Mat& homography, const cv::Size& boardSize,
               const std::vector<cv::Rect>& canvasCells, const std::vector<int>& boardCells);
    // The same cells, the board seen afresh (the camera opened again).
    void restart();

    // What the motion stage measured at `seconds`: the canvas cells in which it saw
    // motion. Only frames it compared count; a cell is still only when measured so.
    void noteMotion(const std::vector<int>& movingCells, double seconds);
    // One frame at `seconds`: the detail picture (CV_8UC3, board size), on dark boards
    // the colour picture (else empty) and the cells refreshed in them this frame.
    // Returns true when this frame yields a key frame; its pictures stay readable until
    // the next call.
    bool update(const cv::Mat& detail, const cv::Mat& colour, const std::vector<int>& settled,
                double seconds);

    // The key frame: the board before the erasure (detail and, on dark boards, colour).
    const cv::Mat& keptDetail() const { return peakDetail; }
    const cv::Mat& keptColour() const { return peakColour; }
    // The update (counted from 0 since construction) whose board the key frame shows:
    // the last one at which the board still held (nearly) all of the kept ink.
    long keptFrame() const { return keyFrameIndex; }
    long framesSeen() const { return updates; }
    bool isFollowing() const { return started; }

    // Ink pixels of a detail picture (255 where ink), the detector's own decision.
    static void inkMask(const cv::Mat& detail, cv::Mat& mask);

private:
    struct Segment {
        int y;
        int x0;
        int x1; // exclusive
    };
    struct Cell {
        std::vector<Segment> segments;
        cv::Rect bounds;
        int keptInk = 0;        // ink of the kept picture in this cell
        int lostInk = 0;        // kept ink the board no longer shows
        int gainedOver = 0;     // new ink where this cell lost ink
        int wipedInk = 0;       // the least ink it held since it lost ink
        int heldGain = 0;       // new ink not taken while much of the board is wiped
        double gainedAt = -1e9; // when the cell last gained ink
        int inkBeforeGain = 0;  // the cell's kept ink before its latest gains
        double movedAt = 0;     // the last measured motion in front of the cell
        bool pending = false;   // refreshed, not yet looked at
        bool followed = false;  // its kept picture is the board as seen free
    };
    struct Counts {
        int kept = 0;
        int current = 0;
        int lost = 0;
        int gained = 0;
    };

    void layOutCells(const cv::Mat& homography, const std::vector<cv::Rect>& canvasCells,
                     const std::vector<int>& boardCells);
    bool seenFree(const Cell& cell, double forSeconds) const;
    void startFrom(const cv::Mat& detail, const cv::Mat& colour, bool afterKeyFrame);
    void followCell(Cell& cell, const cv::Mat& detail, const cv::Mat& colour);
    bool examineLoss(Cell& cell, const cv::Mat& detail);
    void examineCell(Cell& cell, const cv::Mat& detail, const cv::Mat& colour);
    // Leaves the cell's mask in `region` and its current ink in `currentInk`, which
    // takeCell then keeps.
    Counts compare(const Cell& cell, const cv::Mat& detail);
    // Only right after compare(cell, detail) for the same cell and picture.
    void takeCell(const Cell& cell, const cv::Mat& detail, const cv::Mat& colour);
    void cellMask(const Cell& cell);
    void acceptLosses(const cv::Mat& detail, const cv::Mat& colour);
    void sumCells();

    cv::Size board;
    std::vector<Cell> cells;    // board cells, in list order
    std::vector<int> cellIndex; // canvas cell -> entry of `cells`, -1 when not a board cell
    bool started = false;
    bool watching = false; // motion has been measured since the restart
    bool rebasePending = false;
    bool sizeReported = false;
    cv::Mat peakDetail;
    cv::Mat peakColour;
    // The ink of peakDetail, kept along with it so that no cell's is worked out again.
    cv::Mat keptInk;
    long keptTotal = 0;
    long lostTotal = 0;
    long overTotal = 0;
    long written = 0;   // ink written since the last key frame
    long boardFull = 0; // ink of the last key frame; 0 before the first
    long updates = 0;
    double now = 0;
    double watchFrom = 0;
    double measuredAt = 0;
    double boardMovedAt = 0; // the last measured motion in front of any board cell
    long steadyFrame = -1;
    double steadyAt = 0;
    double lossChangedAt = 0;
    long keyFrameIndex = -1;
    std::vector<size_t> gainers; // cells of this frame that lost no ink
    // Per-cell scratch pictures, reused from cell to cell.
    cv::Mat currentInk;
    cv::Mat keptInkMask;
    cv::Mat grown;
    cv::Mat region;
    cv::Mat scratch;
    cv::Mat grey;
};
