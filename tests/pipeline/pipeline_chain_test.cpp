// The whole chain on the synthetic rig: the optimised pipeline against the plain
// reference, frame by frame, and what the user sees while a presenter walks by.

#include "board_calibrator.h"
#include "calibration_store.h"
#include "frame_processor.h"
#include "reference_pipeline.h"
#include "test_rig.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace {

#ifdef BRISEL_LEAN_RIG_TESTS
constexpr bool lean = true;
#else
constexpr bool lean = false;
#endif

// A working directory with the rig's lens files and a calibration made by clicking
// the true corners; the process-wide store is loaded from it.
class CalibratedRig : public ::testing::Environment {
public:
    void SetUp() override {
        // The folder first: the rig's clean-up at exit must outlive its root path.
        work = std::make_unique<ScopedWorkDir>("chain");
        const TestRig& rig = testRig();
        work->linkRigCalibData();
        BoardCalibrator calibrator;
        calibrator.undistortForCalibration(rig.frame(rig::Board::White, 0));
        ASSERT_TRUE(calibrator.calibrate(
            std::vector<cv::Point2f>(rig.cornerFractions.begin(), rig.cornerFractions.end())));
        CalibrationStore::instance().reload();
        ASSERT_TRUE(CalibrationStore::instance().hasLensMaps());
        ASSERT_TRUE(CalibrationStore::instance().hasCalibration());
    }
    void TearDown() override { work.reset(); }

private:
    std::unique_ptr<ScopedWorkDir> work;
};

const ::testing::Environment* const calibratedRig =
    ::testing::AddGlobalTestEnvironment(new CalibratedRig);

