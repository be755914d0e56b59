// The erase detector on small synthetic detail pictures: a 400 x 200 board picture
// that shows a 40 x 20 grid of 10 x 10 canvas cells one to one.

#include "erase_detector.h"

#include <opencv2/imgproc.hpp>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

constexpr int cellSize = 10;
constexpr int columns = 40;
constexpr int rows = 20;
const cv::Size boardSize(columns* cellSize, rows* cellSize);
const cv::Rect whole(cv::Point(), boardSize);
const cv::Rect leftHalf(0, 0, boardSize.width / 2, boardSize.height);
const cv::Rect rightHalf(boardSize.width / 2, 0, boardSize.width / 2, boardSize.height);
const cv::Rect leftTwoFifths(0, 0, boardSize.width * 2 / 5, boardSize.height);
const cv::Rect rightThreeFifths(boardSize.width * 2 / 5, 0, boardSize.width * 3 / 5,
                                boardSize.height);

// What happens to the board in one step of a script.
struct Action {
    enum Kind { Write, Wipe, Hide, Show, Flash, Wait, Reset } kind;
    cv::Rect area;
    int frames = 1;  // a wipe sweeps left to right over this many frames
    int variant = 0; // which writing: strokes of another shape in the same place
};

Action write(const cv::Rect& area, int variant = 0) {
    return {Action::Write, area, 1, variant};
}
Action wipe(const cv::Rect& area, int frames = 8) {
    return {Action::Wipe, area, frames};
}
// Something in front of the board: its ink disappears until Show.
Action hide(const cv::Rect& area) {
    return {Action::Hide, area};
}
Action show() {
    return {Action::Show, cv::Rect()};
}
// Ink-like edges that show for a few frames only (someone standing still a moment).
Action flash(const cv::Rect& area, int frames) {
    return {Action::Flash, area, frames};
}
Action wait(int frames) {
    return {Action::Wait, cv::Rect(), frames};
}
Action resetDetector() {
    return {Action::Reset, cv::Rect()};
}

// Handwriting stand-in: short strokes two pixels thick, in rows.
void drawStrokes(cv::Mat& picture, const cv::Rect& area, int variant) {
    const cv::Scalar ink(90, 110, 100);
    for (int y = area.y + 3; y + 4 < area.br().y; y += 7) {
        for (int x = area.x + 2; x + 6 < area.br().x; x += variant == 0 ? 9 : 18) {
            if (variant == 0) {
                cv::line(picture, {x, y}, {x + 5, y + 3}, ink, 2, cv::LINE_8);
            } else {
                cv::line(picture, {x + 2, y - 1}, {x + 2, y + 4}, ink, 2, cv::LINE_8);
            }
        }
    }
}

class Script {
public:
    Script() {
        board = cv::Mat::zeros(boardSize, CV_8UC3);
        resetDetector();
        step(whole); // the detector starts from an empty board
    }

    void run(const std::vector<Action>& actions) {
        for (const Action& a : actions) {
            switch (a.kind) {
            case Action::Write:
                drawStrokes(board, a.area, a.variant);
                step(a.area);
                break;
            case Action::Wipe:
                for (int f = 0; f < a.frames; ++f) {
                    const int x0 = a.area.x + a.area.width * f / a.frames;
                    const int x1 = a.area.x + a.area.width * (f + 1) / a.frames;
                    const cv::Rect strip(x0, a.area.y, x1 - x0, a.area.height);
                    board(strip).setTo(cv::Scalar::all(0));
                    step(strip);
                }
                break;
            case Action::Hide:
                hidden = a.area;
                step(a.area);
                break;
            case Action::Show: {
                const cv::Rect area = hidden;
                hidden = cv::Rect();
                step(area);
                break;
            }
            case Action::Flash: {
                const cv::Mat before = board.clone();
                drawStrokes(board, a.area, 1);
                for (int f = 0; f < a.frames; ++f) {
                    step(f == 0 ? a.area : cv::Rect());
                }
                before.copyTo(board);
                step(a.area);
                break;
            }
            case Action::Wait:
                for (int f = 0; f < a.frames; ++f) {
                    step(cv::Rect());
                }
                break;
            case Action::Reset:
                // A new calibration: the board picture shows something else at once.
                board.setTo(cv::Scalar::all(0));
                resetDetector();
                step(whole);
                break;
            }
        }
    }

    // A rebuild that leaves the view as it is (the camera plugged in again).
    void restart() {
        resetDetector();
        step(whole);
    }

    // The pipeline shows the board (minus what is hidden, and someone in front of it
    // with their ink-like outline) and refreshes the cells of the changed area.
    void step(const cv::Rect& changed) {
        board.copyTo(shown);
        if (!hidden.empty()) {
            shown(hidden).setTo(cv::Scalar::all(0));
        }
        if (!presenter.empty()) {
            shown(presenter).setTo(cv::Scalar::all(0));
            cv::rectangle(shown, presenter, cv::Scalar(90, 110, 100), 3);
        }
        std::vector<int> settled;
        for (int r = 0; r < rows; ++r) {
            for (int c = 0; c < columns; ++c) {
                if ((cv::Rect(c * cellSize, r * cellSize, cellSize, cellSize) & changed).area() >
                    0) {
                    settled.push_back(r * columns + c);
                }
            }
        }
        if (detector.update(shown, cv::Mat(), settled, moving)) {
            Key k{frame, detector.keptFrame(), cv::Mat()};
            EraseDetector::inkMask(detector.keptDetail(), k.ink);
            keys.push_back(k);
        }
        ++frame;
    }

