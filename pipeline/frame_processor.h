#pragma once

#include "board_enhancer.h"
#include "board_warp.h"
#include "erase_detector.h"
#include "motion_detector.h"

#include <opencv2/core.hpp>

#include <functional>
#include <string>
#include <vector>

// The per-frame image pipeline: motion stage, perspective stage, enhancement stage.
// Lens correction runs cell by cell and only where motion was seen, so a still
// board costs little; work whose result the outputs cannot see is skipped.
class FrameProcessor {
public:
    FrameProcessor();

    // Element 0: clean board picture; element 1: display picture. Both share
    // buffers with the processor; callers keeping them must deep-copy them before
    // the next call. Without lens maps or calibration both are the input itself.
    std::vector<cv::Mat> processFrame(const cv::Mat& input);
    // The same frame in steps, so that a caller's event loop can run between the
    // stages: startFrame runs the first, continueFrame each further one, and the one
    // returning true leaves in finishedOutputs() what processFrame would return. The
    // frame must stay alive until then. Any other call first finishes the frame.
    bool startFrame(const cv::Mat& input);
    bool continueFrame();
    const std::vector<cv::Mat>& finishedOutputs() const { return doneOutputs; }
    bool frameInProgress() const { return nextStage != Stage::idle; }
    // A frame of `frameSize` that readsFramePixels said would not be read: it counts
    // like any frame, and its pixels need not be decoded. Returns empty matrices,
    // touching nothing, when the frame's pixels would be read after all.
    std::vector<cv::Mat> processUnreadFrame(cv::Size frameSize);
    // A frame the pipeline would read but whose pixels are missing: it keeps its place
    // in the count (so plans made ahead stay in step), changes nothing and prints no
    // "f : " line; what it would have read waits for the next frame read.
    void skipFrame();
    // Whether the frame `ahead` frames after the next one (0: the next) will have its
    // pixels read, as far as the pipeline's state now tells. Exact for the next frame.
    bool readsFramePixels(cv::Size frameSize, int ahead = 0) const;
    // Whether that frame's pixels are read only by the motion stage's reduction, as on
    // a still board, so that a copy of half the size in each direction does.
    bool readsOnlyReduction(cv::Size frameSize, int ahead = 0) const;
    // Like startFrame, for a frame of `frameSize` of which only such a half-size copy
    // was decoded. When the frame needs the whole frame after all (its cells show
    // motion, or it is the first half-size frame after whole ones), `wholeFrame` is
    // called once and must return it, alive until the frame is finished, or null
    // when it cannot be had.
    using WholeFrameSource = std::function<const cv::Mat*()>;
    bool startReducedFrame(const cv::Mat& half, cv::Size frameSize, WholeFrameSource wholeFrame);
    // Whether the last call changed its outputs; an unchanged display picture need not
    // be shown again.
    bool outputsChanged() const { return changedOutputs; }

    // Values outside their range (mode, a contrast at the pole of the contrast
    // formula) are refused with a console line; the others are still taken.
    void setSettings(int mode, double details, double brightness, double contrast, bool ar,
                     double arVal);
    // A new colour also requests a rebuild: the canvases hold the other inversion.
    void setBoardColor(int color);
    void requestRebuild();
    // The time of the next frame, in seconds on the camera's clock; without one the
    // frames are taken 1/30 s apart.
    void setFrameTime(double seconds);
    // Looking for erasures costs a little per frame; switching it on starts afresh.
    void setEraseDetection(bool on);
    // The board is seen afresh (the camera opened again): the detector waits for it
    // to be still before following it.
    void restartEraseDetection();
    bool eraseDetectionOn() const { return eraseDetection; }

    // True after a frame in which the board was wiped: the board from before is kept.
    bool hasKeyFrame() const { return keyFrame; }
    // The kept board as the "Color" mode renders it with the current detail, contrast
    // and brightness, without the overlay; a picture of its own. Empty without one.
    cv::Mat renderKeyFrame() const;
    // The board cells refreshed in the board pictures by the last frame.
    const std::vector<int>& refreshedCells() const { return settledCells; }
    // The board cells the last frame's motion stage saw move; null when it compared
    // nothing on that frame.
    const std::vector<int>* measuredMotion() const {
        return motionMeasured ? &movingCells : nullptr;
    }
    double lastFrameTime() const { return frameTime; }

