// Whole lessons on the rig through the pipeline: every board-full is kept once, from
// before its wiping, with its ink; walks, standing, a correction and a light step keep
// nothing.

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

#ifdef BRISEL_LEAN_RIG_TESTS
constexpr bool lean = true;
#else
constexpr bool lean = false;
#endif

constexpr double requiredRecall = 0.97;
// Truth strokes are drawn without anti-aliasing; the pipeline's picture of them may sit
// a pixel or two off after the lens and the warp.
constexpr int inkReach = 3;
// A key frame may come a little after the last pass ends, while its cells settle.
constexpr int settleSlack = 12;
// Frames of a wiping pass: the board kept is shown by the pipeline before the first
// pass ends (it shows a wiped cell only once the wiper has moved on and the cell
// settled); its ink shows that it holds the board from before the wipe.
constexpr int passFrames = 24;

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
    r.lesson = std::make_unique<rig::Lesson>(rig::LessonConfig{board, seed, 1.5, brief});
    ScopedWorkDir work("lesson");
    FrameProcessor processor;
    processor.setBoardColor(static_cast<int>(board));
    processor.requestRebuild();
    std::ostringstream discard;
    std::streambuf* console = std::cout.rdbuf(discard.rdbuf());
    for (int i = 0; i < r.lesson->frames(); ++i) {
        processor.processFrame(r.lesson->frame(i));
        discard.str("");
        if (processor.hasKeyFrame()) {
            Kept k{i, processor.erase.keptFrame(), cv::Mat(), processor.renderKeyFrame()};
            EraseDetector::inkMask(processor.erase.keptDetail(), k.ink);
            r.kept.push_back(k);
        }
    }
    std::cout.rdbuf(console);
    return r;
}

int lastWriting(const rig::Lesson& lesson, int before) {
    int last = -1;
    for (const rig::LessonEvent& e : lesson.events()) {
        if ((e.kind == rig::LessonEvent::Write || e.kind == rig::LessonEvent::Correction) &&
            e.end < before) {
            last = std::max(last, e.end);
        }
    }
    return last;
}

double recall(const cv::Mat& truth, const cv::Mat& ink) {
    cv::Mat near;
    cv::dilate(
        ink, near,
        cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(2 * inkReach + 1, 2 * inkReach + 1)));
    cv::Mat found;
    cv::bitwise_and(truth, near, found);
    return static_cast<double>(cv::countNonZero(found)) / std::max(1, cv::countNonZero(truth));
}

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

TEST_P(LessonTest, EveryBoardFullIsKeptOnceFromBeforeItsWipingWithItsInk) {
    const LessonRun& r = run(GetParam().board, GetParam().seed, GetParam().brief);
    const std::vector<rig::Erasure>& erasures = r.lesson->erasures();
    std::vector<int> keptOf(erasures.size(), 0);
    for (const Kept& k : r.kept) {
        bool matched = false;
        for (size_t e = 0; e < erasures.size(); ++e) {
            if (k.frame < erasures[e].begin || k.frame > erasures[e].end + settleSlack) {
                continue;
            }
            matched = true;
            ++keptOf[e];
            const double found = recall(erasures[e].ink, k.ink);
            std::cout << rig::boardName(GetParam().board) << " seed " << GetParam().seed
                      << ": board-full " << e << " (frames " << erasures[e].begin << "-"
                      << erasures[e].end << ", " << erasures[e].passes << " passes) kept at frame "
                      << k.frame << " showing frame " << k.board << ", ink recall " << found
                      << std::endl;
            EXPECT_GE(found, requiredRecall) << "board-full " << e;
            // The board picture kept: after the last writing, within the first pass.
            EXPECT_GE(k.board, lastWriting(*r.lesson, erasures[e].begin));
            EXPECT_LT(k.board, erasures[e].begin + passFrames);
            EXPECT_FALSE(k.saved.empty());
        }
        EXPECT_TRUE(matched) << "key frame at frame " << k.frame << " during no erasure";
    }
    for (size_t e = 0; e < erasures.size(); ++e) {
        EXPECT_EQ(keptOf[e], 1) << "board-full " << e << " wiped in " << erasures[e].passes
                                << " passes";
    }
}

const LessonCase lessons[] = {
    {rig::Board::White, 1, false}, {rig::Board::Black, 3, false}, {rig::Board::Green, 4, false}};
// Under the sanitizers a short lesson: one board-full, one pass.
const LessonCase leanLesson{rig::Board::White, 1, true};

INSTANTIATE_TEST_SUITE_P(Rig, LessonTest,
                         ::testing::ValuesIn(lean ? std::vector<LessonCase>{leanLesson}
                                                  : std::vector<LessonCase>(std::begin(lessons),
                                                                            std::end(lessons))),
                         caseName);

} // namespace