    struct Key {
        long frame;
        long shows;
        cv::Mat ink;
    };
    std::vector<Key> keys;
    cv::Mat board;
    long frame = 0;
    cv::Rect presenter;
    bool moving = false;

private:
    void resetDetector() {
        std::vector<cv::Rect> cells;
        std::vector<int> all;
        for (int r = 0; r < rows; ++r) {
            for (int c = 0; c < columns; ++c) {
                all.push_back(static_cast<int>(cells.size()));
                cells.emplace_back(c * cellSize, r * cellSize, cellSize, cellSize);
            }
        }
        detector.reset(cv::Mat::eye(3, 3, CV_64F), boardSize, cells, all);
    }

    EraseDetector detector;
    cv::Mat shown;
    cv::Rect hidden;
};

cv::Mat inkOf(const cv::Rect& area, int variant = 0) {
    cv::Mat picture = cv::Mat::zeros(boardSize, CV_8UC3);
    drawStrokes(picture, area, variant);
    cv::Mat ink;
    EraseDetector::inkMask(picture, ink);
    return ink;
}

int differing(const cv::Mat& a, const cv::Mat& b) {
    cv::Mat diff;
    cv::bitwise_xor(a, b, diff);
    return cv::countNonZero(diff);
}

struct Row {
    const char* name;
    std::vector<Action> actions;
    int keyFrames;
};

class EraseScriptTest : public ::testing::TestWithParam<Row> {};

TEST_P(EraseScriptTest, KeepsTheBoardOnlyWhenABoardFullIsWiped) {
    Script script;
    script.run(GetParam().actions);
    EXPECT_EQ(static_cast<int>(script.keys.size()), GetParam().keyFrames);
}

const Row rows_[] = {
    {"OnePass", {write(whole), wait(12), wipe(whole)}, 1},
    {"TwoPasses", {write(whole), wait(12), wipe(leftHalf), wait(40), wipe(rightHalf)}, 1},
    {"TwoFifthsThenTheRestLater",
     {write(whole), wait(12), wipe(leftTwoFifths), wait(60), wipe(rightThreeFifths)},
     1},
    {"NewWritingBetweenTwoWipes",
     {write(whole), wait(12), wipe(leftTwoFifths), write(cv::Rect(0, 0, 120, 80)), wait(12),
      wipe(rightThreeFifths)},
     2},
    {"TooLittleNewWritingBetweenTwoWipes",
     {write(whole), wait(12), wipe(leftTwoFifths), write(cv::Rect(0, 0, 30, 30)), wait(12),
      wipe(rightThreeFifths)},
     1},
    {"AFifthWiped", {write(whole), wait(12), wipe(cv::Rect(0, 0, 80, 200))}, 0},
    {"SomethingStandingInFrontOfAFifth",
     {write(whole), wait(12), hide(cv::Rect(150, 0, 80, 200)), wait(120), show(), wait(12)},
     0},
    {"CorrectionThenWipe",
     {write(whole), wait(12), wipe(cv::Rect(200, 100, 40, 30), 1),
      write(cv::Rect(200, 100, 40, 30), 1), wait(60), wipe(whole)},
     1},
    {"ALittleInkWiped", {write(cv::Rect(0, 0, 30, 30)), wait(12), wipe(cv::Rect(0, 0, 30, 30))}, 0},
    {"ClearedInOneFrame", {write(whole), wait(12), wipe(whole, 1)}, 1},
    {"ResetShowingAnEmptyBoard", {write(whole), wait(12), resetDetector(), wait(12)}, 0},
};

INSTANTIATE_TEST_SUITE_P(Scripts, EraseScriptTest, ::testing::ValuesIn(rows_),
                         [](const ::testing::TestParamInfo<Row>& info) {
                             return std::string(info.param.name);
                         });

TEST(EraseDetectorTest, KeepsTheWholeBoardFromBeforeTheWipeBegan) {
    Script script;
    script.run({write(whole), wait(12)});
    const long lastBefore = script.frame - 1;
    script.run({wipe(whole, 20)});
    ASSERT_EQ(script.keys.size(), 1u);
    EXPECT_EQ(differing(script.keys[0].ink, inkOf(whole)), 0);
    EXPECT_EQ(script.keys[0].shows, lastBefore);
    EXPECT_LT(script.keys[0].frame, script.frame - 1) << "kept while the wipe was still going";
}

