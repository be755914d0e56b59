#include "erase_detector.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <iostream>

namespace {

// Grey level of the detail picture above which a pixel is ink. Strokes reach far
// above it; sensor noise and the soft edges of a wiped smear stay far below.
constexpr double inkLevel = 24;
// Ink that moved by a pixel or two (noise, a lighting change thinning a stroke) is
// not lost: a kept ink pixel counts as lost only with no current ink this close.
constexpr int nearRadius = 2;
// A cell whose lost ink stays within this share of its kept ink (or a few pixels)
// still shows its kept board and follows the current one.
constexpr double cellLossShare = 0.04;
constexpr int cellLossPixels = 8;
// Lost ink of this share of the kept ink, in one sweep or in strips, makes an erasure.
constexpr double erasedShare = 1.0 / 3;
// A wiped part of this share that is written over makes the board before it a key
// frame (its writing is otherwise lost); a smaller one written over is a correction.
constexpr double writtenOverLoss = 0.1;
// Wiped ink counts as written over once new ink of this share of it lies there.
constexpr double writtenOverShare = 0.2;
// After a key frame, another needs this share of its ink written anew.
constexpr double newInkShare = 0.05;
// A loss too small for an erasure that stays unchanged this long is a correction:
// longer than the pauses of a wipe in strips.
constexpr double correctionSeconds = 15;
// Every cell still this long before following the board starts; cells that do not
// settle within the patience are left out until they do (pupils moving low down).
constexpr double startStillSeconds = 2;
constexpr double startPatienceSeconds = 30;
// A cell counts as seen with nobody in front after this long without motion; someone
// standing sways within it.
constexpr double freeSeconds = 1.5;
// A key frame needs this much ink, as a share of the board picture.
constexpr double minimumInkShare = 0.004;
// Ink gained this recently that is gone again was never written.
constexpr double fleetingSeconds = 0.4;
// A cell holding no more ink than this before such a gain held a speck (a stroke's end,
// the edge of whoever passed): it may leave along with the gain.
constexpr int speckPixels = 24;
constexpr double neverGained = -1e9;
// The board still shows what is kept while it lacks no more than this share of it
// (a cell or two the presenter still hides).
constexpr double steadyShare = 0.02;

const cv::Mat& nearKernel() {
    static const cv::Mat kernel = cv::getStructuringElement(
        cv::MORPH_ELLIPSE, cv::Size(2 * nearRadius + 1, 2 * nearRadius + 1));
    return kernel;
}

bool cellLosesInk(int lost, int kept) {
    return lost > cellLossPixels && lost > cellLossShare * kept;
}

} // namespace

void EraseDetector::inkMask(const cv::Mat& detail, cv::Mat& mask) {
    cv::Mat grey;
    cv::cvtColor(detail, grey, cv::COLOR_BGR2GRAY);
    cv::compare(grey, inkLevel, mask, cv::CMP_GT);
}

void EraseDetector::reset(const cv::Mat& homography, const cv::Size& boardSize,
                          const std::vector<cv::Rect>& canvasCells,
                          const std::vector<int>& boardCells) {
    board = boardSize;
    sizeReported = false;
    peakDetail.release();
    peakColour.release();
    keptInk.release();
    keyFrameIndex = -1;
    layOutCells(homography, canvasCells, boardCells);
    restart();
}

void EraseDetector::restart() {
    started = false;
    watching = false;
    rebasePending = false;
    keptTotal = 0;
    lostTotal = 0;
    overTotal = 0;
    for (Cell& cell : cells) {
        cell.pending = false;
        cell.followed = false;
    }
}

