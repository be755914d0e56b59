#include "frame_processor.h"

#include "calibration_store.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cstdlib>
#include <iostream>

namespace {

constexpr int whiteBoard = 1;
constexpr int greenBoard = 2;
constexpr int modeColor = 0;
constexpr int lastCode = 2;
constexpr int counterWrap = 101;
constexpr double nominalFrameSeconds = 1.0 / 30;
// Lens corrections per step of a frame: a moving cell costs one unit, a settled one
// about four (it also gets its detail map); a step of 64 units takes 15-20 ms.
constexpr size_t cellStepBudget = 64;
constexpr size_t movingCellCost = 1;
constexpr size_t settledCellCost = 4;
// Contrast settings at which the stretch factor divides by zero: 131 on a white
// board, 131 + 70 on the dark boards, whose contrast is offset by -70.
constexpr int whitePoleContrast = 131;
constexpr int darkPoleContrast = 201;
const char* const trueColourFile = "trueColor.jpg";

bool isCode(int value) {
    return value >= 0 && value <= lastCode;
}

// Chalk on a dark board becomes ink on a light one; split in two for both cores.
void invertInto(const cv::Mat& source, cv::Mat& inverted) {
    inverted.create(source.size(), source.type());
    const cv::Scalar white(255, 255, 255, 0);
    cv::parallel_for_(cv::Range(0, source.rows), [&](const cv::Range& rows) {
        cv::Mat target = inverted.rowRange(rows);
        cv::subtract(white, source.rowRange(rows), target);
    });
}

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

cv::MatAllocator& blackCanvasAllocator() {
    static ZeroedAllocator allocator;
    return allocator;
}

void writeCell(const cv::Mat& cellPicture, cv::Mat& canvasPicture, const cv::Rect& cell) {
    cv::Mat target = canvasPicture(cell);
    cellPicture.convertTo(target, CV_8U);
}

} // namespace

bool FrameProcessor::ComposeInputs::operator==(const ComposeInputs& other) const {
    return mode == other.mode && ar == other.ar && arVal == other.arVal &&
           details == other.details && brightness == other.brightness &&
           contrast == other.contrast && boardColor == other.boardColor;
}

FrameProcessor::FrameProcessor() {
    boardColor = CalibrationStore::instance().boardColor;
    if (!isCode(boardColor)) {
        std::cout << "stored board color " << boardColor << " is not 0, 1 or 2, using 1"
                  << std::endl;
        boardColor = whiteBoard;
    }
}

std::vector<cv::Mat> FrameProcessor::processFrame(const cv::Mat& frameIn) {
    if (!startFrame(frameIn)) {
        finishPendingFrame();
    }
    return doneOutputs;
}

bool FrameProcessor::startFrame(const cv::Mat& frameIn) {
    finishPendingFrame();
    beginFrame();
    if (frameIn.empty()) {
        changedOutputs = true;
        doneOutputs = {cv::Mat(), cv::Mat()};
        return true;
    }
    if (const char* reason = missingPrerequisite(frameIn.size(), frameIn.type())) {
        reportPassThrough(reason);
        changedOutputs = true;
        doneOutputs = {frameIn, frameIn};
        return true;
    }
    beginStages(&frameIn);
    return continueFrame();
}

bool FrameProcessor::startReducedFrame(const cv::Mat& half, cv::Size frameSize,
                                       WholeFrameSource wholeFrame) {
    finishPendingFrame();
    if (!readsOnlyReduction(frameSize) || half.type() != CV_8UC3 ||
        half.size() != cv::Size((frameSize.width + 1) / 2, (frameSize.height + 1) / 2)) {
        // Only a caller that mixed up its frames gets here: the frame keeps its place.
        std::cout << "a half-size frame the pipeline cannot use was skipped" << std::endl;
        skipFrame();
        return true;
    }
    beginFrame();
    beginStages(nullptr);
    reducedInput = &half;
    wholeFrameSource = std::move(wholeFrame);
    return continueFrame();
}

