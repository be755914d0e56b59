#include "camera_feed.h"
#include "frame_processor.h"
#include "test_support.h"
#include "tiny_store.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <string>
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

TEST_F(FrameProcessorTest, EmptyFrameGivesTwoEmptyPicturesAndNoFrameLine) {
    FrameProcessor processor;
    ConsoleCapture console;
    const std::vector<cv::Mat> out = processor.processFrame(cv::Mat());
    EXPECT_EQ(console.take(), "");
    ASSERT_EQ(out.size(), 2u);
    EXPECT_TRUE(out[0].empty() && out[1].empty());
    EXPECT_EQ(run(processor, 100), "400\nf : 0\n") << "the empty frame was not counted";
}

TEST_F(FrameProcessorTest, FrameNumbersRunFromZeroToHundredThenFromOne) {
    FrameProcessor processor = withColour(white);
    std::vector<std::string> lines;
    for (int i = 0; i < 103; ++i) {
        std::istringstream printed(run(processor, 100));
        std::string line, frameLine;
        while (std::getline(printed, line)) {
            if (line.rfind("f : ", 0) == 0) {
                frameLine = line;
            }
        }
        lines.push_back(frameLine);
    }
    EXPECT_EQ(lines[0], "f : 0");
    EXPECT_EQ(lines[1], "f : 1");
    EXPECT_EQ(lines[100], "f : 100");
    EXPECT_EQ(lines[101], "f : 1");
    EXPECT_EQ(lines[102], "f : 2");
}

TEST_F(FrameProcessorTest, RebuildPrintsTheBoardCellCountBeforeTheFrameLine) {
    FrameProcessor processor = withColour(white);
    EXPECT_EQ(run(processor, 100), "400\nf : 0\n");
    EXPECT_EQ(run(processor, 100), "f : 1\n");
    processor.requestRebuild();
    EXPECT_EQ(run(processor, 100), "400\nf : 2\n");
    EXPECT_EQ(processor.rebuildCount(), 1) << "a requested rebuild starts the count again";
}

struct InversionCase {
    int colour;
    int expected;
};

// The identity rig hands the lens-corrected frame straight to liveWarp.
TEST_F(FrameProcessorTest, DarkBoardsAreInvertedWhiteIsNot) {
    for (const InversionCase& c :
         {InversionCase{white, 60}, InversionCase{black, 195}, InversionCase{green, 195}}) {
        FrameProcessor processor = withColour(c.colour);
        run(processor, 60);
        const PerspectiveStage& stage = processor.perspectiveStage();
        EXPECT_EQ(stage.liveWarp().at<cv::Vec3b>(40, 80), cv::Vec3b::all(c.expected))
            << "colour " << c.colour;
        EXPECT_EQ(stage.liveCanvas().at<cv::Vec3b>(0, 0), cv::Vec3b::all(c.expected));
    }
}

// When each board cell is corrected, by hand: a marked cell into the live picture on
// every frame until refresh (even) frames have aged its mark out, then once into the
// board pictures on the next refresh frame; cells off the board are left alone.
TEST_F(FrameProcessorTest, MovingCellsAreCorrectedUntilTheirMarksAgeOutThenSettleOnce) {
    const int once = 5 * 40 + 3, twice = 6 * 40 + 3, offBoard = 1 * 40 + 3, quiet = 7 * 40 + 3;
    MotionStage stage;
    std::vector<int>& marks = stage.detector().marks;
    marks[once] = 1;
    marks[offBoard] = 1;
    struct Row {
        int cell;
        const char* moving;  // frames 1 ... 7 in which it is a moving cell
        const char* settled; // and a settled one
    };
    const Row rows[] = {
        {once, "12.....", "...4..."},
        {twice, ".234...", ".....6."},
        {offBoard, ".......", "......."},
        {quiet, ".......", "......."},
    };
    std::string moving[4], settled[4];
    for (int r = 0; r < 4; ++r) {
        moving[r] = settled[r] = ".......";
    }
    for (int frame = 1; frame <= 7; ++frame) {
        if (frame == 2) {
            marks[twice] = 2;
        }
        stage.decideCells(frame);
        for (int r = 0; r < 4; ++r) {
            const auto in = [&](const std::vector<int>& cells) {
                return std::count(cells.begin(), cells.end(), rows[r].cell) == 1;
            };
            moving[r][frame - 1] = in(stage.movingCells()) ? '0' + frame : '.';
            settled[r][frame - 1] = in(stage.settledCells()) ? '0' + frame : '.';
        }
    }
    for (int r = 0; r < 4; ++r) {
        EXPECT_EQ(moving[r], rows[r].moving) << "cell " << rows[r].cell;
        EXPECT_EQ(settled[r], rows[r].settled) << "cell " << rows[r].cell;
    }
    EXPECT_EQ(marks[offBoard], 1) << "only board cells are aged";
}

