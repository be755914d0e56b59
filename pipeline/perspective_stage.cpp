#include "perspective_stage.h"

#include "calibration_store.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cstdlib>

namespace {

// Lens corrections per step of a frame: a moving cell costs one unit, a settled one
// about four (it also gets its detail map); a step of 64 units takes 15-20 ms.
constexpr size_t cellStepBudget = 64;
constexpr size_t movingCellCost = 1;
constexpr size_t settledCellCost = 4;

// OpenCV's plain allocator, with calloc for malloc.
class ZeroedAllocator : public cv::MatAllocator {
public:
    cv::UMatData* allocate(int dims, const int* sizes, int type, void* data, size_t* step,
                           cv::AccessFlag, cv::UMatUsageFlags) const override {
        size_t total = CV_ELEM_SIZE(type);
        for (int i = dims - 1; i >= 0; --i) {
            if (step != nullptr) {
                if (data != nullptr && step[i] != cv::Mat::AUTO_STEP) {
                    total = step[i];
                } else {
                    step[i] = total;
                }
            }
            total *= static_cast<size_t>(sizes[i]);
        }
        auto* u = new cv::UMatData(this);
        u->data = u->origdata = static_cast<uchar*>(data != nullptr ? data : std::calloc(total, 1));
        CV_Assert(u->data != nullptr);
        u->size = total;
        if (data != nullptr) {
            u->flags |= cv::UMatData::USER_ALLOCATED;
        }
        return u;
    }
    bool allocate(cv::UMatData* u, cv::AccessFlag, cv::UMatUsageFlags) const override {
        return u != nullptr;
    }
    void deallocate(cv::UMatData* u) const override {
        if (u == nullptr) {
            return;
        }
        if (!(u->flags & cv::UMatData::USER_ALLOCATED)) {
            std::free(u->origdata);
        }
        delete u;
    }
};

// A black canvas from calloc: the system hands large blocks out as zero pages that take
// memory only once written, so the parts of a canvas far from the board cost nothing.
void prepareCanvas(cv::Mat& canvasPicture, cv::Size size) {
    static ZeroedAllocator allocator;
    canvasPicture.release();
    canvasPicture.allocator = &allocator;
    canvasPicture.create(size, CV_8UC3);
}

void lensCorrectCell(const cv::Mat& frame, int k, cv::Mat& cellPicture) {
    const CalibrationStore& store = CalibrationStore::instance();
    cv::remap(frame, cellPicture, store.fisheyeMaps1[k], store.fisheyeMaps2[k], cv::INTER_LINEAR,
              cv::BORDER_CONSTANT, cv::Scalar());
}

void writeCell(const cv::Mat& cellPicture, cv::Mat& canvasPicture, const cv::Rect& cell) {
    cv::Mat target = canvasPicture(cell);
    cellPicture.convertTo(target, CV_8U);
}

} // namespace

void PerspectiveStage::rebuild(FrameInput& input, bool darkBoard, const BoardEnhancer& details) {
    const CalibrationStore& store = CalibrationStore::instance();
    boardWarp.prepare(store.homography, cv::Size(store.homographyWidth, store.homographyHeight),
                      store.canvasCells, store.boardGrids, store.map1.size());
    lensCorrectCanvas(input, darkBoard);
    prepareCanvas(detailCanvas, store.map1.size());
    // A white board never reads the colour canvas, so it is not kept for one.
    if (darkBoard) {
        prepareCanvas(colourCanvas, store.map1.size());
    } else {
        colourCanvas.release();
    }
    refreshBoardCells(input, darkBoard, store.boardGrids, 0, store.boardGrids.size(),
                      boardWarp.readsOnlyBoardCells(), details);
    boardWarp.warpAll(detailCanvas, detailWarped);
    boardWarp.warpAll(canvas, liveWarped);
    if (darkBoard) {
        boardWarp.warpAll(colourCanvas, colourWarped);
    }
    changed.board = true;
    changed.boardWhole = true;
    changed.live = true;
    if (darkBoard) {
        changed.colour = true;
    }
}

