// The whole chain on the synthetic rig: the pipeline fed as the camera feeds it against
// the same pipeline fed every frame whole, and what the user sees while a presenter
// walks by.

#include "camera_feed.h"
#include "frame_processor.h"
#include "test_rig.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

#ifdef BRISEL_LEAN_RIG_TESTS
constexpr bool lean = true;
#else
constexpr bool lean = false;
#endif

// Every test of this program runs on the process-wide store calibrated at the rig's
// true corners.
const ::testing::Environment* const calibratedRig =
    ::testing::AddGlobalTestEnvironment(new RigStoreEnvironment(true));

bool samePicture(const cv::Mat& a, const cv::Mat& b) {
    return a.size() == b.size() && a.type() == b.type() &&
           (a.empty() || cv::norm(a, b, cv::NORM_INF) == 0);
}

// One frame of a script: which frame of which scene, and what the user does before it.
struct Step {
    rig::Board board;
    int frame;
    std::function<void(FrameProcessor&)> before;
};

std::vector<Step> script() {
    using B = rig::Board;
    const auto colour = [](B board) {
        return [board](FrameProcessor& p) { p.setBoardColor(static_cast<int>(board)); };
    };
    const auto settings = [](int mode, bool ar, double arVal) {
        return [=](FrameProcessor& p) { p.setSettings(mode, 4.0, -81, 70, ar, arVal); };
    };
    const auto rebuild = [](FrameProcessor& p) { p.requestRebuild(); };
    std::vector<Step> steps;
    // Black (inverted frames): still, the presenter enters at frame 6, a rebuild while
    // he moves.
    const int firstEnd = lean ? 10 : 16;
    for (int i = 0; i < firstEnd; ++i) {
        steps.push_back({B::Black, i, nullptr});
    }
    steps[0].before = colour(B::Black);
    steps[7].before = settings(1, true, 0.5);
    steps[8].before = rebuild;
    steps[9].before = settings(0, true, 0.3);
    if (!lean) {
        steps[11].before = settings(2, true, 0.5);
        steps[12].before = settings(0, false, 0.5);
    }
    // White and green: the colour change rebuilds, then modes while the presenter moves.
    for (B board : {B::White, B::Green}) {
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

// Unread frames, half-size motion frames and whole decodes asked for mid-frame show on
// every frame what every frame read whole shows, through colour, mode and overlay
// changes and a rebuild while a presenter walks by. The whole frame is asked for at the
// first half-size frame, to change references like with like, and as the presenter
// enters.
TEST(PipelineChain, FramesFedAsTheCameraFeedsThemShowWhatWholeFramesShow) {
    const TestRig& rig = testRig();
    FrameProcessor fed;
    FrameProcessor whole;
    int n = 0;
    int unreadStill = 0;
    int halfFrames = 0;
    std::vector<int> wholeAskedAt;
    cv::Mat shown;
    for (const Step& step : script()) {
        if (step.before) {
            step.before(fed);
            step.before(whole);
        }
        const cv::Mat frame = rig.frame(step.board, step.frame);
        ConsoleCapture console;
        const Fed got = feedAsTheCamera(fed, frame);
        const std::vector<cv::Mat> want = whole.processFrame(frame);
        console.take();
        const std::string where = "step " + std::to_string(n) + ", " + rig::boardName(step.board) +
                                  " frame " + std::to_string(step.frame);
        if (!fed.outputsChanged()) {
            ASSERT_TRUE(samePicture(got.outputs[1], shown)) << where << ": unchanged outputs";
        }
        shown = got.outputs[1].clone();
        ASSERT_EQ(got.outputs.size(), 2u);
        ASSERT_TRUE(samePicture(got.outputs[0], want[0])) << where << ": clean board picture";
        ASSERT_TRUE(samePicture(got.outputs[1], want[1])) << where << ": display picture";
        const bool firstStill = n < rig.still;
        unreadStill += firstStill && !got.read ? 1 : 0;
        halfFrames += firstStill && got.half ? 1 : 0;
        if (got.wholeAsked) {
            wholeAskedAt.push_back(n);
        }
        ++n;
    }
    EXPECT_EQ(unreadStill, rig.still / 2) << "a still board's odd frames are never read";
    EXPECT_GE(halfFrames, rig.still / 2 - 1) << "the still board's motion frames";
    ASSERT_GE(wholeAskedAt.size(), 2u);
    EXPECT_EQ(wholeAskedAt[0], 2);
    EXPECT_EQ(wholeAskedAt[1], rig.still);
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
    ConsoleCapture console;
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
    console.take();
    ASSERT_EQ(still[0].size(), rig.truthBoard(rig::Board::White).size());
}

} // namespace
