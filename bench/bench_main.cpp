// brisel-bench: per-frame cost of the pipeline on the synthetic rig's 4K scenes.
// Prints "name mean_ms p95_ms" per scenario, then the lecture speed-up over a naive
// whole-frame pipeline measured in the same run, and the peak resident memory.
// lesson_white runs the brief real-time rig lesson with and without the erase detector and times
// the detector itself on the still and the presenter frames. With --lesson-memory on|off
// only the lesson runs, through one processor with or without the detector, and the
// peak resident memory is printed: two runs compare the memory the detector takes.
// With --lessons only the real-time lessons run (three colours, two seeds, 30 and 15
// frames a second; --lesson-seeds N, --lesson-fps F and --lesson-board B narrow it;
// the key frames go to DIR/kept/): per lesson the key frames, their
// precision and recall against the board-fulls of the truth, and the ink recall and ink precision
// of the kept boards.

#include "board_calibrator.h"
#include "board_enhancer.h"
#include "calibration_store.h"
#include "erase_detector.h"
#include "frame_processor.h"
#include "lesson.h"
#include "rig.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <iostream>
#include <memory>
#include <numeric>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr int stillFrames = 16;
constexpr int presenterFrames = 24;
constexpr int rebuildRuns = 5;
constexpr int naiveWindow = 75;

struct Timing {
    double mean = 0;
    double p95 = 0;
};

Timing summarise(std::vector<double> ms) {
    Timing t;
    if (ms.empty()) {
        return t;
    }
    t.mean = std::accumulate(ms.begin(), ms.end(), 0.0) / ms.size();
    std::sort(ms.begin(), ms.end());
    t.p95 = ms[std::min(ms.size() - 1, static_cast<size_t>(std::ceil(0.95 * ms.size())) - 1)];
    return t;
}

