#pragma once

// A lesson on the synthetic rig: a presenter fills the board, walks off, walks across,
// stands in front of it, corrects one word, the room's light changes a step, the
// board is wiped left to right in one pass, filled again and wiped in two passes.
// Every frame is rendered on demand from the script; the truth says where each
// board-full was erased and which ink it held just before. OpenCV only.

#include "rig.h"

#include <opencv2/core.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace rig {

struct LessonConfig {
    Board board = Board::White;
    std::uint64_t seed = 1;
    double noise = 1.5; // sensor noise, standard deviation in grey levels
    // Only a few lines written, the presenter walking off, one wipe in one pass.
    bool brief = false;
    // Frames a second of the video; a slower one lets a slow build see every frame.
    int fps = 30;
    // A lesson in real time at `fps`: someone standing at the board from the start and
    // standing still (swaying a little) in front of writing and of empty board, a
    // quarter wiped and written over, a wipe in four strips with pauses. With `brief`:
    // standing at the start and in front of empty board, one board-full wiped in one pass.
    bool realTime = false;
};

// One stretch of the script, frames [begin, end] inclusive.
struct LessonEvent {
    // Reconnect and Rebuild change nothing in the picture: whoever replays the lesson
    // reopens the camera or rebuilds the pipeline at that frame.
    enum Kind { Write, WalkOff, Wipe, WalkAcross, Stand, Correction, Light, Reconnect, Rebuild };
    Kind kind;
    int begin;
    int end;
};

struct Erasure {
    int begin; // first frame showing wiped board
    int end;   // last frame of the last wiping pass
    int passes;
    cv::Mat ink; // the board-full's ink (255) in board picture pixels just before `begin`
};

class Lesson {
public:
    explicit Lesson(const LessonConfig& config);

    const LessonConfig& config() const { return cfg; }
    int frames() const { return total; }
    // Frame i as the camera captures it (3840 x 2160 BGR).
    cv::Mat frame(int i) const;
    // The true straightened board at frame i, without the presenter, in the light of
    // that frame.
    cv::Mat board(int i) const;
    // The presenter's box in board picture pixels (empty when away).
    cv::Rect presenterBox(int i) const;

    const std::vector<LessonEvent>& events() const { return script; }
    const std::vector<Erasure>& erasures() const { return wipes; }

    static std::string kindName(LessonEvent::Kind kind);

private:
    struct Stroke {
        std::vector<cv::Point> points;
        cv::Scalar ink;
        int thickness;
        int writtenAt = 0;
    };
    // A line or a rewritten word, written stroke by stroke.
    struct Item {
        std::vector<Stroke> strokes;
    };
    struct Sweep {
        cv::Rect area; // wiped from left to right
        int begin;
        int end;
    };
    struct Step {
        int x; // presenter box left edge, board pixels; absent when `away`
        bool away;
        int phase; // walking / writing pose
    };

    void drawUpTo(int i, cv::Mat& picture, cv::Mat* ink) const;
    double lightAt(int i) const;
    void addNoise(cv::Mat& picture, int i) const;
    // Script helpers: append frames.
    void walkTo(int x, int speed, LessonEvent::Kind kind, bool record);
    void hold(int frames, bool moving);
    // Standing still, swaying sideways by a few per cent of the presenter's width.
    void sway(int frames);
    void away(int frames);
    // One wiping pass over board columns [from, to) in `frames` frames, the presenter
    // walking there first; returns the pass's first frame.
    int sweep(int from, int to, int frames, int speed);
    // Words of a line from x0 to x1 (the whole board when x1 is 0).
    Item line(int row, int rows, const Palette& pal, cv::RNG& rng, int x0 = 0, int x1 = 0) const;
    void scriptRealTime(const Palette& pal, cv::RNG& rng);
    int framesOf(double seconds) const;

    LessonConfig cfg;
    int total = 0;
    cv::Mat surface;  // the empty board
    cv::Mat smeared;  // the board where chalk was wiped (a lighter smear on dark boards)
    cv::Mat brighter; // sensor noise tile, its positive and negative parts
    cv::Mat darker;
    std::vector<Item> items;
    std::vector<Sweep> sweeps;
    std::vector<Step> steps;
    std::vector<LessonEvent> script;
    std::vector<Erasure> wipes;
    int lightStep = -1;
    int presenterX = 0;
};

// Writes DIR/lesson_<board>.avi (MJPG, 30 fps) and the truth: DIR/truth_lesson_<board>/
// events.txt ("kind begin end" a line), erasures.txt ("begin end passes" a line) and
// ink_N.png, the ink of board-full N just before its erasure. False with a console line
// when a write failed.
bool writeLesson(const std::string& dir, const LessonConfig& config);

} // namespace rig