    int boardColor = 1;
    int mode = 0;
    double details = 4.0;
    int brightness = -81;
    int contrast = 70;
    bool ar = true;
    double arVal = 0.5;
    int buildCount = 0;
    BoardEnhancer enhancer;
    MotionDetector motion;
    cv::Mat frame;
    cv::Mat detailCanvas;
    cv::Mat detailWarp;
    cv::Mat liveWarp;
    std::vector<cv::Mat> outputs;
    cv::Mat canvas;
    int frameCounter = 0;
    static constexpr int detectPeriod = 2;
    static constexpr int settleLimit = 1;
    static constexpr int refreshPeriod = 2;
    cv::Mat colourCanvas;
    cv::Mat colourWarp;
    EraseDetector erase;

private:
    // Settings that compose reads; outputs are reused while they and the warps stay.
    struct ComposeInputs {
        int mode;
        bool ar;
        double arVal;
        double details;
        int brightness;
        int contrast;
        int boardColor;
        bool operator==(const ComposeInputs& other) const;
    };

    enum class Stage { idle, motion, perspective, wholeFrame, cells, warps, enhancement };

    void beginFrame();
    void beginStages(const cv::Mat* frameIn);
    bool cellsNeedFrame(int counter) const;
    int counterAfter(int steps) const;
    const cv::Mat* fetchWholeFrame();
    void takeWholeFrame();
    void endStages();
    void finishPendingFrame();
    const char* missingPrerequisite(cv::Size frameSize, int frameType) const;
    void reportPassThrough(const char* reason);
    const cv::Mat& currentFrame();
    const cv::Mat& frameForReduction(const cv::Size& reduced);
    void runMotionStage();
    void makeSmallFrame();
    void runFullRebuild();
    void decideCells();
    bool refreshNextCells();
    void warpRefreshedCells();
    void lensCorrectCell(int k, cv::Mat& cellPicture);
    // Cells [first, last) of `cells`.
    void refreshBoardCells(const std::vector<int>& cells, size_t first, size_t last, bool alsoLive);
    void refreshLiveCells(const std::vector<int>& cells, size_t first, size_t last);
    void lensCorrectCanvas();
    static void prepareCanvas(cv::Mat& canvasPicture, cv::Size size);
    void runEnhancementStage();
    void writeTrueColour();
    void runEraseStage();
    void advanceFrameCounter();

    BoardWarp boardWarp;
    const cv::Mat* input = nullptr;
    const cv::Mat* reducedInput = nullptr;
    WholeFrameSource wholeFrameSource;
    // A half-size decode and a reduction of the whole frame differ a little at sharp
    // edges, so the motion stage compares only small frames made alike; a frame at
    // the change from one to the other is made both ways.
    bool smallFromReduced = false;
    bool frameReady = false;
    std::vector<int> reductionRows;
    cv::Mat smallFrame;
    cv::Mat smallCorrected;
    std::vector<int> movingCells;
    std::vector<int> settledCells;
    bool motionCompared = false; // since the last rebuild
    bool motionMeasured = false; // by this frame's motion stage
    double frameTime = 0;
    double nextFrameTime = -1; // negative: not given
    size_t movingDone = 0;
    size_t settledDone = 0;
    bool boardWarpsChanged = true;
    cv::Rect boardChange;
    bool boardChangedWhole = true;
    bool liveWarpChanged = true;
    bool trueColourStale = true;
    bool trueColourFailed = false;
    bool composed = false;
    bool changedOutputs = false;
    ComposeInputs lastComposed{};
    std::string passThroughReason;
    bool eraseDetection = true;
    bool eraseNeedsReset = true;
    bool keyFrame = false;
    Stage nextStage = Stage::idle;
    std::vector<cv::Mat> doneOutputs;
};