bool FrameProcessor::continueFrame() {
    switch (nextStage) {
    case Stage::motion:
        runMotionStage();
        nextStage = Stage::perspective;
        return false;
    case Stage::perspective:
        if (buildCount == 0) {
            runFullRebuild();
            nextStage = Stage::enhancement;
            return false;
        }
        decideCells();
        if (input == nullptr && (!movingCells.empty() || !settledCells.empty())) {
            nextStage = Stage::wholeFrame;
            return false;
        }
        nextStage = Stage::cells;
        [[fallthrough]];
    case Stage::cells:
        if (refreshNextCells()) {
            nextStage = Stage::warps;
        }
        return false;
    case Stage::wholeFrame:
        takeWholeFrame();
        nextStage = Stage::cells;
        return false;
    case Stage::warps:
        warpRefreshedCells();
        nextStage = Stage::enhancement;
        return false;
    case Stage::enhancement:
        runEnhancementStage();
        runEraseStage();
        endStages();
        return true;
    case Stage::idle:
        break;
    }
    return true;
}

void FrameProcessor::finishPendingFrame() {
    while (!continueFrame()) {
    }
}

std::vector<cv::Mat> FrameProcessor::processUnreadFrame(cv::Size frameSize) {
    finishPendingFrame();
    if (readsFramePixels(frameSize)) {
        changedOutputs = false;
        return {cv::Mat(), cv::Mat()};
    }
    beginFrame();
    beginStages(nullptr);
    finishPendingFrame();
    return doneOutputs;
}

void FrameProcessor::skipFrame() {
    finishPendingFrame();
    beginFrame();
    changedOutputs = false;
    advanceFrameCounter();
}

// Mirrors the stages: the motion stage reads every other frame, a rebuild reads the
// frame, and between motion frames only cells still marked moving are corrected.
bool FrameProcessor::readsFramePixels(cv::Size frameSize, int ahead) const {
    if (missingPrerequisite(frameSize, CV_8UC3) != nullptr || buildCount == 0) {
        return true;
    }
    const int counter = counterAfter(ahead);
    if (counter % detectPeriod == 0) {
        return true;
    }
    const CalibrationStore& store = CalibrationStore::instance();
    return std::any_of(store.boardGrids.begin(), store.boardGrids.end(),
                       [this](int k) { return motion.marks[k] != 0; });
}

bool FrameProcessor::readsOnlyReduction(cv::Size frameSize, int ahead) const {
    if (missingPrerequisite(frameSize, CV_8UC3) != nullptr || buildCount == 0) {
        return false;
    }
    const int counter = counterAfter(ahead);
    return counter % detectPeriod == 0 && !cellsNeedFrame(counter);
}

// The frame counter `steps` frames on, as advanceFrameCounter moves it.
int FrameProcessor::counterAfter(int steps) const {
    int counter = frameCounter;
    for (int i = 0; i < steps; ++i) {
        counter = counter + 1 == counterWrap ? 1 : counter + 1;
    }
    return counter;
}

// Whether the cells of the frame numbered `counter` read it whatever the motion
// stage finds: cells still marked moving, or settling on a refresh frame.
bool FrameProcessor::cellsNeedFrame(int counter) const {
    const CalibrationStore& store = CalibrationStore::instance();
    const bool refreshFrame = counter % refreshPeriod == 0;
    return std::any_of(store.boardGrids.begin(), store.boardGrids.end(), [&](int k) {
        return motion.marks[k] != 0 ||
               (refreshFrame && (motion.previousMarks[k] > 0 || motion.settleCounts[k] > 0));
    });
}

// The whole frame of one decoded at half size, asked for once; null when it cannot be
// had. It becomes the frame the later stages read.
const cv::Mat* FrameProcessor::fetchWholeFrame() {
    const cv::Mat* whole = wholeFrameSource ? wholeFrameSource() : nullptr;
    wholeFrameSource = nullptr;
    const CalibrationStore& store = CalibrationStore::instance();
    if (whole == nullptr || whole->size() != cv::Size(store.frameWidth, store.frameHeight) ||
        whole->type() != CV_8UC3) {
        return nullptr;
    }
    input = whole;
    frameReady = false;
    return whole;
}

// The motion stage saw something move in a frame decoded at half size: its cells
// need the whole frame. Its small frame is made again from it, so that the next
// comparison is between small frames made alike.
void FrameProcessor::takeWholeFrame() {
    if (fetchWholeFrame() == nullptr) {
        std::cout << "the whole frame could not be decoded: its cells stay as they were"
                  << std::endl;
        movingCells.clear();
        settledCells.clear();
        return;
    }
    reducedInput = nullptr;
    makeSmallFrame();
    motion.setReference(smallCorrected);
    smallFromReduced = false;
}

// Every frame, passed through or skipped, clears the last one's key frame and takes
// its time. A source whose clock stands still gets the nominal one.
void FrameProcessor::beginFrame() {
    keyFrame = false;
    const bool given = nextFrameTime >= 0 && nextFrameTime != frameTime;
    frameTime = given ? nextFrameTime : frameTime + nominalFrameSeconds;
    nextFrameTime = -1;
}

