// The erase detector on small synthetic detail pictures: a 400 x 200 board picture
// that shows a 40 x 20 grid of 10 x 10 canvas cells one to one. Time runs in seconds;
// motion is measured on every other frame, as the pipeline measures it.

#include "erase_detector.h"
#include "test_support.h"

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
const cv::Rect quarter(0, 0, boardSize.width / 4, boardSize.height);
const cv::Rect fifth(0, 0, boardSize.width / 5, boardSize.height);
const cv::Rect word(200, 60, 80, 80);
const cv::Rect thirdInTheMiddle(140, 0, 130, 200);

// What happens to the board in one step of a script.
struct Action {
    enum Kind { Write, Wipe, Stand, Wait, Restart, Reset } kind;
    cv::Rect area;
    double seconds = 0; // a wipe sweeps left to right over this time; a stand lasts it
    int variant = 0;    // which writing: strokes of another shape in the same place
};

Action write(const cv::Rect& area, int variant = 0) {
    return {Action::Write, area, 0, variant};
}
Action wipe(const cv::Rect& area, double seconds = 0.3) {
    return {Action::Wipe, area, seconds};
}
// Someone standing in front of `area`, swaying: their outline looks like ink, the board
// behind is hidden, and the motion stage sees them move every now and then.
Action stand(const cv::Rect& area, double seconds) {
    return {Action::Stand, area, seconds};
}
Action wait(double seconds) {
    return {Action::Wait, cv::Rect(), seconds};
}
// The camera opened again: the same view, the detector restarted.
Action restart() {
    return {Action::Restart, cv::Rect()};
}
// A new calibration: the board picture shows something else at once.
Action resetDetector() {
    return {Action::Reset, cv::Rect()};
}
// A wipe in `strips` strips over `area`, with pauses between them.
std::vector<Action> inStrips(const cv::Rect& area, int strips, double pause) {
    std::vector<Action> actions;
    for (int s = 0; s < strips; ++s) {
        const int x0 = area.x + area.width * s / strips;
        const int x1 = area.x + area.width * (s + 1) / strips;
        actions.push_back(wipe(cv::Rect(x0, area.y, x1 - x0, area.height)));
        actions.push_back(wait(pause));
    }
    return actions;
}

// Someone wiping `area` a piece at a time and writing there at once: they stand in front
// of each piece until it is written, so no piece is seen empty.
std::vector<Action> rewrittenPieceByPiece(const cv::Rect& area, int pieces) {
    std::vector<Action> actions;
    for (int p = 0; p < pieces; ++p) {
        const int x0 = area.x + area.width * p / pieces;
        const int x1 = area.x + area.width * (p + 1) / pieces;
        const cv::Rect piece(x0, area.y, x1 - x0, area.height);
        actions.insert(actions.end(), {wipe(piece), stand(piece, 1.2), write(piece, 2)});
    }
    return actions;
}

// Handwriting stand-in: short strokes two pixels thick, in rows.
void drawStrokes(cv::Mat& picture, const cv::Rect& area, int variant) {
    const cv::Scalar ink(90, 110, 100);
    for (int y = area.y + 3; y + 4 < area.br().y; y += 7) {
        for (int x = area.x + 2; x + 6 < area.br().x; x += variant == 0 ? 9 : 18) {
            if (variant == 0) {
                cv::line(picture, {x, y}, {x + 5, y + 3}, ink, 2, cv::LINE_8);
            } else {
                // Variants 1 and 2 are sparse and lie apart from each other.
                const int at = x + (variant == 1 ? 2 : 11);
                cv::line(picture, {at, y - 1}, {at, y + 4}, ink, 2, cv::LINE_8);
            }
        }
    }
}

std::vector<int> cellsOf(const cv::Rect& area) {
    std::vector<int> cells;
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < columns; ++c) {
            if ((cv::Rect(c * cellSize, r * cellSize, cellSize, cellSize) & area).area() > 0) {
                cells.push_back(r * columns + c);
            }
        }
    }
    return cells;
}

class Script {
public:
    explicit Script(int framesPerSecond = 30) : fps(framesPerSecond) {
        board = cv::Mat::zeros(boardSize, CV_8UC3);
        resetDetector();
        run({wait(2.5)}); // the detector starts on a still, empty board
    }

    void run(const std::vector<Action>& actions) {
        for (const Action& a : actions) {
            const int frames = std::max(1, static_cast<int>(a.seconds * fps + 0.5));
            switch (a.kind) {
            case Action::Write:
                drawStrokes(board, a.area, a.variant);
                step(a.area);
                break;
            case Action::Wipe:
                for (int f = 0; f < frames; ++f) {
                    const int x0 = a.area.x + a.area.width * f / frames;
                    const int x1 = a.area.x + a.area.width * (f + 1) / frames;
                    const cv::Rect strip(x0, a.area.y, x1 - x0, a.area.height);
                    board(strip).setTo(cv::Scalar::all(0));
                    step(strip);
                }
                break;
            case Action::Stand:
                presenter = a.area;
                for (int f = 0; f < frames; ++f) {
                    // Seen moving for 0.4 s of every 1.2 s of swaying.
                    swaying = (f * 5 / fps) % 3 == 0;
                    step(f == 0 ? a.area : cv::Rect());
                }
                presenter = cv::Rect();
                swaying = false;
                step(a.area);
                break;
            case Action::Wait:
                for (int f = 0; f < frames; ++f) {
                    step(cv::Rect());
                }
                break;
            case Action::Restart:
                detector.restart();
                break;
            case Action::Reset:
                board.setTo(cv::Scalar::all(0));
                resetDetector();
                step(whole);
                break;
            }
        }
    }