// Every board-picture pixel belongs to the canvas cell its warp source lies in; the
// pixels of one cell are kept as row segments.
void EraseDetector::layOutCells(const cv::Mat& homography, const std::vector<cv::Rect>& canvasCells,
                                const std::vector<int>& boardCells) {
    cells.clear();
    cellIndex.assign(canvasCells.size(), -1);
    if (canvasCells.empty() || board.empty() || homography.size() != cv::Size(3, 3)) {
        return;
    }
    for (int k : boardCells) {
        if (k >= 0 && k < static_cast<int>(canvasCells.size()) && cellIndex[k] < 0) {
            cellIndex[k] = static_cast<int>(cells.size());
            cells.push_back(Cell{});
        }
    }
    const int cw = canvasCells[0].width;
    const int ch = canvasCells[0].height;
    const int columns =
        static_cast<int>(std::count_if(canvasCells.begin(), canvasCells.end(),
                                       [&](const cv::Rect& r) { return r.y == canvasCells[0].y; }));
    const int rows = static_cast<int>(canvasCells.size()) / std::max(columns, 1);
    if (cw <= 0 || ch <= 0 || columns <= 0) {
        return;
    }
    cv::Mat inverse;
    homography.convertTo(inverse, CV_64F);
    if (!cv::invert(inverse, inverse)) {
        return;
    }
    const double* m = inverse.ptr<double>();
    const auto entryAt = [&](int x, int y) {
        const double w = m[6] * x + m[7] * y + m[8];
        if (w == 0) {
            return -1;
        }
        const double u = (m[0] * x + m[1] * y + m[2]) / w;
        const double v = (m[3] * x + m[4] * y + m[5]) / w;
        if (!(u >= 0 && v >= 0 && u < double(cw) * columns && v < double(ch) * rows)) {
            return -1;
        }
        const int k = static_cast<int>(v / ch) * columns + static_cast<int>(u / cw);
        return k < static_cast<int>(cellIndex.size()) ? cellIndex[k] : -1;
    };
    for (int y = 0; y < board.height; ++y) {
        int start = 0;
        int entry = entryAt(0, y);
        for (int x = 1; x <= board.width; ++x) {
            const int next = x < board.width ? entryAt(x, y) : -2;
            if (next == entry) {
                continue;
            }
            if (entry >= 0) {
                Cell& cell = cells[entry];
                cell.segments.push_back({y, start, x});
                cell.bounds |= cv::Rect(start, y, x - start, 1);
            }
            entry = next;
            start = x;
        }
    }
    // Board cells the board picture does not show have nothing to follow.
    std::vector<Cell> shown;
    std::vector<int> renumbered(cells.size(), -1);
    for (size_t i = 0; i < cells.size(); ++i) {
        if (!cells[i].segments.empty()) {
            renumbered[i] = static_cast<int>(shown.size());
            shown.push_back(std::move(cells[i]));
        }
    }
    cells = std::move(shown);
    for (int& entry : cellIndex) {
        entry = entry >= 0 ? renumbered[static_cast<size_t>(entry)] : -1;
    }
}

void EraseDetector::noteMotion(const std::vector<int>& movingCells, double seconds) {
    if (watching && seconds < measuredAt) {
        restart(); // another clock: a new recording or camera
    }
    if (!watching) {
        watching = true;
        watchFrom = seconds;
        for (Cell& cell : cells) {
            cell.movedAt = seconds;
        }
        boardMovedAt = seconds;
    }
    measuredAt = seconds;
    for (int k : movingCells) {
        const int entry = k >= 0 && k < static_cast<int>(cellIndex.size()) ? cellIndex[k] : -1;
        if (entry >= 0) {
            cells[entry].movedAt = seconds;
            cells[entry].pending = true;
            boardMovedAt = seconds;
        }
    }
}

bool EraseDetector::seenFree(const Cell& cell, double forSeconds) const {
    return watching && measuredAt - cell.movedAt >= forSeconds;
}

bool EraseDetector::update(const cv::Mat& detail, const cv::Mat& colour,
                           const std::vector<int>& settled, double seconds) {
    const long frame = updates++;
    if (cells.empty() || detail.size() != board || detail.type() != CV_8UC3) {
        if (!sizeReported) {
            std::cout << "erase detector: no board picture of the calibrated size, "
                         "not looking for erasures"
                      << std::endl;
            sizeReported = true;
        }
        return false;
    }
    now = seconds;
    const cv::Mat noColour;
    const cv::Mat& colourUsed =
        colour.size() == board && colour.type() == CV_8UC3 ? colour : noColour;
    for (int k : settled) {
        const int entry = k >= 0 && k < static_cast<int>(cellIndex.size()) ? cellIndex[k] : -1;
        if (entry >= 0) {
            cells[entry].pending = true;
        }
    }
    if (!started) {
        // Someone at the board when it starts would be taken for writing, and their
        // leaving for a wipe: it starts once every cell has been still for a while.
        if (!watching) {
            return false;
        }
        const bool allStill = std::all_of(cells.begin(), cells.end(), [&](const Cell& cell) {
            return seenFree(cell, startStillSeconds);
        });
        if (!allStill && measuredAt - watchFrom < startPatienceSeconds) {
            return false;
        }
        startFrom(detail, colourUsed, false);
        started = true;
        steadyFrame = frame;
        steadyAt = now;
        return false;
    }
    if (rebasePending) {
        startFrom(detail, colourUsed, true);
        rebasePending = false;
        steadyFrame = frame;
        steadyAt = now;
        return false;
    }
    const long lostBefore = lostTotal;
    gainers.clear();
    for (size_t i = 0; i < cells.size(); ++i) {
        Cell& cell = cells[i];
        if (!cell.pending || !seenFree(cell, freeSeconds)) {
            continue;
        }
        cell.pending = false;
        if (!cell.followed) {
            followCell(cell, detail, colourUsed);
        } else if (!examineLoss(cell, detail)) {
            gainers.push_back(i);
        }
    }
    sumCells();
    for (size_t i : gainers) {
        examineCell(cells[i], detail, colourUsed);
    }
    sumCells();
    if (lostTotal != lostBefore) {
        lossChangedAt = now;
    }
    const bool rewritten = lostTotal > 0 && overTotal >= writtenOverShare * lostTotal;
    // Someone wiping a part and writing there is seen a cell at a time: the loss is a
    // correction only once nobody is at the board, else a quarter passes as many.
    const bool boardStill = watching && measuredAt - boardMovedAt >= freeSeconds;
    if (lostTotal > 0 && lostTotal < writtenOverLoss * keptTotal && rewritten && boardStill) {
        acceptLosses(detail, colourUsed); // a correction written over
    } else if (lostTotal > 0 && lostTotal < erasedShare * keptTotal && !rewritten &&
               now - lossChangedAt >= correctionSeconds) {
        acceptLosses(detail, colourUsed);
    }
    if (lostTotal <= steadyShare * keptTotal) {
        steadyFrame = frame;
        steadyAt = now;
    }
    const bool erased = lostTotal >= erasedShare * keptTotal;
    const bool overwritten = lostTotal >= writtenOverLoss * keptTotal && rewritten;
    if (keptTotal == 0 || (!erased && !overwritten)) {
        return false;
    }
    // An erasure: the kept board is a key frame unless it holds nothing new since the
    // last one (the rest of a board already kept being wiped). Either way the board as
    // it is now is what the next erasure is measured against.
    const bool enoughInk = keptTotal >= minimumInkShare * board.area();
    const bool newInk = boardFull == 0 || written >= newInkShare * boardFull;
    if (enoughInk && newInk) {
        keyFrameIndex = steadyFrame;
        boardFull = keptTotal;
        written = 0;
        rebasePending = true;
        return true;
    }
    startFrom(detail, colourUsed, false);
    steadyFrame = frame;
    steadyAt = now;
    return false;
}