void FrameProcessor::beginStages(const cv::Mat* frameIn) {
    passThroughReason.clear();
    input = frameIn;
    frameReady = false;
    changedOutputs = false;
    nextStage = Stage::motion;
}

void FrameProcessor::endStages() {
    // A white board's frame only borrows the caller's pixels until here.
    if (boardColor == whiteBoard) {
        frame.release();
    }
    input = nullptr;
    reducedInput = nullptr;
    wholeFrameSource = nullptr;
    nextStage = Stage::idle;
    doneOutputs = outputs;
    std::cout << "f : " << frameCounter << std::endl;
    advanceFrameCounter();
}

const char* FrameProcessor::missingPrerequisite(cv::Size frameSize, int frameType) const {
    const CalibrationStore& store = CalibrationStore::instance();
    if (!store.hasLensMaps()) {
        return "no lens maps in calib_data: showing the camera picture uncorrected";
    }
    if (!store.hasCalibration()) {
        return "no board calibration yet: showing the camera picture until the corners are set";
    }
    if (frameSize.width != store.frameWidth || frameSize.height != store.frameHeight ||
        frameType != CV_8UC3) {
        return "camera frame does not match the calibrated 8-bit BGR frame size: showing it "
               "uncorrected";
    }
    return nullptr;
}

void FrameProcessor::reportPassThrough(const char* reason) {
    if (passThroughReason != reason) {
        passThroughReason = reason;
        std::cout << reason << std::endl;
    }
}

// The frame is prepared only when a stage reads it: a still board on an odd frame
// reads nothing, and a white board reads the caller's pixels in place.
const cv::Mat& FrameProcessor::currentFrame() {
    CV_Assert(input != nullptr);
    if (!frameReady) {
        if (boardColor == whiteBoard) {
            frame = *input;
        } else {
            invertInto(*input, frame);
        }
        frameReady = true;
    }
    return frame;
}

// A bilinear reduction reads two source rows per output row (pixel centres aligned).
// On a still dark board only those rows need the inversion, a third of the frame at
// the six-fold reduction; the rest follows when a cell needs the frame.
const cv::Mat& FrameProcessor::frameForReduction(const cv::Size& reduced) {
    if (frameReady || boardColor == whiteBoard || reduced.height <= 0) {
        return currentFrame();
    }
    const int height = input->rows;
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
    frame.create(input->size(), input->type());
    const cv::Scalar white(255, 255, 255, 0);
    cv::parallel_for_(cv::Range(0, static_cast<int>(reductionRows.size())),
                      [&](const cv::Range& range) {
                          for (int i = range.start; i < range.end; ++i) {
                              cv::Mat row = frame.row(reductionRows[i]);
                              cv::subtract(white, input->row(reductionRows[i]), row);
                          }
                      });
    return frame;
}

void FrameProcessor::runMotionStage() {
    motionMeasured = false;
    if (frameCounter % detectPeriod != 0) {
        return;
    }
    const cv::Mat* const reduced = reducedInput;
    if (reduced != nullptr && !smallFromReduced && !motion.previousSmall.empty() &&
        fetchWholeFrame() != nullptr) {
        // The first half-size frame after whole ones: its motion is found from the whole
        // frame, like with like. Unless it shows motion, after which whole frames follow,
        // its half-size copy becomes the next reference.
        reducedInput = nullptr;
        makeSmallFrame();
        motionCompared = true;
        motionMeasured = true;
        motion.update(smallCorrected);
        if (!cellsNeedFrame(counterAfter(detectPeriod))) {
            reducedInput = reduced;
            makeSmallFrame();
            motion.setReference(smallCorrected);
            smallFromReduced = true;
        }
        return;
    }
    // Otherwise a change of how the small frame is made starts a new reference.
    const bool fromReduced = reduced != nullptr;
    if (fromReduced != smallFromReduced) {
        motion.previousSmall.release();
        smallFromReduced = fromReduced;
    }
    makeSmallFrame();
    motionMeasured = !motion.previousSmall.empty();
    motionCompared = motionCompared || motionMeasured;
    motion.update(smallCorrected);
}