// Plugged in (or recalibrated) while someone moves in front of the board: the detector
// starts once the board is still, so their leaving is not a wipe of what they hid.
TEST(EraseDetectorTest, AStartWhileSomeoneMovesWaitsForAStillBoard) {
    const cv::Rect presenter(150, 0, 80, 200);
    Script script;
    script.run({write(whole), wait(12)});
    script.presenter = presenter;
    script.moving = true;
    script.restart();
    script.step(presenter);
    script.presenter = cv::Rect();
    script.step(presenter);
    script.moving = false;
    script.run({wait(12), wipe(whole)});
    ASSERT_EQ(script.keys.size(), 1u);
    EXPECT_EQ(differing(script.keys[0].ink, inkOf(whole)), 0);
}

TEST(EraseDetectorTest, InkShowingForAMomentIsNeitherKeptNorMissed) {
    Script script;
    script.run({write(leftHalf), wait(12), flash(cv::Rect(260, 40, 60, 120), 3), wait(4)});
    const long afterFlash = script.frame - 1;
    script.run({wipe(leftHalf, 20)});
    ASSERT_EQ(script.keys.size(), 1u);
    EXPECT_EQ(differing(script.keys[0].ink, inkOf(leftHalf)), 0);
    EXPECT_EQ(script.keys[0].shows, afterFlash);
}

// Someone's edge passes over a cell that held only a speck of ink, and the speck
// leaves with them: neither is kept.
TEST(EraseDetectorTest, AMomentaryGainOverASpeckIsWithdrawnWithTheSpeck) {
    const cv::Rect cell(300, 100, cellSize, cellSize);
    const cv::Rect speck(304, 104, 3, 3);
    Script script;
    script.run({write(leftHalf)});
    script.board(speck).setTo(cv::Scalar(90, 110, 100));
    script.step(cell);
    script.run({wait(12)});
    script.presenter = cell;
    script.step(cell);
    script.step(cv::Rect());
    script.presenter = cv::Rect();
    script.board(speck).setTo(cv::Scalar::all(0));
    script.step(cell);
    script.run({wait(12), wipe(leftHalf, 20)});
    ASSERT_EQ(script.keys.size(), 1u);
    EXPECT_EQ(differing(script.keys[0].ink, inkOf(leftHalf)), 0);
}

// Someone standing still hides some writing while their own edges look like ink.
TEST(EraseDetectorTest, InkShowingWhileSomethingHidesTheBoardIsNotKept) {
    Script script;
    script.run({write(leftHalf), wait(12), hide(cv::Rect(0, 0, 40, 200)),
                flash(cv::Rect(260, 40, 60, 120), 40), show(), wait(4)});
    const long afterLeaving = script.frame - 1;
    script.run({wipe(leftHalf, 20)});
    ASSERT_EQ(script.keys.size(), 1u);
    EXPECT_EQ(differing(script.keys[0].ink, inkOf(leftHalf)), 0);
    EXPECT_EQ(script.keys[0].shows, afterLeaving);
}

TEST(EraseDetectorTest, ABoardWipedAfterACorrectionIsKeptWithTheCorrection) {
    const cv::Rect word(200, 100, 40, 30);
    Script script;
    script.run({write(whole), wait(12), wipe(word, 1), write(word, 1), wait(60), wipe(whole)});
    ASSERT_EQ(script.keys.size(), 1u);
    cv::Mat expected = inkOf(whole);
    expected(word).setTo(0);
    cv::bitwise_or(expected, inkOf(word, 1), expected);
    EXPECT_EQ(differing(script.keys[0].ink, expected), 0);
}

TEST(EraseDetectorTest, TheSecondKeyFrameHoldsWhatWasWrittenInBetween) {
    const cv::Rect added(0, 0, 120, 80);
    Script script;
    script.run({write(whole), wait(12), wipe(leftTwoFifths), write(added), wait(12),
                wipe(rightThreeFifths)});
    ASSERT_EQ(script.keys.size(), 2u);
    // The first key frame came while the left part was being wiped; the rest of the
    // board and the added writing are what the second one must hold.
    cv::Mat expected = inkOf(whole);
    cv::Mat second = script.keys[1].ink.clone();
    second(leftTwoFifths).setTo(0);
    expected(leftTwoFifths).setTo(0);
    EXPECT_EQ(differing(second, expected), 0);
    cv::Mat addedInk;
    cv::bitwise_and(script.keys[1].ink, inkOf(added), addedInk);
    EXPECT_EQ(cv::countNonZero(addedInk), cv::countNonZero(inkOf(added)));
}

TEST(EraseDetectorTest, APictureOfAnotherSizeIsRefusedWithOneLine) {
    EraseDetector detector;
    detector.reset(cv::Mat::eye(3, 3, CV_64F), boardSize, {cv::Rect(0, 0, 10, 10)}, {0});
    testing::internal::CaptureStdout();
    EXPECT_FALSE(detector.update(cv::Mat::zeros(10, 10, CV_8UC3), cv::Mat(), {0}));
    EXPECT_FALSE(detector.update(cv::Mat(), cv::Mat(), {0}));
    EXPECT_FALSE(detector.update(cv::Mat::zeros(boardSize, CV_8UC1), cv::Mat(), {0}));
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(std::count(printed.begin(), printed.end(), '\n'), 1) << printed;
}

} // namespace