// The board as it is now becomes the kept one, in the cells seen free; the others are
// taken once they are. After a key frame, ink the board holds beyond it (writing over
// a wiped part) counts as written towards the next.
void EraseDetector::startFrom(const cv::Mat& detail, const cv::Mat& colour, bool afterKeyFrame) {
    if (peakDetail.size() != board) {
        peakDetail.create(board, CV_8UC3);
        peakDetail.setTo(cv::Scalar::all(0));
        keptInk.create(board, CV_8UC1);
        keptInk.setTo(cv::Scalar::all(0));
    }
    if (colour.empty()) {
        peakColour.release();
    } else if (peakColour.size() != board) {
        colour.copyTo(peakColour);
    }
    for (Cell& cell : cells) {
        cell.followed = false;
        if (seenFree(cell, freeSeconds)) {
            if (afterKeyFrame) {
                const int newInk = cell.lostInk > 0 ? cell.gainedOver : 0;
                written += std::max(compare(cell, detail).gained, newInk);
            }
            followCell(cell, detail, colour);
        } else {
            cell.keptInk = 0;
            cell.lostInk = 0;
            cell.gainedOver = 0;
            cell.heldGain = 0;
        }
    }
    sumCells();
    lossChangedAt = now;
}

void EraseDetector::followCell(Cell& cell, const cv::Mat& detail, const cv::Mat& colour) {
    const Counts counts = compare(cell, detail);
    takeCell(cell, detail, colour);
    cell.keptInk = counts.current;
    cell.lostInk = 0;
    cell.gainedOver = 0;
    cell.heldGain = 0;
    cell.gainedAt = neverGained;
    cell.inkBeforeGain = counts.current;
    cell.followed = true;
    cell.pending = false;
}

// Only losses: true when the cell loses ink (it then keeps its kept picture). The
// other cells are examined once every loss of the frame is counted.
bool EraseDetector::examineLoss(Cell& cell, const cv::Mat& detail) {
    const Counts counts = compare(cell, detail);
    // Ink that shows for a moment only, or that came while part of the board was not
    // as kept (someone standing still), is withdrawn, not wiped.
    const bool untrusted = now - cell.gainedAt <= fleetingSeconds || cell.gainedAt > steadyAt;
    const int recentInk = std::max(0, counts.kept - cell.inkBeforeGain);
    const int slack = std::max(cellLossPixels, std::min(cell.inkBeforeGain, speckPixels));
    const bool withdrawn = untrusted && counts.lost <= recentInk + slack;
    // A cell that lost ink stays so until the loss is decided: strokes written over it
    // may cross where the old ones were and hide the loss. Ink beyond the least the
    // cell held since it lost ink is new.
    if ((cellLosesInk(counts.lost, counts.kept) && !withdrawn) || cell.lostInk > 0) {
        cell.wipedInk =
            cell.lostInk == 0 ? counts.current : std::min(cell.wipedInk, counts.current);
        cell.gainedOver = std::max(counts.gained, counts.current - cell.wipedInk);
        // What is left of the kept ink is the cell's ink less the new: the rest is wiped,
        // even where new strokes pass close to it.
        const int wiped = counts.kept - std::max(0, counts.current - cell.gainedOver);
        cell.lostInk = std::max({cell.lostInk, counts.lost, std::min(wiped, counts.kept)});
        return true;
    }
    if (withdrawn) {
        written -= std::min(counts.lost, recentInk);
    }
    return false;
}