// The small lens-corrected frame, from the frame or from its half-size copy.
void FrameProcessor::makeSmallFrame() {
    const CalibrationStore& store = CalibrationStore::instance();
    const cv::Size reduced(store.smallFrameWidth, store.smallFrameHeight);
    if (reducedInput != nullptr) {
        // Each small pixel is the half-size pixel at the centre of the 2 x 2 block that the
        // whole frame's six-fold reduction averages. A dark board's inversion is left out:
        // it changes no difference between two small frames made alike.
        cv::resize(*reducedInput, smallFrame, reduced, 0, 0, cv::INTER_LINEAR);
    } else {
        cv::resize(frameForReduction(reduced), smallFrame, reduced, 0, 0, cv::INTER_LINEAR);
    }
    cv::remap(smallFrame, smallCorrected, store.smallMap1, store.smallMap2, cv::INTER_LINEAR,
              cv::BORDER_CONSTANT, cv::Scalar());
}

void FrameProcessor::runFullRebuild() {
    const CalibrationStore& store = CalibrationStore::instance();
    std::cout << store.boardGrids.size() << std::endl;
    motion.marks.resize(store.totalGrids, 0);
    motion.previousMarks.resize(store.totalGrids, 0);
    // The board pictures show this frame: the motion stage compares what follows with
    // it, so that whatever changes next (someone walking away) is seen and refreshed.
    makeSmallFrame();
    motion.setReference(smallCorrected);
    smallFromReduced = false;
    boardWarp.prepare(store.homography, cv::Size(store.homographyWidth, store.homographyHeight),
                      store.canvasCells, store.boardGrids, store.map1.size());
    lensCorrectCanvas();
    prepareCanvas(detailCanvas, store.map1.size());
    // A white board never reads the colour canvas, so it is not kept for one.
    if (boardColor != whiteBoard) {
        prepareCanvas(colourCanvas, store.map1.size());
    } else {
        colourCanvas.release();
    }
    refreshBoardCells(store.boardGrids, 0, store.boardGrids.size(),
                      boardWarp.readsOnlyBoardCells());
    boardWarp.warpAll(detailCanvas, detailWarp);
    boardWarp.warpAll(canvas, liveWarp);
    if (boardColor != whiteBoard) {
        boardWarp.warpAll(colourCanvas, colourWarp);
        trueColourStale = true;
    }
    boardWarpsChanged = true;
    boardChangedWhole = true;
    liveWarpChanged = true;
    settledCells.clear();
    movingCells.clear();
    motionCompared = false;
    motionMeasured = false;
    // A new geometry, colour or exposure must never look like a wipe.
    eraseNeedsReset = true;
    ++buildCount;
}

// The board picture reads the canvas only inside the board cells (checked on the warp
// table), and those are lens-corrected cell by cell anyway; otherwise the whole
// frame is corrected.
void FrameProcessor::lensCorrectCanvas() {
    const CalibrationStore& store = CalibrationStore::instance();
    if (!boardWarp.readsOnlyBoardCells()) {
        cv::remap(currentFrame(), canvas, store.map1, store.map2, cv::INTER_LINEAR,
                  cv::BORDER_CONSTANT, cv::Scalar());
        return;
    }
    prepareCanvas(canvas, store.map1.size());
}

// A black canvas from calloc: the system hands large blocks out as zero pages that take
// memory only once written, so the parts of a canvas far from the board cost nothing.
void FrameProcessor::prepareCanvas(cv::Mat& canvasPicture, cv::Size size) {
    canvasPicture.release();
    canvasPicture.allocator = &blackCanvasAllocator();
    canvasPicture.create(size, CV_8UC3);
}

// Decides every board cell in list order first; the lens corrections that follow touch
// disjoint canvas rectangles, so they may run side by side and in several steps.
void FrameProcessor::decideCells() {
    const CalibrationStore& store = CalibrationStore::instance();
    const bool refreshFrame = frameCounter % refreshPeriod == 0;
    std::vector<int>& marks = motion.marks;
    std::vector<int>& previousMarks = motion.previousMarks;
    std::vector<int>& settleCounts = motion.settleCounts;
    movingCells.clear();
    settledCells.clear();
    for (int k : store.boardGrids) {
        if (marks[k] != 0) {
            movingCells.push_back(k);
        } else {
            if (!refreshFrame) {
                continue;
            }
            int settle = settleCounts[k];
            if (previousMarks[k] > 0 && settle <= 0) {
                ++settle;
            }
            if (settle > 0) {
                ++settle;
                settledCells.push_back(k);
            }
            if (settle >= settleLimit) {
                settle = 0;
            }
            settleCounts[k] = settle;
        }
        if (refreshFrame) {
            previousMarks[k] = marks[k];
            if (marks[k] > 0) {
                --marks[k];
            }
        }
    }
    movingDone = 0;
    settledDone = 0;
}

