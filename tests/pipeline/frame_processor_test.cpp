#include "camera_feed.h"
#include "frame_processor.h"
#include "test_support.h"
#include "tiny_store.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

namespace {

constexpr int white = 1;
constexpr int black = 0;
constexpr int green = 2;

class FrameProcessorTest : public ::testing::Test {
protected:
    void SetUp() override {
        tiny::enterScratchDirectory();
        tiny::layOutStore(CalibrationStore::instance());
        std::filesystem::remove("trueColor.jpg");
    }

    // Runs one frame and returns what it printed.
    std::string run(FrameProcessor& processor, int level) {
        ConsoleCapture console;
        last = processor.processFrame(tiny::uniformFrame(level));
        return console.take();
    }

    // Lets the motion detector see the frames themselves, and returns a frame with a
    // dark person over board cells.
    static cv::Mat seenByTheMotionStageWithAPerson() {
        tiny::showFramesToTheMotionStage(CalibrationStore::instance());
        return tiny::frameWithPerson();
    }

    FrameProcessor withColour(int colour) {
        FrameProcessor processor;
        processor.setBoardColor(colour);
        return processor;
    }

    std::vector<cv::Mat> last;
};

// An empty frame is not counted; a rebuild prints the board-cell count first.
TEST_F(FrameProcessorTest, FrameNumbersRunFromZeroToHundredThenFromOne) {
    FrameProcessor processor = withColour(white);
    ConsoleCapture console;
    const std::vector<cv::Mat> out = processor.processFrame(cv::Mat());
    EXPECT_EQ(console.take(), "");
    ASSERT_EQ(out.size(), 2u);
    EXPECT_TRUE(out[0].empty() && out[1].empty());
    std::vector<std::string> printed;
    for (int i = 0; i < 102; ++i) {
        printed.push_back(run(processor, 100));
    }
    EXPECT_EQ(printed[0], "400\nf : 0\n");
    EXPECT_EQ(printed[1], "f : 1\n");
    EXPECT_EQ(printed[100], "f : 100\n");
    EXPECT_EQ(printed[101], "f : 1\n");
    processor.requestRebuild();
    EXPECT_EQ(run(processor, 100), "400\nf : 2\n");
    EXPECT_EQ(processor.rebuildCount(), 1) << "a requested rebuild starts the count again";
}

// Dark boards are inverted and keep a colour picture, which a green one also writes to
// trueColor.jpg. The identity rig hands the lens-corrected frame straight to the warps.
TEST_F(FrameProcessorTest, EachBoardColourInvertsKeepsAndWritesItsColourPicture) {
    struct Row {
        int colour, level;
        bool keepsColour, writes;
    };
    for (const Row& r : {Row{white, 60, false, false}, Row{black, 195, true, false},
                         Row{green, 195, true, true}}) {
        std::filesystem::remove("trueColor.jpg");
        FrameProcessor processor = withColour(r.colour);
        run(processor, 60);
        run(processor, 60);
        const PerspectiveStage& stage = processor.perspectiveStage();
        EXPECT_EQ(stage.liveWarp().at<cv::Vec3b>(40, 80), cv::Vec3b::all(r.level)) << r.colour;
        EXPECT_EQ(stage.liveCanvas().at<cv::Vec3b>(0, 0), cv::Vec3b::all(r.level));
        EXPECT_EQ(stage.colourWarp().empty(), !r.keepsColour) << r.colour;
        const cv::Mat written = cv::imread("trueColor.jpg");
        ASSERT_EQ(written.empty(), !r.writes) << r.colour;
        if (r.writes) { // the board cells as inverted, the rest black
            EXPECT_NEAR(written.at<cv::Vec3b>(40, 80)[1], r.level, 2);
            EXPECT_NEAR(written.at<cv::Vec3b>(2, 2)[1], 0, 2);
        }
    }
}

// When each board cell is corrected, by hand, frames 1 ... 8: moving (m) into the live
// picture until refresh (even) frames have aged its mark out, then settled (s) once into
// the board pictures on the next refresh frame; cells off the board are left alone. The
// plan made before each frame reads it whole (w) while any board cell needs it, only
// its reduction (h) on a motion frame otherwise, else not at all (.).
TEST_F(FrameProcessorTest, MovingCellsAreCorrectedUntilTheirMarksAgeOutThenSettleOnce) {
    const int once = 5 * 40 + 3, twice = 6 * 40 + 3, offBoard = 1 * 40 + 3, quiet = 7 * 40 + 3;
    const std::pair<int, std::string> rows[] = {
        {once, "mm.s...."}, {twice, ".mmm.s.."}, {offBoard, "........"}, {quiet, "........"}};
    MotionStage stage;
    std::vector<int>& marks = stage.detector().marks;
    marks[once] = marks[offBoard] = 1;
    std::string seen[4], plan;
    for (int frame = 1; frame <= 8; ++frame) {
        plan += stage.readsOnlyReduction(frame) ? 'h' : stage.readsPixels(frame) ? 'w' : '.';
        marks[twice] = frame == 2 ? 2 : marks[twice]; // seen moving by frame 2's motion stage
        stage.decideCells(frame);
        for (int r = 0; r < 4; ++r) {
            const auto in = [&](const std::vector<int>& cells) {
                return std::count(cells.begin(), cells.end(), rows[r].first) == 1;
            };
            seen[r] += in(stage.movingCells()) ? 'm' : in(stage.settledCells()) ? 's' : '.';
        }
    }
    for (int r = 0; r < 4; ++r) {
        EXPECT_EQ(seen[r], rows[r].second) << "cell " << rows[r].first;
    }
    EXPECT_EQ(plan, "wwww.w.h");
    EXPECT_EQ(marks[offBoard], 1) << "only board cells are aged";
}

// A frame's cells land in their own canvas rectangles: a moving one in the live canvas
// only, a settled one in the board canvases only, and the warps follow them.
TEST_F(FrameProcessorTest, RefreshedCellsLandInTheirOwnRectangles) {
    PerspectiveStage stage;
    const BoardEnhancer details;
    FrameInput input;
    const cv::Mat before = tiny::uniformFrame(245), after = tiny::uniformFrame(205);
    input.begin(&before, nullptr, nullptr);
    stage.rebuild(input, true, details);
    const std::vector<int> moving{6 * 40 + 3}, settled{9 * 40 + 20};
    input.begin(&after, nullptr, nullptr);
    stage.beginCells();
    while (!stage.refreshNextCells(input, true, moving, settled, details)) {
    }
    stage.warpRefreshedCells(true, moving, settled);
    const auto level = [](const cv::Mat& picture, int k) {
        return cv::mean(picture(CalibrationStore::instance().canvasCells[k]));
    };
    // Inverted levels: 50 from the frame, 10 from the rebuild.
    for (const auto& [cell, live, colour] : {std::tuple{moving[0], 50, 10},
                                             {settled[0], 10, 50},
                                             {moving[0] + 1, 10, 10},
                                             {moving[0] - 40, 10, 10},
                                             {settled[0] - 1, 10, 10},
                                             {settled[0] + 40, 10, 10}}) {
        EXPECT_EQ(level(stage.liveCanvas(), cell), cv::Scalar(live, live, live)) << cell;
        EXPECT_EQ(level(stage.liveWarp(), cell), cv::Scalar(live, live, live)) << cell;
        EXPECT_EQ(level(stage.colourCanvasPicture(), cell), cv::Scalar(colour, colour, colour));
        EXPECT_EQ(level(stage.colourWarp(), cell), cv::Scalar(colour, colour, colour)) << cell;
    }
}

// The board changes and settles: the colour picture changes, and the file follows it.
TEST_F(FrameProcessorTest, TrueColourFollowsTheGreenBoard) {
    tiny::showFramesToTheMotionStage(CalibrationStore::instance());
    FrameProcessor processor = withColour(green);
    for (int frame = 0; frame < 8; ++frame) {
        run(processor, frame < 2 ? 40 : 90);
    }
    const cv::Mat rewritten = cv::imread("trueColor.jpg");
    EXPECT_NEAR(rewritten.at<cv::Vec3b>(5 * 4 + 1, 10 * 4 + 1)[1], 165, 6);
}

// A colour change rebuilds with the new inversion, and the detector starts a new
// reference instead of seeing motion in every cell; the same colour again changes nothing.
TEST_F(FrameProcessorTest, BoardColourChangeRebuildsWithTheNewInversionAndNoMotion) {
    CalibrationStore& store = CalibrationStore::instance();
    store.smallMap1 = store.map1.clone(); // the detector sees the frame itself
    const auto marked = [&](const std::vector<int>& marks) {
        return std::count_if(store.boardGrids.begin(), store.boardGrids.end(),
                             [&](int k) { return marks[k] != 0; });
    };
    FrameProcessor processor = withColour(white);
    for (int frame = 0; frame < 4; ++frame) { // the detection of frame 2 is the reference
        run(processor, 50);
    }
    processor.setBoardColor(black);
    EXPECT_EQ(processor.rebuildCount(), 0);
    run(processor, 50);
    const PerspectiveStage& stage = processor.perspectiveStage();
    EXPECT_EQ(stage.liveWarp().at<cv::Vec3b>(40, 80), cv::Vec3b::all(205));
    ASSERT_EQ(stage.colourWarp().size(), stage.liveWarp().size());
    EXPECT_EQ(marked(processor.motionStage().detector().marks), 0);
    processor.setBoardColor(black);
    EXPECT_EQ(processor.rebuildCount(), 1) << "the same colour again changes nothing";
    // The detector does see these frames: a change after the next reference is marked.
    for (int frame = 5; frame < 8; ++frame) {
        run(processor, 50);
    }
    run(processor, 120);
    EXPECT_GT(marked(processor.motionStage().detector().previousMarks), 0);
}

TEST_F(FrameProcessorTest, OutOfRangeValuesAreRefusedAndThePreviousKept) {
    FrameProcessor processor = withColour(white);
    processor.setSettings(1, 3.0, -81, 70, false, 0.25);
    const PipelineSettings kept = processor.settings();
    struct Row {
        int mode;
        double contrast;
        int colour;
    };
    for (const Row& r :
         {Row{-1, 70, white}, Row{3, 70, white}, Row{1, 131.0, white}, Row{1, 131.5, white},
          Row{1, 201.0, white}, Row{1, 70, -1}, Row{1, 70, 3}}) {
        ConsoleCapture console;
        processor.setSettings(r.mode, 3.0, -81, r.contrast, false, 0.25);
        processor.setBoardColor(r.colour);
        EXPECT_NE(console.take().find("refused"), std::string::npos) << r.mode << r.contrast;
        EXPECT_TRUE(processor.settings() == kept);
    }
}

TEST_F(FrameProcessorTest, WithoutLensMapsOrCalibrationTheCameraPictureIsShownAsCaptured) {
    FrameProcessor processor = withColour(black);
    tiny::removeLensMaps(CalibrationStore::instance());
    const std::string first = run(processor, 30);
    EXPECT_NE(first.find("no lens maps"), std::string::npos);
    EXPECT_EQ(last[0].at<cv::Vec3b>(0, 0), cv::Vec3b::all(30)) << "not inverted";
    EXPECT_EQ(last[1].at<cv::Vec3b>(0, 0), cv::Vec3b::all(30));
    EXPECT_EQ(run(processor, 30), "") << "said once, not on every frame";

    tiny::layOutStore(CalibrationStore::instance());
    CalibrationStore::instance().homography.release();
    EXPECT_NE(run(processor, 30).find("no board calibration"), std::string::npos);
    EXPECT_EQ(run(processor, 30), "");

    tiny::layOutStore(CalibrationStore::instance());
    ConsoleCapture console;
    last = processor.processFrame(cv::Mat(30, 50, CV_8UC3, cv::Scalar::all(7)));
    EXPECT_NE(console.take().find("does not match"), std::string::npos);
    EXPECT_EQ(last[1].size(), cv::Size(50, 30)) << "a frame of the wrong size is not cut";
    EXPECT_EQ(run(processor, 30), "400\nf : 0\n") << "calibrated: the first frame rebuilds";
    EXPECT_EQ(last[0].size(), cv::Size(tiny::frameWidth, tiny::frameHeight));
}

// One call takes a frame as the camera delivered it and reads what the stages need of
// it; a frame whose needed pixels are missing keeps its place in the count (so that a
// plan made ahead stays in step), changes nothing and prints no frame line.
TEST_F(FrameProcessorTest, TakeFrameReadsWhatTheStagesNeedAndSkipsWhatIsMissing) {
    using Intake = FrameProcessor::Intake;
    const cv::Mat frame = tiny::uniformFrame(100), none;
    cv::Mat half;
    cv::resize(frame, half, frame.size() / 2, 0, 0, cv::INTER_AREA);
    const std::tuple<const cv::Mat*, Intake, const char*> rows[] = {
        {&half, Intake::skipped, ""}, // the rebuild reads the whole frame
        {&none, Intake::skipped, ""},        {&frame, Intake::started, "400\nf : 2\n"},
        {&none, Intake::done, "f : 3\n"},    // a still board's odd frame is not read,
        {&half, Intake::started, "f : 4\n"}, // its motion frames only at half size
        {&frame, Intake::done, "f : 5\n"},   // and pixels it does not read are left alone
        {&none, Intake::skipped, ""},        {&none, Intake::done, "f : 7\n"}};
    FrameProcessor processor = withColour(white);
    for (const auto& [pixels, expected, printed] : rows) {
        ConsoleCapture console;
        const Intake taken = processor.takeFrame({frame.size(), pixels, nullptr});
        while (taken == Intake::started && !processor.continueFrame()) {
        }
        EXPECT_EQ(taken, expected) << printed;
        EXPECT_EQ(console.take(), printed);
        EXPECT_TRUE(expected != Intake::skipped || !processor.outputsChanged());
    }
}

struct SettingChange {
    const char* name;
    int mode;
    double details, brightness, contrast;
    bool ar;
    double arVal;
};

class SettingChangeTest : public FrameProcessorTest,
                          public testing::WithParamInterface<SettingChange> {};

// A still board reuses its outputs only while every setting compose reads is unchanged:
// changing any one of them alone gives what a fresh compose gives.
TEST_P(SettingChangeTest, OneSettingAloneRecomposesAStillBoard) {
    const SettingChange& c = GetParam();
    FrameProcessor processor = withColour(white);
    processor.setSettings(0, 4.0, -81, 70, true, 0.5);
    // Dark strokes on a light board, so there is detail for the settings to act on.
    cv::Mat frame = tiny::uniformFrame(200);
    for (int y = 24; y < 60; y += 9) {
        cv::line(frame, {8, y}, {150, y + 5}, cv::Scalar::all(40), 2);
    }
    const auto step = [&] {
        ConsoleCapture console;
        last = processor.processFrame(frame);
        console.take();
    };
    step();
    step();
    const cv::Mat before0 = last[0].clone(), before1 = last[1].clone();
    processor.setSettings(c.mode, c.details, c.brightness, c.contrast, c.ar, c.arVal);
    step();
    BoardEnhancer fresh;
    const PerspectiveStage& warps = processor.perspectiveStage();
    const std::vector<cv::Mat> expected =
        fresh.compose(warps.liveWarp(), warps.detailWarp(), c.mode, c.ar, c.arVal, c.details,
                      c.brightness, c.contrast, white, warps.colourWarp());
    ASSERT_GT(cv::norm(expected[0], before0, cv::NORM_INF) +
                  cv::norm(expected[1], before1, cv::NORM_INF),
              0.0)
        << "the change must show";
    EXPECT_EQ(cv::norm(last[0], expected[0], cv::NORM_INF), 0.0);
    EXPECT_EQ(cv::norm(last[1], expected[1], cv::NORM_INF), 0.0);
}

INSTANTIATE_TEST_SUITE_P(FrameProcessor, SettingChangeTest,
                         testing::Values(SettingChange{"Details", 0, 2.0, -81, 70, true, 0.5},
                                         SettingChange{"Brightness", 0, 4.0, -40, 70, true, 0.5},
                                         SettingChange{"Contrast", 0, 4.0, -81, 40, true, 0.5},
                                         SettingChange{"ArVal", 0, 4.0, -81, 70, true, 0.3},
                                         SettingChange{"Ar", 0, 4.0, -81, 70, false, 0.5},
                                         SettingChange{"Mode", 1, 4.0, -81, 70, true, 0.5}),
                         [](const testing::TestParamInfo<SettingChange>& i) {
                             return std::string(i.param.name);
                         });

// The pictures are built from the rebuild frame. Someone in it who is gone by the next
// motion frame must be seen leaving, or he would stay in them for good.
TEST_F(FrameProcessorTest, SomeoneWhoLeavesRightAfterARebuildLeavesNoGhost) {
    const cv::Mat withPerson = seenByTheMotionStageWithAPerson();
    for (const bool onAnOddFrame : {false, true}) {
        FrameProcessor processor = withColour(white);
        FrameProcessor nobody = withColour(white);
        ConsoleCapture console;
        if (onAnOddFrame) {
            for (FrameProcessor* p : {&processor, &nobody}) {
                p->processFrame(tiny::uniformFrame(200));
                p->requestRebuild();
            }
        }
        processor.processFrame(withPerson);
        nobody.processFrame(tiny::uniformFrame(200));
        for (int i = 0; i < 6; ++i) {
            processor.processFrame(tiny::uniformFrame(200));
            nobody.processFrame(tiny::uniformFrame(200));
        }
        console.take();
        const char* when = onAnOddFrame ? "rebuilt on an odd frame" : "rebuilt on the first frame";
        const PerspectiveStage& seen = processor.perspectiveStage();
        const PerspectiveStage& want = nobody.perspectiveStage();
        EXPECT_EQ(cv::norm(seen.liveWarp(), want.liveWarp(), cv::NORM_INF), 0.0) << when;
        EXPECT_EQ(cv::norm(seen.detailWarp(), want.detailWarp(), cv::NORM_INF), 0.0) << when;
    }
}

// Someone stands still long enough to become part of the pictures, and the board goes
// over to half-size frames; whenever he then walks off, his leaving must be seen.
TEST_F(FrameProcessorTest, SomeoneWhoStoodStillAndLeavesIsSeenLeavingFromHalfSizeFrames) {
    const cv::Mat withPerson = seenByTheMotionStageWithAPerson();
    const cv::Mat empty = tiny::uniformFrame(200);
    for (const int arrives : {0, 2}) {
        for (int leaves = arrives + 1; leaves <= arrives + 8; ++leaves) {
            FrameProcessor processor = withColour(white);
            FrameProcessor nobody = withColour(white);
            ConsoleCapture console;
            for (int i = 0; i < leaves + 8; ++i) {
                feedAsTheCamera(processor, i >= arrives && i < leaves ? withPerson : empty);
                feedAsTheCamera(nobody, empty);
            }
            console.take();
            EXPECT_EQ(cv::norm(processor.perspectiveStage().liveWarp(),
                               nobody.perspectiveStage().liveWarp(), cv::NORM_INF),
                      0.0)
                << "there from frame " << arrives << " to frame " << leaves;
        }
    }
}

struct MidFrameChange {
    const char* name;
    void (*apply)(FrameProcessor&);
};

class MidFrameChangeTest : public FrameProcessorTest,
                           public testing::WithParamInterface<MidFrameChange> {};

// The live loop runs a frame in steps; a change made between two steps belongs after
// the frame, exactly as if the frame had run in one go.
TEST_P(MidFrameChangeTest, TakesEffectAfterTheFrameInProgress) {
    tiny::showFramesToTheMotionStage(CalibrationStore::instance());
    FrameProcessor stepped = withColour(white);
    FrameProcessor whole = withColour(white);
    const cv::Mat rebuildFrame = tiny::uniformFrame(100);
    cv::Mat frames[2] = {tiny::uniformFrame(180), tiny::uniformFrame(60)};
    cv::line(frames[0], {8, 30}, {150, 40}, cv::Scalar::all(20), 3);
    ConsoleCapture console;
    stepped.processFrame(rebuildFrame);
    whole.processFrame(rebuildFrame);
    stepped.processFrame(rebuildFrame);
    whole.processFrame(rebuildFrame);
    const FrameProcessor::DeliveredFrame delivered{frames[0].size(), &frames[0], nullptr};
    ASSERT_EQ(stepped.takeFrame(delivered), FrameProcessor::Intake::started);
    GetParam().apply(stepped);
    EXPECT_FALSE(stepped.frameInProgress()) << "the change finished the frame first";
    EXPECT_TRUE(stepped.continueFrame());
    const std::vector<cv::Mat> mid = stepped.finishedOutputs();
    const std::vector<cv::Mat> reference = whole.processFrame(frames[0]);
    ASSERT_FALSE(whole.motionStage().movingCells().empty()) << "a frame of many steps";
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(cv::norm(mid[i], reference[i], cv::NORM_INF), 0.0) << "output " << i;
    }
    GetParam().apply(whole);
    const std::vector<cv::Mat> after = stepped.processFrame(frames[1]);
    const std::vector<cv::Mat> afterReference = whole.processFrame(frames[1]);
    console.take();
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(cv::norm(after[i], afterReference[i], cv::NORM_INF), 0.0) << "next " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    FrameProcessor, MidFrameChangeTest,
    testing::Values(
        MidFrameChange{"Mode",
                       [](FrameProcessor& p) { p.setSettings(1, 4.0, -81, 70, true, 0.5); }},
        MidFrameChange{"BoardColour", [](FrameProcessor& p) { p.setBoardColor(black); }},
        MidFrameChange{"Rebuild", [](FrameProcessor& p) { p.requestRebuild(); }}),
    [](const testing::TestParamInfo<MidFrameChange>& i) { return std::string(i.param.name); });

} // namespace

