#include "frame_processor.h"

#include "calibration_store.h"

#include <iostream>

namespace {

constexpr int whiteBoard = 1;
constexpr int lastCode = 2;
constexpr double nominalFrameSeconds = 1.0 / 30;
// Contrast settings at which the stretch factor divides by zero: 131 on a white
// board, 131 + 70 on the dark boards, whose contrast is offset by -70.
constexpr int whitePoleContrast = 131;
constexpr int darkPoleContrast = 201;

bool isCode(int value) {
    return value >= 0 && value <= lastCode;
}

} // namespace

FrameProcessor::FrameProcessor() {
    current.boardColor = CalibrationStore::instance().boardColor;
    if (!isCode(current.boardColor)) {
        std::cout << "stored board color " << current.boardColor << " is not 0, 1 or 2, using 1"
                  << std::endl;
        current.boardColor = whiteBoard;
    }
}

std::vector<cv::Mat> FrameProcessor::processFrame(const cv::Mat& frameIn) {
    if (!startFrame(frameIn)) {
        finishPendingFrame();
    }
    return doneOutputs;
}

FrameProcessor::Intake FrameProcessor::takeFrame(const DeliveredFrame& frame) {
    finishPendingFrame();
    if (!readsFramePixels(frame.size)) {
        countUnreadFrame();
        return Intake::done;
    }
    const cv::Mat* pixels =
        frame.pixels != nullptr && !frame.pixels->empty() ? frame.pixels : nullptr;
    if (pixels != nullptr && pixels->size() == frame.size) {
        return startFrame(*pixels) ? Intake::done : Intake::started;
    }
    if (pixels != nullptr && readsOnlyReduction(frame.size)) {
        return startReducedFrame(*pixels, frame.size, frame.decodeWhole) ? Intake::done
                                                                         : Intake::started;
    }
    skipFrame();
    return Intake::skipped;
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
    beginStages(&frameIn, nullptr, nullptr);
    return continueFrame();
}

bool FrameProcessor::startReducedFrame(const cv::Mat& half, cv::Size frameSize,
                                       WholeFrameSource wholeFrame) {
    if (half.type() != CV_8UC3 ||
        half.size() != cv::Size((frameSize.width + 1) / 2, (frameSize.height + 1) / 2)) {
        // Only a caller that mixed up its frames gets here: the frame keeps its place.
        std::cout << "a half-size frame the pipeline cannot use was skipped" << std::endl;
        skipFrame();
        return true;
    }
    beginFrame();
    beginStages(nullptr, &half, std::move(wholeFrame));
    return continueFrame();
}