template <typename F> double millisecondsOf(F&& f) {
    const auto start = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

// Frames of one board's scene on disk, generated on first use and kept for later runs.
class SceneFiles {
public:
    SceneFiles(const fs::path& dir, rig::Board board) : board(board) {
        folder = dir / ("scene_" + rig::boardName(board));
        if (!fs::exists(folder / name(stillFrames + presenterFrames - 1))) {
            std::cerr << "rendering the " << rig::boardName(board) << " scene ..." << std::endl;
            rig::SceneConfig config;
            config.board = board;
            config.frames = stillFrames + presenterFrames;
            config.still = stillFrames;
            config.seed = 1;
            if (!rig::writeScene(dir.string(), config, rig::VideoConfig{})) {
                std::cerr << "could not write the scene" << std::endl;
                std::exit(1);
            }
        }
    }

    cv::Mat frame(int i) const { return cv::imread((folder / name(i)).string(), cv::IMREAD_COLOR); }

    rig::Board board;

private:
    static std::string name(int i) {
        char text[32];
        std::snprintf(text, sizeof(text), "f_%04d.png", i);
        return text;
    }
    fs::path folder;
};

// Runs frames first ... last-1 through the processor, timing those from `timedFrom` on.
std::vector<double> timeFrames(FrameProcessor& processor, const SceneFiles& scene, int first,
                               int last, int timedFrom) {
    std::vector<double> ms;
    for (int i = first; i < last; ++i) {
        const cv::Mat frame = scene.frame(i);
        const double t = millisecondsOf([&] { processor.processFrame(frame); });
        if (i >= timedFrom) {
            ms.push_back(t);
        }
    }
    return ms;
}

// What one would write without cells or motion: the whole frame lens-corrected and
// warped, one detail map over the whole board picture, then compose.
std::vector<double> timeNaive(const SceneFiles& scene, int first, int last) {
    const CalibrationStore& store = CalibrationStore::instance();
    BoardEnhancer enhancer;
    const cv::Size board(store.homographyWidth, store.homographyHeight);
    std::vector<double> ms;
    cv::Mat copy, canvas, live, detail, detail8;
    for (int i = first; i < last; ++i) {
        const cv::Mat frame = scene.frame(i);
        ms.push_back(millisecondsOf([&] {
            frame.copyTo(copy);
            cv::remap(copy, canvas, store.map1, store.map2, cv::INTER_LINEAR, cv::BORDER_CONSTANT);
            cv::warpPerspective(canvas, live, store.homography, board, cv::INTER_LINEAR,
                                cv::BORDER_CONSTANT);
            enhancer.detailMapWithWindow(live, naiveWindow).convertTo(detail8, CV_8U);
            enhancer.compose(live, detail8, 0, true, 0.5, 4.0, -81, 70, 1, cv::Mat());
        }));
    }
    return ms;
}

void print(const std::string& name, const Timing& t) {
    std::printf("%s %.2f %.2f\n", name.c_str(), t.mean, t.p95);
    std::fflush(stdout);
}

// The frame at its time on the camera's clock, and the camera opened again, as the
// application does.
void processFrameAt(FrameProcessor& processor, const cv::Mat& frame, double seconds) {
    processor.setFrameTime(seconds);
    processor.processFrame(frame);
}

void reopenCamera(FrameProcessor& processor) {
    processor.restartEraseDetection();
}

// A new processor per scenario, as after a start: its first detection sees no motion.
std::unique_ptr<FrameProcessor> freshProcessor(rig::Board board) {
    auto processor = std::make_unique<FrameProcessor>();
    processor->setBoardColor(static_cast<int>(board));
    processor->requestRebuild();
    return processor;
}

struct LessonTimings {
    std::vector<double> with;
    std::vector<double> without;
    std::vector<double> detectorStill;
    std::vector<double> detectorPresenter;
    int keyFrames = 0;
};

// The lesson's frames through two processors, one looking for erasures and one not;
// a detector of the bench's own follows the second, so its cost is timed alone.
LessonTimings timeLesson(const rig::Lesson& lesson) {
    LessonTimings t;
    auto with = freshProcessor(rig::Board::White);
    auto without = freshProcessor(rig::Board::White);
    without->setEraseDetection(false);
    const CalibrationStore& store = CalibrationStore::instance();
    EraseDetector detector;
    detector.reset(store.homography, cv::Size(store.homographyWidth, store.homographyHeight),
                   store.canvasCells, store.boardGrids);
    for (int i = 0; i < lesson.frames(); ++i) {
        const cv::Mat frame = lesson.frame(i);
        const double seconds = static_cast<double>(i) / lesson.config().fps;
        t.with.push_back(millisecondsOf([&] { processFrameAt(*with, frame, seconds); }));
        t.keyFrames += with->hasKeyFrame() ? 1 : 0;
        t.without.push_back(millisecondsOf([&] { processFrameAt(*without, frame, seconds); }));
        const double ms = millisecondsOf([&] {
            if (const std::vector<int>* moving = without->measuredMotion()) {
                detector.noteMotion(*moving, without->lastFrameTime());
            }
            detector.update(without->perspectiveStage().detailWarp(), cv::Mat(),
                            without->refreshedCells(), without->lastFrameTime());
        });
        // Frame 0 sets the detector up; the rest are the steady cost.
        if (i > 0) {
            (lesson.presenterBox(i).area() > 0 ? t.detectorPresenter : t.detectorStill)
                .push_back(ms);
        }
    }
    return t;
}

long peakRssMb() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024;
}

// The brief real-time lesson (someone at the board from the start, one board-full
// wiped in one pass): the detector starts only on a board still for seconds, which a
// time-compressed lesson never is.
rig::LessonConfig timedLesson() {
    rig::LessonConfig config{rig::Board::White, 1, 1.5, true, 10};
    config.realTime = true;
    return config;
}

// Only the lesson, through one processor: the peak memory with or without the detector.
void lessonMemory(bool detect) {
    auto processor = freshProcessor(rig::Board::White);
    processor->setEraseDetection(detect);
    const rig::Lesson lesson(timedLesson());
    for (int i = 0; i < lesson.frames(); ++i) {
        processFrameAt(*processor, lesson.frame(i), static_cast<double>(i) / lesson.config().fps);
    }
}

// How far a kept stroke may lie from the truth's: the pipeline's picture of a stroke
// sits a pixel or two off after the lens and the warp, and its detail is wider.
constexpr int inkReach = 3;
constexpr int outlineReach = 8;
// A key frame shows a board-full when it holds at least this share of its ink and
// this share of what it holds is that ink.
constexpr double showsShare = 0.5;

struct LessonScore {
    int keyFrames = 0;
    int boardFulls = 0;
    int right = 0;                  // key frames that are the first to show their board-full
    double inkRecall = 0;           // mean over the board-fulls, 0 for one not kept
    double worstInkPrecision = 1.0; // over the key frames
};

