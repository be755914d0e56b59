#pragma once

#include "enhancement_stage.h"
#include "erase_detector.h"
#include "frame_input.h"
#include "motion_stage.h"
#include "perspective_stage.h"

#include <opencv2/core.hpp>

#include <string>
#include <vector>

// The per-frame image pipeline: motion stage, perspective stage, enhancement stage,
// then the erase detector. Lens correction runs cell by cell and only where motion was
// seen, so a still board costs little; work whose result the outputs cannot see is
// skipped, down to not reading a frame's pixels at all.
class FrameProcessor {
public:
    using WholeFrameSource = FrameInput::WholeFrameSource;

    // A frame as the camera delivered it. `pixels` are whole, half the size in each
    // direction (rounded up), or empty (not decoded); `decodeWhole` gives the whole of
    // a frame decoded at half size when the pipeline needs it after all.
    struct DeliveredFrame {
        cv::Size size;
        const cv::Mat* pixels = nullptr;
        WholeFrameSource decodeWhole;
    };
    enum class Intake {
        started, // stages under way: continueFrame until it returns true
        // finished at once: counted unread, passed through, or a half-size copy of the
        // wrong size skipped (the last outputs, unchanged); see finishedOutputs()
        done,
        skipped, // pixels the pipeline reads are missing: counted, nothing changed
    };

    FrameProcessor();

    // Element 0: clean board picture; element 1: display picture. Both share
    // buffers with the processor; callers keeping them must deep-copy them before
    // the next call. Without lens maps or calibration both are the input itself.
    std::vector<cv::Mat> processFrame(const cv::Mat& input);
    // Takes a frame as it came, reading what the stages need of it: nothing on an odd
    // frame of a still board, the half-size copy where only the motion stage's
    // reduction is read, the whole frame otherwise. The pixels (and what decodeWhole
    // returns) must stay alive until the frame is finished.
    Intake takeFrame(const DeliveredFrame& frame);
    // The next stage of a frame taken in steps, so that a caller's event loop can run
    // between them; true when the frame is finished. Any other call first finishes it.
    bool continueFrame();
    const std::vector<cv::Mat>& finishedOutputs() const { return doneOutputs; }
    bool frameInProgress() const { return nextStage != Stage::idle; }
    // Whether the last frame changed the outputs; an unchanged display picture need not
    // be shown again.
    bool outputsChanged() const { return changedOutputs; }

    // Whether the frame `ahead` frames after the next one (0: the next) will have its
    // pixels read, and whether only by the motion stage's reduction (a copy of half the
    // size does), as far as the pipeline's state now tells. Exact for the next frame.
    bool readsFramePixels(cv::Size frameSize, int ahead = 0) const;
    bool readsOnlyReduction(cv::Size frameSize, int ahead = 0) const;

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

    const PipelineSettings& settings() const { return current; }
    // Full rebuilds since the last request; 0 means the next frame rebuilds.
    int rebuildCount() const { return buildCount; }
    bool eraseDetectionOn() const { return eraseDetection; }
    const EraseDetector& eraseDetector() const { return erase; }
    // True after a frame in which the board was wiped: the board from before is kept.
    bool hasKeyFrame() const { return keyFrame; }
    // The kept board as the "Color" mode renders it with the current detail, contrast
    // and brightness, without the overlay; a picture of its own. Empty without one.
    cv::Mat renderKeyFrame() const;
    // The board cells refreshed in the board pictures by the last frame.
    const std::vector<int>& refreshedCells() const { return motion.settledCells(); }
    // The board cells the last frame's motion stage saw move; null when it compared
    // nothing on that frame.
    const std::vector<int>* measuredMotion() const {
        return motion.measured() ? &motion.movingCells() : nullptr;
    }
    double lastFrameTime() const { return frameTime; }
    // The stages as they stand after the last frame.
    const MotionStage& motionStage() const { return motion; }
    const PerspectiveStage& perspectiveStage() const { return perspective; }

private:
    enum class Stage { idle, motion, perspective, wholeFrame, cells, warps, enhancement };

    bool startFrame(const cv::Mat& input);
    // A frame of which only a half-size copy was decoded.
    bool startReducedFrame(const cv::Mat& half, cv::Size frameSize, WholeFrameSource wholeFrame);
    void countUnreadFrame();
    void skipFrame();
    void beginFrame();
    void beginStages(const cv::Mat* whole, const cv::Mat* half, WholeFrameSource source);
    void takeWholeFrame();
    void endStages();
    void finishPendingFrame();
    const char* missingPrerequisite(cv::Size frameSize, int frameType) const;
    void reportPassThrough(const char* reason);
    bool darkBoard() const;
    void runFullRebuild();
    void runEraseStage();

    PipelineSettings current;
    int buildCount = 0;
    int frameCounter = 0;
    FrameInput input;
    MotionStage motion;
    PerspectiveStage perspective;
    EnhancementStage enhancement;
    EraseDetector erase;
    double frameTime = 0;
    double nextFrameTime = -1; // negative: not given
    bool changedOutputs = false;
    std::string passThroughReason;
    bool eraseDetection = true;
    bool eraseNeedsReset = true;
    bool keyFrame = false;
    Stage nextStage = Stage::idle;
    std::vector<cv::Mat> doneOutputs;
};