// A frame's cells land in their own canvas rectangles: a moving one in the live canvas
// only, a settled one in the board canvases only, and the warps follow them.
TEST_F(FrameProcessorTest, RefreshedCellsLandInTheirOwnRectangles) {
    const CalibrationStore& store = CalibrationStore::instance();
    PerspectiveStage stage;
    const BoardEnhancer details;
    FrameInput input;
    const cv::Mat before = tiny::uniformFrame(245), after = tiny::uniformFrame(205);
    input.begin(&before, nullptr, nullptr);
    stage.rebuild(input, true, details);
    input.end(true);
    const std::vector<int> moving{6 * 40 + 3}, settled{9 * 40 + 20};
    input.begin(&after, nullptr, nullptr);
    stage.beginCells();
    while (!stage.refreshNextCells(input, true, moving, settled, details)) {
    }
    stage.warpRefreshedCells(true, moving, settled);
    input.end(true);
    struct Row {
        int cell, live, colour; // inverted levels
    };
    const Row rows[] = {{moving[0], 50, 10},      {settled[0], 10, 50},
                        {moving[0] + 1, 10, 10},  {moving[0] - 40, 10, 10},
                        {settled[0] - 1, 10, 10}, {settled[0] + 40, 10, 10}};
    for (const Row& r : rows) {
        const cv::Rect cell = store.canvasCells[r.cell];
        EXPECT_EQ(cv::mean(stage.liveCanvas()(cell)), cv::Scalar(r.live, r.live, r.live, 0))
            << r.cell;
        EXPECT_EQ(cv::mean(stage.colourCanvasPicture()(cell)),
                  cv::Scalar(r.colour, r.colour, r.colour, 0))
            << r.cell;
        EXPECT_EQ(cv::mean(stage.liveWarp()(cell)), cv::Scalar(r.live, r.live, r.live, 0));
        EXPECT_EQ(cv::mean(stage.colourWarp()(cell)), cv::Scalar(r.colour, r.colour, r.colour, 0));
    }
}

TEST_F(FrameProcessorTest, WhiteBoardKeepsNoColourPictureAndWritesNoTrueColour) {
    FrameProcessor processor = withColour(white);
    run(processor, 100);
    run(processor, 100);
    EXPECT_TRUE(processor.perspectiveStage().colourWarp().empty());
    EXPECT_FALSE(std::filesystem::exists("trueColor.jpg"));
}

TEST_F(FrameProcessorTest, GreenBoardWritesTheLightenedBoardCellsToTrueColour) {
    tiny::showFramesToTheMotionStage(CalibrationStore::instance());
    FrameProcessor processor = withColour(green);
    run(processor, 40);
    const cv::Mat written = cv::imread("trueColor.jpg");
    ASSERT_FALSE(written.empty());
    ASSERT_EQ(written.size(), processor.perspectiveStage().colourWarp().size());
    EXPECT_NEAR(written.at<cv::Vec3b>(40, 80)[1], 215, 2) << "inverted board cells";
    EXPECT_NEAR(written.at<cv::Vec3b>(2, 2)[1], 0, 2) << "off-board cells are black";
    // The board changes and settles: the colour picture changes, and the file follows it.
    for (int frame = 1; frame < 8; ++frame) {
        run(processor, frame < 2 ? 40 : 90);
    }
    const cv::Mat rewritten = cv::imread("trueColor.jpg");
    EXPECT_NEAR(rewritten.at<cv::Vec3b>(5 * 4 + 1, 10 * 4 + 1)[1], 165, 6);
}

TEST_F(FrameProcessorTest, BoardColourChangeRequestsARebuildWithTheNewInversion) {
    FrameProcessor processor = withColour(white);
    run(processor, 50);
    run(processor, 50);
    processor.setBoardColor(black);
    EXPECT_EQ(processor.rebuildCount(), 0);
    run(processor, 50);
    const PerspectiveStage& stage = processor.perspectiveStage();
    EXPECT_EQ(stage.liveWarp().at<cv::Vec3b>(40, 80), cv::Vec3b::all(205));
    ASSERT_EQ(stage.colourWarp().size(), stage.liveWarp().size());
    processor.setBoardColor(black);
    EXPECT_EQ(processor.rebuildCount(), 1) << "the same colour again changes nothing";
}