void EraseDetector::examineCell(Cell& cell, const cv::Mat& detail, const cv::Mat& colour) {
    const Counts counts = compare(cell, detail);
    // New writing while part of the board is wiped waits until the loss is decided: it
    // starts the next board-full when the loss makes a key frame, else it is taken then.
    if (lostTotal > 0 && counts.gained > cellLossPixels) {
        cell.heldGain = counts.gained;
        return;
    }
    const bool untrusted = now - cell.gainedAt <= fleetingSeconds || cell.gainedAt > steadyAt;
    takeCell(cell, detail, colour);
    written += counts.gained;
    if (counts.gained > cellLossPixels) {
        // Gains in quick succession count from the ink the cell had before the first.
        if (!untrusted) {
            cell.inkBeforeGain = counts.kept;
        }
        cell.gainedAt = now;
    }
    cell.keptInk = counts.current;
    cell.lostInk = 0;
    cell.gainedOver = 0;
}

void EraseDetector::sumCells() {
    keptTotal = 0;
    lostTotal = 0;
    overTotal = 0;
    for (const Cell& cell : cells) {
        keptTotal += cell.keptInk;
        lostTotal += cell.lostInk;
        overTotal += (cell.lostInk > 0 ? cell.gainedOver : 0) + cell.heldGain;
    }
}

void EraseDetector::cellMask(const Cell& cell) {
    region.create(cell.bounds.size(), CV_8UC1);
    region.setTo(cv::Scalar::all(0));
    for (const Segment& s : cell.segments) {
        region.row(s.y - cell.bounds.y)
            .colRange(s.x0 - cell.bounds.x, s.x1 - cell.bounds.x)
            .setTo(cv::Scalar::all(255));
    }
}

// Ink counts of one cell, current picture against kept picture; the neighbourhood
// test may look across the cell's border.
EraseDetector::Counts EraseDetector::compare(const Cell& cell, const cv::Mat& detail) {
    cellMask(cell);
    cv::cvtColor(detail(cell.bounds), grey, cv::COLOR_BGR2GRAY);
    cv::compare(grey, inkLevel, currentInk, cv::CMP_GT);
    // A copy, not a view: dilating a view would read the ink around the cell's bounds.
    keptInk(cell.bounds).copyTo(keptInkMask);
    Counts counts;
    const auto countIn = [&](const cv::Mat& mask) {
        cv::bitwise_and(mask, region, scratch);
        return cv::countNonZero(scratch);
    };
    counts.kept = countIn(keptInkMask);
    counts.current = countIn(currentInk);
    cv::dilate(currentInk, grown, nearKernel());
    cv::bitwise_not(grown, grown);
    cv::bitwise_and(keptInkMask, grown, grown);
    counts.lost = countIn(grown);
    cv::dilate(keptInkMask, grown, nearKernel());
    cv::bitwise_not(grown, grown);
    cv::bitwise_and(currentInk, grown, grown);
    counts.gained = countIn(grown);
    return counts;
}

// compare() left the cell's mask in `region` and its current ink in `currentInk`.
void EraseDetector::takeCell(const Cell& cell, const cv::Mat& detail, const cv::Mat& colour) {
    cv::Mat target = peakDetail(cell.bounds);
    detail(cell.bounds).copyTo(target, region);
    cv::Mat inkTarget = keptInk(cell.bounds);
    currentInk.copyTo(inkTarget, region);
    if (!colour.empty() && !peakColour.empty()) {
        cv::Mat colourTarget = peakColour(cell.bounds);
        colour(cell.bounds).copyTo(colourTarget, region);
    }
}

void EraseDetector::acceptLosses(const cv::Mat& detail, const cv::Mat& colour) {
    for (Cell& cell : cells) {
        if (cell.lostInk == 0 && cell.heldGain == 0) {
            continue;
        }
        cell.heldGain = 0;
        const Counts counts = compare(cell, detail);
        takeCell(cell, detail, colour);
        written += counts.gained;
        cell.gainedAt = now;
        cell.inkBeforeGain = counts.kept;
        cell.keptInk = counts.current;
        cell.lostInk = 0;
        cell.gainedOver = 0;
    }
    sumCells();
    lossChangedAt = now;
}