// Moving cells first, then settled ones, as many as one step's budget allows; true
// when the frame's cells are all done.
bool FrameProcessor::refreshNextCells() {
    const size_t moving =
        std::min(movingCells.size() - movingDone, cellStepBudget / movingCellCost);
    refreshLiveCells(movingCells, movingDone, movingDone + moving);
    movingDone += moving;
    const size_t budgetLeft = cellStepBudget - moving * movingCellCost;
    const size_t settled =
        std::min(settledCells.size() - settledDone, budgetLeft / settledCellCost);
    refreshBoardCells(settledCells, settledDone, settledDone + settled, false);
    settledDone += settled;
    return movingDone == movingCells.size() && settledDone == settledCells.size();
}

void FrameProcessor::warpRefreshedCells() {
    if (!settledCells.empty()) {
        boardChange |= boardWarp.footprintOf(settledCells);
        boardWarp.warpCells(detailCanvas, detailWarp, settledCells);
        if (boardColor != whiteBoard) {
            boardWarp.warpCells(colourCanvas, colourWarp, settledCells);
            trueColourStale = true;
        }
        boardWarpsChanged = true;
    }
    if (!movingCells.empty()) {
        boardWarp.warpCells(canvas, liveWarp, movingCells);
        liveWarpChanged = true;
    }
}

void FrameProcessor::lensCorrectCell(int k, cv::Mat& cellPicture) {
    const CalibrationStore& store = CalibrationStore::instance();
    cv::remap(frame, cellPicture, store.fisheyeMaps1[k], store.fisheyeMaps2[k], cv::INTER_LINEAR,
              cv::BORDER_CONSTANT, cv::Scalar());
}

void FrameProcessor::refreshLiveCells(const std::vector<int>& cells, size_t first, size_t last) {
    if (first >= last) {
        return;
    }
    currentFrame();
    const CalibrationStore& store = CalibrationStore::instance();
    const cv::Range span(static_cast<int>(first), static_cast<int>(last));
    cv::parallel_for_(span, [&](const cv::Range& range) {
        for (int i = range.start; i < range.end; ++i) {
            cv::Mat target = canvas(store.canvasCells[cells[i]]);
            lensCorrectCell(cells[i], target);
        }
    });
}

void FrameProcessor::refreshBoardCells(const std::vector<int>& cells, size_t first, size_t last,
                                       bool alsoLive) {
    if (first >= last) {
        return;
    }
    currentFrame();
    const CalibrationStore& store = CalibrationStore::instance();
    const bool keepColour = boardColor != whiteBoard;
    const cv::Range span(static_cast<int>(first), static_cast<int>(last));
    cv::parallel_for_(span, [&](const cv::Range& range) {
        cv::Mat cellPicture;
        for (int i = range.start; i < range.end; ++i) {
            const int k = cells[i];
            const cv::Rect& cell = store.canvasCells[k];
            lensCorrectCell(k, cellPicture);
            if (alsoLive) {
                writeCell(cellPicture, canvas, cell);
            }
            if (keepColour) {
                writeCell(cellPicture, colourCanvas, cell);
            }
            writeCell(enhancer.detailMap(cellPicture, k), detailCanvas, cell);
        }
    });
}

void FrameProcessor::runEnhancementStage() {
    if (boardColor == greenBoard) {
        writeTrueColour();
    }
    const ComposeInputs inputs{mode, ar, arVal, details, brightness, contrast, boardColor};
    // compose is a pure function of the warps and the settings: an unchanged frame
    // keeps its outputs, and a change of the live picture alone redoes only the overlay.
    // Without a colour picture the board picture falls back on the live one.
    const bool boardReadsLive = boardColor != whiteBoard && colourWarp.size() != liveWarp.size();
    const bool sameSettings = composed && inputs == lastComposed && !boardReadsLive;
    const bool patchBoard =
        sameSettings && boardWarpsChanged && !boardChangedWhole &&
        enhancer.recomposeBoardRegion(detailWarp, colourWarp, liveWarp, boardChange);
    if (!sameSettings || (boardWarpsChanged && !patchBoard)) {
        outputs = enhancer.compose(liveWarp, detailWarp, mode, ar, arVal, details, brightness,
                                   contrast, boardColor, colourWarp);
        changedOutputs = true;
    } else if (liveWarpChanged || patchBoard) {
        outputs = enhancer.recomposeDisplay(liveWarp);
        changedOutputs = true;
    }
    lastComposed = inputs;
    composed = true;
    boardWarpsChanged = false;
    boardChangedWhole = false;
    boardChange = cv::Rect();
    liveWarpChanged = false;
}