// The lesson through the pipeline as a camera at its frame rate delivers it; each key
// frame belongs to the board-full whose wiping began last before it was yielded.
// With `keptDir` the key frames are written as KEPTDIR_key_N.jpg, to be looked at.
LessonScore scoreLesson(const rig::Lesson& lesson, rig::Board board, std::ostringstream& discard,
                        const std::string& keptDir) {
    auto processor = freshProcessor(board);
    const std::vector<rig::Erasure>& erasures = lesson.erasures();
    std::vector<double> recallOf(erasures.size(), 0.0);
    std::vector<bool> kept(erasures.size(), false);
    LessonScore score;
    score.boardFulls = static_cast<int>(erasures.size());
    for (int i = 0; i < lesson.frames(); ++i) {
        for (const rig::LessonEvent& e : lesson.events()) {
            if (e.begin == i && e.kind == rig::LessonEvent::Rebuild) {
                processor->requestRebuild();
            } else if (e.begin == i && e.kind == rig::LessonEvent::Reconnect) {
                reopenCamera(*processor);
            }
        }
        processFrameAt(*processor, lesson.frame(i), static_cast<double>(i) / lesson.config().fps);
        discard.str("");
        if (!processor->hasKeyFrame()) {
            continue;
        }
        ++score.keyFrames;
        cv::Mat ink;
        EraseDetector::inkMask(processor->eraseDetector().keptDetail(), ink);
        int e = -1;
        for (size_t n = 0; n < erasures.size(); ++n) {
            e = erasures[n].begin <= i ? static_cast<int>(n) : e;
        }
        if (e < 0) {
            std::cerr << "  key frame at frame " << i << " before any wipe" << std::endl;
            score.worstInkPrecision = 0;
            continue;
        }
        const double recall = rig::shareNear(erasures[e].ink, ink, inkReach);
        const double precision = rig::shareNear(ink, erasures[e].ink, outlineReach);
        std::cerr << "  key frame at frame " << i << " showing frame "
                  << processor->eraseDetector().keptFrame() << ": board-full " << e
                  << ", ink recall " << recall << ", ink precision " << precision << std::endl;
        if (!keptDir.empty()) {
            cv::imwrite(keptDir + "_key_" + std::to_string(score.keyFrames) + ".jpg",
                        processor->renderKeyFrame());
        }
        score.worstInkPrecision = std::min(score.worstInkPrecision, precision);
        if (!kept[e] && recall >= showsShare && precision >= showsShare) {
            kept[e] = true;
            recallOf[e] = recall;
            ++score.right;
        }
    }
    for (double r : recallOf) {
        score.inkRecall += r / std::max<size_t>(1, recallOf.size());
    }
    return score;
}

// The whole matrix takes hours on a small machine: `seeds` and `rates` narrow it.
void benchLessons(std::ostringstream& discard, std::streambuf* console, int seeds,
                  const std::vector<int>& rates, const std::vector<rig::Board>& boards,
                  const fs::path& dir) {
    std::vector<std::pair<std::string, LessonScore>> scores;
    fs::create_directories(dir / "kept");
    for (rig::Board board : boards) {
        for (std::uint64_t seed = 1; seed <= static_cast<std::uint64_t>(seeds); ++seed) {
            for (int fps : rates) {
                rig::LessonConfig config{board, seed, 1.5};
                config.fps = fps;
                config.realTime = true;
                const rig::Lesson lesson(config);
                const std::string name = "lesson_" + rig::boardName(board) + "_seed" +
                                         std::to_string(seed) + "_" + std::to_string(fps) + "fps";
                std::cerr << "running " << name << " (" << lesson.frames() << " frames) ..."
                          << std::endl;
                scores.emplace_back(
                    name, scoreLesson(lesson, board, discard, (dir / "kept" / name).string()));
            }
        }
    }
    std::cout.rdbuf(console);
    std::printf("lesson key_frames board_fulls precision recall ink_recall worst_ink_precision\n");
    for (const auto& [name, s] : scores) {
        std::printf("%s %d %d %.2f %.2f %.3f %.3f\n", name.c_str(), s.keyFrames, s.boardFulls,
                    s.keyFrames > 0 ? static_cast<double>(s.right) / s.keyFrames : 1.0,
                    static_cast<double>(s.right) / std::max(1, s.boardFulls), s.inkRecall,
                    s.worstInkPrecision);
    }
}

bool prepareCalibration(const fs::path& dir, const SceneFiles& white) {
    fs::current_path(dir);
    return rig::calibrateAtTrueCorners(white.frame(0));
}

} // namespace