// The board picture reads the canvas only inside the board cells (checked on the warp
// table), and those are lens-corrected cell by cell anyway; otherwise the whole
// frame is corrected.
void PerspectiveStage::lensCorrectCanvas(FrameInput& input, bool darkBoard) {
    const CalibrationStore& store = CalibrationStore::instance();
    if (!boardWarp.readsOnlyBoardCells()) {
        cv::remap(input.prepared(darkBoard), canvas, store.map1, store.map2, cv::INTER_LINEAR,
                  cv::BORDER_CONSTANT, cv::Scalar());
        return;
    }
    prepareCanvas(canvas, store.map1.size());
}

void PerspectiveStage::beginCells() {
    movingDone = 0;
    settledDone = 0;
}

// Moving cells first, then settled ones.
bool PerspectiveStage::refreshNextCells(FrameInput& input, bool darkBoard,
                                        const std::vector<int>& moving,
                                        const std::vector<int>& settled,
                                        const BoardEnhancer& details) {
    const size_t movingNow = std::min(moving.size() - movingDone, cellStepBudget / movingCellCost);
    refreshLiveCells(input, darkBoard, moving, movingDone, movingDone + movingNow);
    movingDone += movingNow;
    const size_t budgetLeft = cellStepBudget - movingNow * movingCellCost;
    const size_t settledNow = std::min(settled.size() - settledDone, budgetLeft / settledCellCost);
    refreshBoardCells(input, darkBoard, settled, settledDone, settledDone + settledNow, false,
                      details);
    settledDone += settledNow;
    return movingDone == moving.size() && settledDone == settled.size();
}

void PerspectiveStage::warpRefreshedCells(bool darkBoard, const std::vector<int>& moving,
                                          const std::vector<int>& settled) {
    if (!settled.empty()) {
        changed.boardRegion |= boardWarp.footprintOf(settled);
        boardWarp.warpCells(detailCanvas, detailWarped, settled);
        if (darkBoard) {
            boardWarp.warpCells(colourCanvas, colourWarped, settled);
            changed.colour = true;
        }
        changed.board = true;
    }
    if (!moving.empty()) {
        boardWarp.warpCells(canvas, liveWarped, moving);
        changed.live = true;
    }
}

void PerspectiveStage::refreshLiveCells(FrameInput& input, bool darkBoard,
                                        const std::vector<int>& cells, size_t first, size_t last) {
    if (first >= last) {
        return;
    }
    const cv::Mat& frame = input.prepared(darkBoard);
    const CalibrationStore& store = CalibrationStore::instance();
    const cv::Range span(static_cast<int>(first), static_cast<int>(last));
    cv::parallel_for_(span, [&](const cv::Range& range) {
        for (int i = range.start; i < range.end; ++i) {
            cv::Mat target = canvas(store.canvasCells[cells[i]]);
            lensCorrectCell(frame, cells[i], target);
        }
    });
}

void PerspectiveStage::refreshBoardCells(FrameInput& input, bool darkBoard,
                                         const std::vector<int>& cells, size_t first, size_t last,
                                         bool alsoLive, const BoardEnhancer& details) {
    if (first >= last) {
        return;
    }
    const cv::Mat& frame = input.prepared(darkBoard);
    const CalibrationStore& store = CalibrationStore::instance();
    const cv::Range span(static_cast<int>(first), static_cast<int>(last));
    cv::parallel_for_(span, [&](const cv::Range& range) {
        cv::Mat cellPicture;
        for (int i = range.start; i < range.end; ++i) {
            const int k = cells[i];
            const cv::Rect& cell = store.canvasCells[k];
            lensCorrectCell(frame, k, cellPicture);
            if (alsoLive) {
                writeCell(cellPicture, canvas, cell);
            }
            if (darkBoard) {
                writeCell(cellPicture, colourCanvas, cell);
            }
            writeCell(details.detailMap(cellPicture, k), detailCanvas, cell);
        }
    });
}