bool FrameProcessor::continueFrame() {
    switch (nextStage) {
    case Stage::motion:
        motion.run(frameCounter, input, darkBoard());
        nextStage = Stage::perspective;
        return false;
    case Stage::perspective:
        if (buildCount == 0) {
            runFullRebuild();
            nextStage = Stage::enhancement;
            return false;
        }
        motion.decideCells(frameCounter);
        perspective.beginCells();
        if (!input.hasWhole() &&
            (!motion.movingCells().empty() || !motion.settledCells().empty())) {
            nextStage = Stage::wholeFrame;
            return false;
        }
        nextStage = Stage::cells;
        [[fallthrough]];
    case Stage::cells:
        if (perspective.refreshNextCells(input, darkBoard(), motion.movingCells(),
                                         motion.settledCells(), enhancement.detailMaps())) {
            nextStage = Stage::warps;
        }
        return false;
    case Stage::wholeFrame:
        takeWholeFrame();
        nextStage = Stage::cells;
        return false;
    case Stage::warps:
        perspective.warpRefreshedCells(darkBoard(), motion.movingCells(), motion.settledCells());
        nextStage = Stage::enhancement;
        return false;
    case Stage::enhancement:
        changedOutputs = enhancement.run(current, perspective);
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

// A frame whose pixels no stage reads: it counts like any frame.
void FrameProcessor::countUnreadFrame() {
    beginFrame();
    beginStages(nullptr, nullptr, nullptr);
    finishPendingFrame();
}

// A frame the pipeline would read but whose pixels are missing: it keeps its place in
// the count (so plans made ahead stay in step), changes nothing and prints no "f : "
// line; what it would have read waits for the next frame read.
void FrameProcessor::skipFrame() {
    beginFrame();
    changedOutputs = false;
    frameCounter = frameNumberAfter(frameCounter, 1);
}

bool FrameProcessor::readsFramePixels(cv::Size frameSize, int ahead) const {
    if (missingPrerequisite(frameSize, CV_8UC3) != nullptr || buildCount == 0) {
        return true;
    }
    return motion.readsPixels(frameNumberAfter(frameCounter, ahead));
}

bool FrameProcessor::readsOnlyReduction(cv::Size frameSize, int ahead) const {
    if (missingPrerequisite(frameSize, CV_8UC3) != nullptr || buildCount == 0) {
        return false;
    }
    return motion.readsOnlyReduction(frameNumberAfter(frameCounter, ahead));
}

// The motion stage saw something move in a frame decoded at half size (or cells settle
// on it): its cells need the whole frame.
void FrameProcessor::takeWholeFrame() {
    const CalibrationStore& store = CalibrationStore::instance();
    if (input.fetchWhole(cv::Size(store.frameWidth, store.frameHeight)) == nullptr) {
        std::cout << "the whole frame could not be decoded: its cells stay as they were"
                  << std::endl;
        motion.dropCells();
        return;
    }
    motion.takeWholeFrame(input, darkBoard());
}

// Every frame, passed through or skipped, clears the last one's key frame and takes
// its time. A source whose clock stands still gets the nominal one.
void FrameProcessor::beginFrame() {
    keyFrame = false;
    const bool given = nextFrameTime >= 0 && nextFrameTime != frameTime;
    frameTime = given ? nextFrameTime : frameTime + nominalFrameSeconds;
    nextFrameTime = -1;
}

void FrameProcessor::beginStages(const cv::Mat* whole, const cv::Mat* half,
                                 WholeFrameSource source) {
    passThroughReason.clear();
    input.begin(whole, half, std::move(source));
    changedOutputs = false;
    nextStage = Stage::motion;
}

void FrameProcessor::endStages() {
    input.end(darkBoard());
    nextStage = Stage::idle;
    doneOutputs = enhancement.outputs();
    std::cout << "f : " << frameCounter << std::endl;
    frameCounter = frameNumberAfter(frameCounter, 1);
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

// Dark boards are inverted, so that every stage sees dark content on a light board.
bool FrameProcessor::darkBoard() const {
    return current.boardColor != whiteBoard;
}

void FrameProcessor::runFullRebuild() {
    const CalibrationStore& store = CalibrationStore::instance();
    std::cout << store.boardGrids.size() << std::endl;
    motion.restartFrom(input, darkBoard(), store.totalGrids);
    perspective.rebuild(input, darkBoard(), enhancement.detailMaps());
    // A new geometry, colour or exposure must never look like a wipe.
    eraseNeedsReset = true;
    ++buildCount;
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
    if (motion.measured()) {
        erase.noteMotion(motion.movingCells(), frameTime);
    }
    const cv::Mat noColour;
    keyFrame =
        erase.update(perspective.detailWarp(), darkBoard() ? perspective.colourWarp() : noColour,
                     motion.settledCells(), frameTime);
}

cv::Mat FrameProcessor::renderKeyFrame() const {
    if (!keyFrame) {
        return cv::Mat();
    }
    const cv::Mat& colour = erase.keptColour();
    if (darkBoard() && colour.size() != erase.keptDetail().size()) {
        std::cout << "key frame: no board-colour picture kept, nothing to save" << std::endl;
        return cv::Mat();
    }
    return EnhancementStage::renderBoard(erase.keptDetail(), colour, current);
}

void FrameProcessor::setSettings(int newMode, double newDetails, double newBrightness,
                                 double newContrast, bool newAr, double newArVal) {
    finishPendingFrame();
    if (isCode(newMode)) {
        current.mode = newMode;
    } else {
        std::cout << "mode " << newMode << " refused: expected 0, 1 or 2" << std::endl;
    }
    current.details = newDetails;
    current.brightness = static_cast<int>(newBrightness);
    const int truncatedContrast = static_cast<int>(newContrast);
    if (truncatedContrast == whitePoleContrast || truncatedContrast == darkPoleContrast) {
        std::cout << "contrast " << truncatedContrast
                  << " refused: it would divide by zero, keeping " << current.contrast << std::endl;
    } else {
        current.contrast = truncatedContrast;
    }
    current.ar = newAr;
    current.arVal = newArVal;
}

void FrameProcessor::setBoardColor(int color) {
    finishPendingFrame();
    if (!isCode(color)) {
        std::cout << "board color " << color << " refused: expected 0, 1 or 2" << std::endl;
        return;
    }
    if (color != current.boardColor) {
        current.boardColor = color;
        enhancement.colourChanged();
        // The next small frame has the other inversion: compared with the last one it
        // would look like motion in every cell, so it starts a new reference instead.
        motion.forgetReference();
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
