// Whole lessons in real time on the rig through the pipeline: every board-full is kept
// once, from before its wiping, with its ink and nothing of the presenter, who stands
// at the board at the start and in front of empty board.

#include "erase_detector.h"
#include "frame_processor.h"
#include "lesson.h"
#include "test_rig.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

namespace {

constexpr double requiredRecall = 0.97;
constexpr double requiredPrecision = 0.95;
// Truth strokes are drawn without anti-aliasing; the pipeline's picture of them may sit
// a pixel or two off after the lens and the warp, and their detail is a little wider.
constexpr int inkReach = 3;
constexpr int outlineReach = 8;
// Frames a second of the lessons: the rules are in seconds, so a low rate keeps the
// test short.
constexpr int lessonFps = 10;
constexpr int modeBlackWhite = 1;
// The rig writes in blue, red and green too: a board saved in Color shows them.
constexpr int colouredChannelGap = 60;
constexpr double colouredShareOfInk = 0.05;

struct Kept {
    int frame;     // the frame after which it was yielded
    long board;    // the frame whose board it shows
    cv::Mat ink;   // its ink, as the detector decides ink
    cv::Mat saved; // as the application saves it
};

struct LessonRun {
    std::unique_ptr<rig::Lesson> lesson;
    std::vector<Kept> kept;
};

// Each lesson is rendered and processed once per test run.
const LessonRun& run(rig::Board board, std::uint64_t seed, bool brief) {
    static std::map<std::tuple<int, std::uint64_t, bool>, LessonRun> runs;
    LessonRun& r = runs[{static_cast<int>(board), seed, brief}];
    if (r.lesson) {
        return r;
    }
    rig::LessonConfig config{board, seed, 1.5, brief, lessonFps};
    config.realTime = true;
    r.lesson = std::make_unique<rig::Lesson>(config);
    ScopedWorkDir work("lesson");
    FrameProcessor processor;
    processor.setBoardColor(static_cast<int>(board));
    // The view shows B&W; boards are saved in Color all the same.
    const PipelineSettings& was = processor.settings();
    processor.setSettings(modeBlackWhite, was.details, was.brightness, was.contrast, was.ar,
                          was.arVal);
    processor.requestRebuild();
    std::ostringstream discard;
    std::streambuf* console = std::cout.rdbuf(discard.rdbuf());
    for (int i = 0; i < r.lesson->frames(); ++i) {
        processor.setFrameTime(static_cast<double>(i) / lessonFps);
        processor.processFrame(r.lesson->frame(i));
        discard.str("");
        if (processor.hasKeyFrame()) {
            Kept k{i, processor.eraseDetector().keptFrame(), cv::Mat(), processor.renderKeyFrame()};
            EraseDetector::inkMask(processor.eraseDetector().keptDetail(), k.ink);
            r.kept.push_back(k);
        }
    }
    std::cout.rdbuf(console);
    return r;
}

// The share of `of` that lies within `reach` of `near`.
struct LessonCase {
    rig::Board board;
    std::uint64_t seed;
    bool brief;
};

std::string caseName(const ::testing::TestParamInfo<LessonCase>& info) {
    return rig::boardName(info.param.board) + "_seed" + std::to_string(info.param.seed) +
           (info.param.brief ? "_brief" : "");
}

class LessonTest : public ::testing::TestWithParam<LessonCase> {};

// A key frame belongs to the board-full whose wiping began last before it came.
TEST_P(LessonTest, EveryBoardFullIsKeptOnceWithItsInkAndNoPerson) {
    const LessonRun& r = run(GetParam().board, GetParam().seed, GetParam().brief);
    const std::vector<rig::Erasure>& erasures = r.lesson->erasures();
    std::vector<int> keptOf(erasures.size(), 0);
    for (const Kept& k : r.kept) {
        int e = -1;
        for (size_t n = 0; n < erasures.size(); ++n) {
            e = erasures[n].begin <= k.frame ? static_cast<int>(n) : e;
        }
        ASSERT_GE(e, 0) << "key frame at frame " << k.frame << " before any wipe";
        ++keptOf[e];
        const double recall = rig::shareNear(erasures[e].ink, k.ink, inkReach);
        const double precision = rig::shareNear(k.ink, erasures[e].ink, outlineReach);
        std::cout << rig::boardName(GetParam().board) << " seed " << GetParam().seed
                  << ": board-full " << e << " kept at frame " << k.frame << " showing frame "
                  << k.board << ", ink recall " << recall << ", precision " << precision
                  << std::endl;
        EXPECT_GE(recall, requiredRecall) << "board-full " << e;
        EXPECT_GE(precision, requiredPrecision) << "board-full " << e;
        EXPECT_LT(k.board, erasures[e].end) << "the board from before its wiping";
        ASSERT_FALSE(k.saved.empty());
        cv::Mat lowest;
        cv::Mat highest;
        cv::reduce(k.saved.reshape(1, k.saved.total()), lowest, 1, cv::REDUCE_MIN);
        cv::reduce(k.saved.reshape(1, k.saved.total()), highest, 1, cv::REDUCE_MAX);
        const int coloured = cv::countNonZero(highest - lowest > colouredChannelGap);
        EXPECT_GT(coloured, colouredShareOfInk * cv::countNonZero(k.ink))
            << "board-full " << e << " not saved in Color";
    }
    for (size_t e = 0; e < erasures.size(); ++e) {
        EXPECT_EQ(keptOf[e], 1) << "board-full " << e << " wiped in " << erasures[e].passes
                                << " passes";
    }
}

INSTANTIATE_TEST_SUITE_P(Rig, LessonTest, ::testing::Values(LessonCase{rig::Board::White, 1, true}),
                         caseName);

} // namespace