// Someone at the board when the pipeline starts, swaying a little, then leaving: the
// erase detector follows the board only once every cell has been still for a while,
// as the frames come, those the motion stage does not compare included.
TEST_F(FrameProcessorTest, ErasuresAreFollowedOnlyOnceEveryCellHasBeenStill) {
    seenByTheMotionStageWithAPerson();
    FrameProcessor processor = withColour(black);
    ConsoleCapture console;
    int startedAt = -1;
    for (int f = 0; f < 300 && startedAt < 0; ++f) {
        cv::Mat frame = tiny::uniformFrame(200);
        if (f < 150) {
            const cv::Point sway((f / 10) % 2 * 2, 0);
            frame(tiny::personBox + sway).setTo(cv::Scalar::all(20));
        }
        processor.setFrameTime(f / 30.0);
        processor.processFrame(frame);
        startedAt = processor.eraseDetector().isFollowing() ? f : -1;
    }
    console.take();
    EXPECT_GE(startedAt, 150 + 60) << "followed before the board was still for 2 s";
    EXPECT_LE(startedAt, 150 + 75);
    const cv::Mat& colourWarp = processor.perspectiveStage().colourWarp();
    ASSERT_EQ(processor.eraseDetector().keptColour().size(), colourWarp.size());
    EXPECT_EQ(cv::norm(processor.eraseDetector().keptColour(), colourWarp, cv::NORM_INF), 0.0);
}