    // The pipeline shows the board (and whoever stands in front of it, with an
    // ink-like outline); the cells of the changed area move, then are refreshed.
    void step(const cv::Rect& changed) {
        board.copyTo(shown);
        if (!presenter.empty()) {
            shown(presenter).setTo(cv::Scalar::all(0));
            cv::rectangle(shown, presenter, cv::Scalar(90, 110, 100), 3);
        }
        const double seconds = static_cast<double>(frame) / fps;
        for (int k : cellsOf(changed)) {
            moving.push_back(k);
        }
        if (swaying) {
            for (int k : cellsOf(presenter)) {
                moving.push_back(k);
            }
        }
        std::vector<int> refreshed;
        if (frame % 2 == 0) {
            detector.noteMotion(moving, seconds);
            refreshed.swap(moving);
        }
        if (detector.update(shown, cv::Mat(), refreshed, seconds)) {
            Key k{frame, cv::Mat()};
            EraseDetector::inkMask(detector.keptDetail(), k.ink);
            keys.push_back(k);
        }
        ++frame;
    }

    struct Key {
        long frame;
        cv::Mat ink;
    };
    std::vector<Key> keys;
    cv::Mat board;
    long frame = 0;
    cv::Rect presenter;
    EraseDetector detector;

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

    int fps;
    bool swaying = false;
    std::vector<int> moving;
    cv::Mat shown;
};

// The ink of a board written and wiped instantly by `actions` (writes and wipes only).
cv::Mat inkAfter(const std::vector<Action>& actions) {
    cv::Mat picture = cv::Mat::zeros(boardSize, CV_8UC3);
    for (const Action& a : actions) {
        if (a.kind == Action::Write) {
            drawStrokes(picture, a.area, a.variant);
        } else if (a.kind == Action::Wipe) {
            picture(a.area).setTo(cv::Scalar::all(0));
        }
    }
    cv::Mat ink;
    EraseDetector::inkMask(picture, ink);
    return ink;
}

int countOf(const cv::Mat& a, const cv::Mat& notB) {
    cv::Mat only;
    cv::bitwise_and(a, ~notB, only);
    return cv::countNonZero(only);
}