int main(int argc, char** argv) {
    fs::path dir = fs::temp_directory_path() / "brisel-bench-rig";
    std::string memoryRun;
    bool lessons = false;
    int lessonSeeds = 2;
    std::vector<int> lessonRates{30, 15};
    std::vector<rig::Board> lessonBoards{rig::Board::White, rig::Board::Black, rig::Board::Green};
    for (int i = 1; i < argc; ++i) {
        lessons = lessons || std::string(argv[i]) == "--lessons";
    }
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::string(argv[i]) == "--lesson-seeds") {
            lessonSeeds = std::clamp(std::atoi(argv[i + 1]), 1, 10);
        } else if (std::string(argv[i]) == "--lesson-board") {
            rig::Board board = rig::Board::White;
            if (rig::parseBoard(argv[i + 1], board)) {
                lessonBoards = {board};
            }
        } else if (std::string(argv[i]) == "--lesson-fps") {
            lessonRates = {std::clamp(std::atoi(argv[i + 1]), 1, 60)};
        }
    }
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::string(argv[i]) == "--rig") {
            dir = fs::absolute(argv[i + 1]);
        } else if (std::string(argv[i]) == "--lesson-memory") {
            memoryRun = argv[i + 1];
        }
    }
    fs::create_directories(dir);
    if (!rig::writeCalibData(dir.string())) {
        std::cerr << "could not write the rig's calib_data into " << dir << std::endl;
        return 1;
    }
    const SceneFiles white(dir, rig::Board::White);
    const SceneFiles black(dir, rig::Board::Black);
    const SceneFiles green(dir, rig::Board::Green);
    // The pipeline's console lines are dropped; the table goes to standard output.
    std::cout.flush();
    std::ostringstream discard;
    std::streambuf* console = std::cout.rdbuf(discard.rdbuf());
    if (!prepareCalibration(dir, white)) {
        std::cout.rdbuf(console);
        std::cerr << "could not calibrate the rig in " << dir << std::endl;
        return 1;
    }

    if (lessons) {
        benchLessons(discard, console, lessonSeeds, lessonRates, lessonBoards, dir);
        return 0;
    }
    if (!memoryRun.empty()) {
        lessonMemory(memoryRun == "on");
        std::cout.rdbuf(console);
        std::printf("lesson_white_detector_%s peak_rss_mb %ld\n", memoryRun == "on" ? "on" : "off",
                    peakRssMb());
        return 0;
    }
    const int end = stillFrames + presenterFrames;
    std::vector<std::pair<std::string, Timing>> rows;
    for (const SceneFiles* scene : {&white, &black, &green}) {
        auto processor = freshProcessor(scene->board);
        // Frame 0 rebuilds and frame 1 may still consume its marks.
        rows.emplace_back("still_" + rig::boardName(scene->board),
                          summarise(timeFrames(*processor, *scene, 0, stillFrames, 2)));
        discard.str("");
    }
    for (const SceneFiles* scene : {&white, &black}) {
        auto processor = freshProcessor(scene->board);
        timeFrames(*processor, *scene, stillFrames - 4, stillFrames, end);
        rows.emplace_back("presenter_" + rig::boardName(scene->board),
                          summarise(timeFrames(*processor, *scene, stillFrames, end, 0)));
        discard.str("");
    }
    {
        auto processor = freshProcessor(rig::Board::White);
        std::vector<double> ms;
        const cv::Mat frame = white.frame(0);
        for (int run = 0; run < rebuildRuns; ++run) {
            processor->requestRebuild();
            ms.push_back(millisecondsOf([&] { processor->processFrame(frame); }));
        }
        rows.emplace_back("rebuild_white", summarise(ms));
    }
    const Timing lecture =
        summarise(timeFrames(*freshProcessor(rig::Board::White), white, 0, end, 1));
    rows.emplace_back("lecture_white", lecture);
    const Timing naive = summarise(timeNaive(white, 1, end));
    rows.emplace_back("naive_lecture_white", naive);
    discard.str("");
    std::cerr << "running the white lesson ..." << std::endl;
    const rig::Lesson lesson(timedLesson());
    const LessonTimings lessonTimes = timeLesson(lesson);
    discard.str("");
    rows.emplace_back("lesson_white", summarise(lessonTimes.with));
    rows.emplace_back("lesson_white_without_detector", summarise(lessonTimes.without));
    rows.emplace_back("erase_detector_still", summarise(lessonTimes.detectorStill));
    rows.emplace_back("erase_detector_presenter", summarise(lessonTimes.detectorPresenter));

    std::cout.rdbuf(console);
    for (const auto& [name, timing] : rows) {
        print(name, timing);
    }
    std::printf("speedup_lecture %.1f\n", naive.mean / lecture.mean);
    std::printf("lesson_white_key_frames %d\n", lessonTimes.keyFrames);
    std::printf("peak_rss_mb %ld\n", peakRssMb());
    return 0;
}