// The file only changes when the colour picture does; encoding it costs more than
// the rest of a still frame.
void FrameProcessor::writeTrueColour() {
    if (!trueColourStale) {
        return;
    }
    if (colourWarp.empty()) {
        std::cout << "no board-colour picture yet, " << trueColourFile << " not written"
                  << std::endl;
        trueColourStale = false;
        return;
    }
    if (cv::imwrite(trueColourFile, colourWarp)) {
        trueColourFailed = false;
    } else if (!trueColourFailed) {
        std::cout << "could not write " << trueColourFile << std::endl;
        trueColourFailed = true;
    }
    trueColourStale = false;
}

void FrameProcessor::runEraseStage() {
    keyFrame = false;
    if (!eraseDetection) {
        return;
    }
    if (eraseNeedsReset) {
        const CalibrationStore& store = CalibrationStore::instance();
        erase.reset(store.homography, cv::Size(store.homographyWidth, store.homographyHeight),
                    store.canvasCells, store.boardGrids);
        eraseNeedsReset = false;
    }
    // Only frames the motion stage compared tell whether a cell is still.
    if (motionMeasured) {
        erase.noteMotion(movingCells, frameTime);
    }
    const cv::Mat noColour;
    keyFrame = erase.update(detailWarp, boardColor != whiteBoard ? colourWarp : noColour,
                            settledCells, frameTime);
}

cv::Mat FrameProcessor::renderKeyFrame() const {
    if (!keyFrame) {
        return cv::Mat();
    }
    const cv::Mat& colour = erase.keptColour();
    if (boardColor != whiteBoard && colour.size() != erase.keptDetail().size()) {
        std::cout << "key frame: no board-colour picture kept, nothing to save" << std::endl;
        return cv::Mat();
    }
    // An enhancer of its own: the live one keeps its buffers for the next frame.
    BoardEnhancer renderer;
    const std::vector<cv::Mat> pictures =
        renderer.compose(colour, erase.keptDetail(), modeColor, false, arVal, details, brightness,
                         contrast, boardColor, colour);
    return pictures[0].clone();
}

void FrameProcessor::advanceFrameCounter() {
    ++frameCounter;
    if (frameCounter == counterWrap) {
        frameCounter = 1;
    }
}

void FrameProcessor::setSettings(int newMode, double newDetails, double newBrightness,
                                 double newContrast, bool newAr, double newArVal) {
    finishPendingFrame();
    if (isCode(newMode)) {
        mode = newMode;
    } else {
        std::cout << "mode " << newMode << " refused: expected 0, 1 or 2" << std::endl;
    }
    details = newDetails;
    brightness = static_cast<int>(newBrightness);
    const int truncatedContrast = static_cast<int>(newContrast);
    if (truncatedContrast == whitePoleContrast || truncatedContrast == darkPoleContrast) {
        std::cout << "contrast " << truncatedContrast
                  << " refused: it would divide by zero, keeping " << contrast << std::endl;
    } else {
        contrast = truncatedContrast;
    }
    ar = newAr;
    arVal = newArVal;
}

void FrameProcessor::setBoardColor(int color) {
    finishPendingFrame();
    if (!isCode(color)) {
        std::cout << "board color " << color << " refused: expected 0, 1 or 2" << std::endl;
        return;
    }
    if (color != boardColor) {
        boardColor = color;
        trueColourStale = true;
        // The next small frame has the other inversion: compared with the last one it
        // would look like motion in every cell, so it starts a new reference instead.
        motion.previousSmall.release();
        requestRebuild();
    }
}

void FrameProcessor::setEraseDetection(bool on) {
    finishPendingFrame();
    if (on != eraseDetection) {
        eraseDetection = on;
        eraseNeedsReset = true;
        keyFrame = false;
        erase = EraseDetector(); // its pictures are not kept while it is off
    }
}

void FrameProcessor::setFrameTime(double seconds) {
    nextFrameTime = seconds;
}

// The detector runs last in a frame, so a frame under way need not be finished first.
void FrameProcessor::restartEraseDetection() {
    erase.restart();
}

void FrameProcessor::requestRebuild() {
    finishPendingFrame();
    buildCount = 0;
}