std::vector<Action> operator+(std::vector<Action> a, const std::vector<Action>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct Row {
    const char* name;
    std::vector<Action> actions;
    std::vector<std::vector<Action>> keys; // the board each key frame must show
    int fps = 30;
};

void PrintTo(const Row& row, std::ostream* os) {
    *os << row.name;
}

class EraseScriptTest : public ::testing::TestWithParam<Row> {};

// Each key frame holds at least 97 % of its board's ink, and at most 5 % of what it
// holds is not that ink (an outline of someone, a stroke from later).
TEST_P(EraseScriptTest, KeepsEachBoardFullOnceWithItsInk) {
    Script script(GetParam().fps);
    script.run(GetParam().actions + std::vector<Action>{wait(2)});
    ASSERT_EQ(script.keys.size(), GetParam().keys.size());
    for (size_t n = 0; n < script.keys.size(); ++n) {
        const cv::Mat expected = inkAfter(GetParam().keys[n]);
        const cv::Mat& kept = script.keys[n].ink;
        EXPECT_LE(countOf(expected, kept), 0.03 * cv::countNonZero(expected)) << "key " << n;
        EXPECT_LE(countOf(kept, expected), 0.05 * cv::countNonZero(kept)) << "key " << n;
    }
}

const std::vector<Action> full{write(whole), wait(2)};

const Row rows_[] = {
    {"OnePass", full + std::vector<Action>{wipe(whole, 2)}, {{write(whole)}}},
    {"OnePassAt10", full + std::vector<Action>{wipe(whole, 2)}, {{write(whole)}}, 10},
    {"TwoPasses",
     full + std::vector<Action>{wipe(leftHalf), wait(3), wipe(rightHalf)},
     {{write(whole)}}},
    {"StripsWithPauses", full + inStrips(whole, 16, 8), {{write(whole)}}},
    {"StripsWithPausesAt15", full + inStrips(whole, 16, 8), {{write(whole)}}, 15},
    {"NewWritingBetweenTwoWipes",
     full + std::vector<Action>{wipe(leftTwoFifths), wait(2), write(cv::Rect(0, 0, 120, 80)),
                                wait(2), wipe(rightThreeFifths)},
     {{write(whole)}, {write(whole), wipe(leftTwoFifths), write(cv::Rect(0, 0, 120, 80))}}},
    {"TooLittleNewWritingBetweenTwoWipes",
     full + std::vector<Action>{wipe(leftTwoFifths), wait(2), write(cv::Rect(0, 0, 30, 30)),
                                wait(2), wipe(rightThreeFifths)},
     {{write(whole)}}},
    {"AQuarterWrittenOverThenAllWiped",
     full + std::vector<Action>{wipe(quarter), wait(2), write(quarter, 1), wait(3), wipe(whole)},
     {{write(whole)}, {write(whole), wipe(quarter), write(quarter, 1)}}},
    {"AQuarterWrittenOverAPieceAtATime",
     std::vector<Action>{write(whole, 1), wait(2)} + rewrittenPieceByPiece(quarter, 5) +
         std::vector<Action>{wait(3), wipe(whole)},
     {{write(whole, 1)}, std::vector<Action>{write(whole, 1)} + rewrittenPieceByPiece(quarter, 5)}},
    {"WritingElsewhereWhileAPartIsWiped",
     {write(leftHalf), wait(2), wipe(cv::Rect(0, 0, 50, 200)), wait(2),
      write(cv::Rect(250, 0, 100, 100)), wait(2), wipe(whole)},
     {{write(leftHalf)},
      {write(leftHalf), wipe(cv::Rect(0, 0, 50, 200)), write(cv::Rect(250, 0, 100, 100))}}},
    {"AFifthWipedIsACorrectionAfterAWhile",
     full + std::vector<Action>{wipe(fifth), wait(16), write(cv::Rect(300, 0, 100, 60), 1), wait(2),
                                wipe(whole)},
     {{write(whole), wipe(fifth), write(cv::Rect(300, 0, 100, 60), 1)}}},
    {"AFifthWipedThenAllBeforeItCounts",
     full + std::vector<Action>{wipe(fifth), wait(10), wipe(whole)},
     {{write(whole)}}},
    {"ACorrectedWordThenAllWiped",
     full + std::vector<Action>{wipe(word), wait(2), write(word, 1), wait(2), wipe(whole)},
     {{write(whole), wipe(word), write(word, 1)}}},
    {"ALittleInkWiped", {write(cv::Rect(0, 0, 30, 30)), wait(2), wipe(cv::Rect(0, 0, 30, 30))}, {}},
    {"StandingInFrontOfAThird",
     full + std::vector<Action>{stand(thirdInTheMiddle, 20), wait(3), wipe(whole)},
     {{write(whole)}}},
    {"StandingInFrontOfEmptyBoard",
     {write(leftHalf), wait(2), stand(rightHalf, 20), wait(3), wipe(leftHalf)},
     {{write(leftHalf)}}},
    {"StandingAtTheBoardWhenStarted",
     full + std::vector<Action>{restart(), stand(thirdInTheMiddle, 10), wait(3), wipe(whole)},
     {{write(whole)}}},
    {"ReopenedInTheMiddleOfABoardFull",
     {write(leftHalf), wait(2), restart(), wait(3), write(rightHalf), wait(2), wipe(whole)},
     {{write(leftHalf), write(rightHalf)}}},
    {"ReopenedBetweenTwoPasses",
     full + std::vector<Action>{wipe(leftHalf), wait(3), restart(), wait(3), wipe(rightHalf)},
     {{write(whole)}}},
    {"ResetShowingAnEmptyBoard", full + std::vector<Action>{resetDetector(), wait(3)}, {}},
};

INSTANTIATE_TEST_SUITE_P(Scripts, EraseScriptTest, ::testing::ValuesIn(rows_),
                         [](const ::testing::TestParamInfo<Row>& info) {
                             return std::string(info.param.name);
                         });

// Pupils moving low in the picture never let every cell settle: after a while the
// detector starts without those cells, and takes them once they are still.
TEST(EraseDetectorTest, CellsThatNeverSettleAreLeftOutUntilTheyDo) {
    Script script;
    script.run({write(whole), restart()});
    const cv::Rect pupils(0, 180, 400, 20);
    for (int f = 0; f < 31 * 30; ++f) {
        script.step(pupils);
    }
    EXPECT_TRUE(script.detector.isFollowing());
    script.run({wait(3), wipe(whole), wait(2)});
    ASSERT_EQ(script.keys.size(), 1u);
    EXPECT_LE(countOf(inkAfter({write(whole)}), script.keys[0].ink),
              0.03 * cv::countNonZero(inkAfter({write(whole)})));
}

TEST(EraseDetectorTest, APictureOfAnotherSizeIsRefusedWithOneLine) {
    EraseDetector detector;
    detector.reset(cv::Mat::eye(3, 3, CV_64F), boardSize, {cv::Rect(0, 0, 10, 10)}, {0});
    ConsoleCapture console;
    EXPECT_FALSE(detector.update(cv::Mat::zeros(10, 10, CV_8UC3), cv::Mat(), {0}, 0));
    EXPECT_FALSE(detector.update(cv::Mat(), cv::Mat(), {0}, 0));
    EXPECT_FALSE(detector.update(cv::Mat::zeros(boardSize, CV_8UC1), cv::Mat(), {0}, 0));
    const std::string printed = console.take();
    EXPECT_EQ(std::count(printed.begin(), printed.end(), '\n'), 1) << printed;
}

} // namespace