// The detector compares the next small frame, now inverted, with the last one; a
// colour change starts a new reference instead of marking every board cell.
TEST_F(FrameProcessorTest, BoardColourChangeStartsANewMotionReference) {
    CalibrationStore& store = CalibrationStore::instance();
    store.smallMap1 = store.map1.clone(); // the detector sees the frame itself
    FrameProcessor processor = withColour(white);
    for (int frame = 0; frame < 4; ++frame) { // the detection of frame 2 is the reference
        run(processor, 50);
    }
    processor.setBoardColor(black);
    run(processor, 50);
    int marked = 0;
    for (int k : store.boardGrids) {
        marked += processor.motionStage().detector().marks[k] != 0 ? 1 : 0;
    }
    EXPECT_EQ(marked, 0);
    // The detector does see these frames: a change after the next reference is marked.
    for (int frame = 5; frame < 8; ++frame) {
        run(processor, 50);
    }
    run(processor, 120);
    marked = 0;
    for (int k : store.boardGrids) {
        marked += processor.motionStage().detector().previousMarks[k] != 0 ? 1 : 0;
    }
    EXPECT_GT(marked, 0);
}

TEST_F(FrameProcessorTest, OutOfRangeValuesAreRefusedAndThePreviousKept) {
    FrameProcessor processor = withColour(white);
    const PipelineSettings& settings = processor.settings();
    ConsoleCapture console;
    processor.setSettings(1, 3.0, -81, 70, false, 0.25);
    EXPECT_EQ(console.take(), "");

    for (int badMode : {-1, 3}) {
        console.start();
        processor.setSettings(badMode, 3.0, 0, 70, false, 0.25);
        EXPECT_NE(console.take().find("refused"), std::string::npos);
        EXPECT_EQ(settings.mode, 1);
    }
    for (double pole : {131.0, 131.5, 201.0}) {
        console.start();
        processor.setSettings(0, 3.0, 0, pole, false, 0.25);
        EXPECT_NE(console.take().find("refused"), std::string::npos);
        EXPECT_EQ(settings.contrast, 70) << pole;
    }
    for (int badColour : {-1, 3}) {
        console.start();
        processor.setBoardColor(badColour);
        EXPECT_NE(console.take().find("refused"), std::string::npos);
        EXPECT_EQ(settings.boardColor, white);
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
    EXPECT_EQ(run(processor, 30), "400\nf : 0\n") << "calibrated: the first frame rebuilds";
    EXPECT_EQ(last[0].size(), cv::Size(tiny::frameWidth, tiny::frameHeight));
}

TEST_F(FrameProcessorTest, FrameOfTheWrongSizeIsPassedThroughNotCut) {
    FrameProcessor processor = withColour(white);
    ConsoleCapture console;
    const std::vector<cv::Mat> out =
        processor.processFrame(cv::Mat(30, 50, CV_8UC3, cv::Scalar::all(7)));
    EXPECT_NE(console.take().find("does not match"), std::string::npos);
    EXPECT_EQ(out[1].size(), cv::Size(50, 30));
}

// One call takes a frame as the camera delivered it and reads what the stages need of
// it; a frame whose needed pixels are missing keeps its place in the count (so that a
// plan made ahead stays in step), changes nothing and prints no frame line.
TEST_F(FrameProcessorTest, TakeFrameReadsWhatTheStagesNeedAndSkipsWhatIsMissing) {
    using Intake = FrameProcessor::Intake;
    enum Pixels { none, half, whole };
    struct Row {
        Pixels pixels;
        Intake taken;
        const char* printed;
    };
    const Row rows[] = {
        {half, Intake::skipped, ""},              // the rebuild reads the whole frame
        {none, Intake::skipped, ""},              // so does the next try
        {whole, Intake::started, "400\nf : 2\n"}, // the count went on
        {none, Intake::done, "f : 3\n"},          // a still board's odd frame is not read
        {half, Intake::started, "f : 4\n"},       // its motion frames only at half size
        {whole, Intake::done, "f : 5\n"},         // pixels it does not read are left alone
        {none, Intake::skipped, ""},
        {none, Intake::done, "f : 7\n"},
    };
    FrameProcessor processor = withColour(white);
    const cv::Mat frame = tiny::uniformFrame(100);
    cv::Mat halfFrame;
    cv::resize(frame, halfFrame, frame.size() / 2, 0, 0, cv::INTER_AREA);
    const cv::Mat nothing;
    int n = 0;
    for (const Row& r : rows) {
        const cv::Mat* pixels = r.pixels == none   ? &nothing
                                : r.pixels == half ? &halfFrame
                                                   : &frame;
        ConsoleCapture console;
        const Intake taken = processor.takeFrame({frame.size(), pixels, nullptr});
        if (taken == Intake::started) {
            while (!processor.continueFrame()) {
            }
        }
        EXPECT_EQ(taken, r.taken) << "row " << n;
        EXPECT_EQ(console.take(), r.printed) << "row " << n;
        if (r.taken == Intake::skipped) {
            EXPECT_FALSE(processor.outputsChanged()) << "row " << n;
        }
        ++n;
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