std::string fileBytes(const char* path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool samePicture(const cv::Mat& a, const cv::Mat& b) {
    return a.size() == b.size() && a.type() == b.type() &&
           (a.empty() || cv::norm(a, b, cv::NORM_INF) == 0);
}

// One frame of a script: which frame of which scene, and what the user does before it.
struct Step {
    rig::Board board;
    int frame;
    std::function<void(FrameProcessor&, ReferencePipeline&)> before;
};

void both(FrameProcessor& p, ReferencePipeline& r, int mode, bool ar, double arVal) {
    p.setSettings(mode, 4.0, -81, 70, ar, arVal);
    r.setSettings(mode, 4.0, -81, 70, ar, arVal);
}

std::vector<Step> script() {
    using B = rig::Board;
    const auto colour = [](B board) {
        return [board](FrameProcessor& p, ReferencePipeline& r) {
            p.setBoardColor(static_cast<int>(board));
            r.setBoardColor(static_cast<int>(board));
        };
    };
    const auto settings = [](int mode, bool ar, double arVal) {
        return [=](FrameProcessor& p, ReferencePipeline& r) { both(p, r, mode, ar, arVal); };
    };
    const auto rebuild = [](FrameProcessor& p, ReferencePipeline& r) {
        p.requestRebuild();
        r.requestRebuild();
    };
    std::vector<Step> steps;
    // White: still, the presenter enters at frame 6, a rebuild while he moves.
    const int whiteEnd = lean ? 10 : 16;
    for (int i = 0; i < whiteEnd; ++i) {
        steps.push_back({B::White, i, nullptr});
    }
    steps[0].before = colour(B::White);
    steps[7].before = settings(1, true, 0.5);
    steps[8].before = rebuild;
    steps[9].before = settings(0, true, 0.3);
    if (!lean) {
        steps[11].before = settings(2, true, 0.5);
        steps[12].before = settings(0, false, 0.5);
    }
    // Black and green: the colour change rebuilds, then modes while the presenter moves.
    for (B board : {B::Black, B::Green}) {
        const size_t first = steps.size();
        for (int i = 4; i < (lean ? 9 : 12); ++i) {
            steps.push_back({board, i, nullptr});
        }
        steps[first].before = colour(board);
        steps[first + 1].before = settings(0, true, 0.5);
        steps[first + 3].before = settings(1, true, 0.5);
        steps[first + 4].before = settings(1, false, 0.5);
        if (!lean) {
            steps[first + 5].before = settings(2, true, 0.5);
            steps[first + 6].before = settings(0, true, 0.7);
        }
    }
    return steps;
}

// The optimised pipeline is given a frame's pixels only when it says it will read
// them, as the camera object does; the reference reads every frame.
TEST(PipelineChain, OptimisedPipelineMatchesThePlainReferenceOnEveryFrame) {
    const TestRig& rig = testRig();
    FrameProcessor processor;
    ReferencePipeline reference;
    int n = 0;
    int unreadStill = 0;
    cv::Mat shown;
    for (const Step& step : script()) {
        if (step.before) {
            step.before(processor, reference);
        }
        const cv::Mat frame = rig.frame(step.board, step.frame);
        testing::internal::CaptureStdout();
        const bool reads = processor.readsFramePixels(frame.size());
        const std::vector<cv::Mat> got =
            reads ? processor.processFrame(frame) : processor.processUnreadFrame(frame.size());
        testing::internal::GetCapturedStdout();
        if (!processor.outputsChanged()) {
            ASSERT_TRUE(samePicture(got[1], shown)) << "step " << n << ": unchanged outputs";
        }
        shown = got[1].clone();
        const std::vector<cv::Mat> want = reference.processFrame(frame);
        const std::string where = "step " + std::to_string(n++) + ", " +
                                  rig::boardName(step.board) + " frame " +
                                  std::to_string(step.frame);
        ASSERT_EQ(got.size(), 2u);
        ASSERT_TRUE(samePicture(got[0], want[0])) << where << ": clean board picture";
        ASSERT_TRUE(samePicture(got[1], want[1])) << where << ": display picture";
        ASSERT_EQ(processor.motion.marks, reference.motion.marks) << where;
        if (step.board == rig::Board::Green) {
            std::vector<uchar> encoded;
            cv::imencode(".jpg", reference.colourWarp, encoded);
            ASSERT_EQ(fileBytes("trueColor.jpg"), std::string(encoded.begin(), encoded.end()))
                << where << ": trueColor.jpg";
        }
        if (step.board == rig::Board::White && step.frame < rig.still && !reads) {
            ++unreadStill;
        }
    }
    EXPECT_EQ(unreadStill, rig.still / 2) << "a still board's odd frames are never read";
}

// A frame whose pixels never came keeps its place in the count, so a decode plan made
// before it stays in step; it changes nothing and prints no frame line.
TEST(PipelineChain, ASkippedFrameKeepsItsPlaceInTheCountAndChangesNothing) {
    const TestRig& rig = testRig();
    FrameProcessor processor;
    processor.setBoardColor(static_cast<int>(rig::Board::White));
    testing::internal::CaptureStdout();
    for (int i = 0; i < 3; ++i) {
        processor.processFrame(rig.frame(rig::Board::White, i));
    }
    const cv::Size size = rig.frame(rig::Board::White, 3).size();
    std::vector<bool> plan;
    for (int ahead = 0; ahead < 4; ++ahead) {
        plan.push_back(processor.readsFramePixels(size, ahead));
    }
    testing::internal::GetCapturedStdout();
    testing::internal::CaptureStdout();
    processor.skipFrame();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_FALSE(processor.outputsChanged());
    EXPECT_FALSE(processor.hasKeyFrame());
    for (int ahead = 0; ahead < 3; ++ahead) {
        EXPECT_EQ(processor.readsFramePixels(size, ahead), plan[ahead + 1]) << ahead;
    }
}

// A still board's motion frames are decoded at half size; the picture must not change
// for it, and a presenter walking in must be shown from the whole frame, asked for
// at the frame in which he is first seen. Black: the frames are inverted.
TEST(PipelineChain, HalfSizeFramesOfAStillBoardShowWhatWholeFramesShow) {
    const TestRig& rig = testRig();
    const rig::Board board = rig::Board::Black;
    FrameProcessor whole;
    FrameProcessor halved;
    for (FrameProcessor* p : {&whole, &halved}) {
        p->setBoardColor(static_cast<int>(board));
    }
    int halfFrames = 0;
    std::vector<int> wholeAskedAt;
    cv::Mat half;
    testing::internal::CaptureStdout();
    for (int i = 0; i < rig.still + 4; ++i) {
        const cv::Mat frame = rig.frame(board, i);
        const std::vector<cv::Mat> expected = whole.processFrame(frame);
        std::vector<cv::Mat> got;
        if (halved.readsOnlyReduction(frame.size())) {
            ++halfFrames;
            cv::resize(frame, half, cv::Size((frame.cols + 1) / 2, (frame.rows + 1) / 2), 0, 0,
                       cv::INTER_AREA);
            const auto wholeFrame = [&, i] {
                wholeAskedAt.push_back(i);
                return &frame;
            };
            if (!halved.startReducedFrame(half, frame.size(), wholeFrame)) {
                while (!halved.continueFrame()) {
                }
            }
            got = halved.finishedOutputs();
        } else if (halved.readsFramePixels(frame.size())) {
            got = halved.processFrame(frame);
        } else {
            got = halved.processUnreadFrame(frame.size());
        }
        for (int k = 0; k < 2; ++k) {
            EXPECT_TRUE(samePicture(got[k], expected[k])) << "frame " << i << " output " << k;
        }
    }
    testing::internal::GetCapturedStdout();
    EXPECT_GE(halfFrames, rig.still / 2 - 1) << "the still board's motion frames";
    // At the first half-size frame, to change references like with like, and as the
    // presenter enters.
    EXPECT_EQ(wholeAskedAt, (std::vector<int>{2, rig.still}));
}

// Mean absolute difference of two pictures inside a rectangle.
double meanDifference(const cv::Mat& a, const cv::Mat& b, const cv::Rect& box) {
    const cv::Scalar d = cv::mean(cv::abs(a(box) - b(box)) + cv::abs(b(box) - a(box)));
    return (d[0] + d[1] + d[2]) / 3;
}

TEST(PipelineChain, PresenterShowsInTheDisplayButNotOnTheCleanBoard) {
    const TestRig& rig = testRig();
    FrameProcessor processor;
    processor.setBoardColor(static_cast<int>(rig::Board::White));
    processor.setSettings(0, 4.0, -81, 70, true, 0.5);
    std::vector<cv::Mat> still;
    const int moving = lean ? 8 : 10;
    cv::Rect box;
    testing::internal::CaptureStdout();
    for (int i = 0; i <= moving; ++i) {
        const std::vector<cv::Mat> out = processor.processFrame(rig.frame(rig::Board::White, i));
        if (i == rig.still - 1) {
            still = {out[0].clone(), out[1].clone()};
        }
        if (i == moving) {
            box = rig.scene(rig::Board::White).presenterBox(i) &
                  cv::Rect(0, 0, out[0].cols, out[0].rows);
            ASSERT_FALSE(box.empty());
            EXPECT_LT(meanDifference(out[0], still[0], box), 2.0) << "clean board held";
            EXPECT_GT(meanDifference(out[1], still[1], box), 20.0) << "presenter displayed";
        }
    }
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(still[0].size(), rig.truthBoard(rig::Board::White).size());
}

} // namespace
