#include "lesson.h"

#include "lens_maps.h"
#include "mjpeg_avi.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>

namespace rig {

namespace {

constexpr int firstRows = 8;
constexpr int secondRows = 5;
constexpr int briefRows = 4;
constexpr int walkSpeed = 110; // board pixels a frame
// Ink appears beside the presenter, never out of reach: the hand is this far left of
// the presenter's box.
constexpr int handReach = 40;
constexpr int quiet = 8;
constexpr int standFrames = 36;
// A correction taken as the board must stay for this long before the next wipe.
constexpr int settleAfterCorrection = 60;
constexpr int sweepFrames = 24;
constexpr int presenterWidth = 360;
constexpr int offLeft = -presenterWidth - 100;
constexpr double dimmed = 0.9;
// A wiped dark board keeps a lighter smear of chalk dust.
constexpr double smearLow = 10;
constexpr double smearHigh = 26;
constexpr int grainTile = 256;
// Real time: people sway by a few per cent of their width over a couple of seconds,
// walk about 500 board pixels a second and write a short word in about a second.
constexpr double swayShare = 0.03;
constexpr double swaySeconds = 2.5;
constexpr double walkPerSecond = 500;
constexpr double wordSeconds = 1.0;

std::uint64_t mix(std::uint64_t seed, int board, std::uint64_t salt) {
    return seed * 6364136223846793005ULL +
           static_cast<std::uint64_t>(board) * 1442695040888963407ULL + salt;
}

} // namespace

std::string Lesson::kindName(LessonEvent::Kind kind) {
    switch (kind) {
    case LessonEvent::Write:
        return "write";
    case LessonEvent::WalkOff:
        return "walk off";
    case LessonEvent::Wipe:
        return "wipe";
    case LessonEvent::WalkAcross:
        return "walk across";
    case LessonEvent::Stand:
        return "stand";
    case LessonEvent::Correction:
        return "correction";
    case LessonEvent::Reconnect:
        return "reconnect";
    case LessonEvent::Rebuild:
        return "rebuild";
    case LessonEvent::Light:
    default:
        return "light";
    }
}

Lesson::Item Lesson::line(int row, int rows, const Palette& pal, cv::RNG& rng, int x0,
                          int x1) const {
    const int w = x1 > x0 ? x1 - x0 : surface.cols;
    const int h = surface.rows;
    const int widths[] = {3, 5, 8};
    Item item;
    const int y = 120 + row * (h - 260) / std::max(rows - 1, 1);
    int x = x0 + 80 + rng.uniform(0, std::max(1, w / 16));
    const int end = x0 + w - 120 - rng.uniform(0, std::max(1, w / 5));
    const cv::Scalar ink = pal.inks[static_cast<size_t>(row) % pal.inks.size()];
    const int thick = widths[rng.uniform(0, 3)];
    while (x < end) {
        const int wordLength = std::min(rng.uniform(60, 220), end - x + 60);
        Stroke stroke{{}, ink, thick, 0};
        const double freq = rng.uniform(0.05, 0.12);
        const double amp = rng.uniform(10.0, 28.0);
        const double phase = rng.uniform(0.0, 6.28);
        for (int t = 0; t <= wordLength; t += 4) {
            stroke.points.emplace_back(x + t,
                                       y + static_cast<int>(amp * std::sin(freq * t + phase) +
                                                            0.4 * amp * std::sin(0.31 * t)));
        }
        item.strokes.push_back(std::move(stroke));
        x += wordLength + rng.uniform(30, 70);
    }
    return item;
}

void Lesson::walkTo(int x, int speed, LessonEvent::Kind kind, bool record) {
    const int begin = total;
    while (presenterX != x) {
        const int step = std::clamp(x - presenterX, -speed, speed);
        presenterX += step;
        steps.push_back({presenterX, false, total});
        ++total;
    }
    if (record && total > begin) {
        script.push_back({kind, begin, total - 1});
    }
}

void Lesson::hold(int frames, bool moving) {
    const int phase = total;
    for (int i = 0; i < frames; ++i) {
        steps.push_back({presenterX, false, moving ? total : phase});
        ++total;
    }
}

void Lesson::sway(int frames) {
    const double amplitude = presenterWidth * swayShare;
    for (int i = 0; i < frames; ++i) {
        const double t = static_cast<double>(i) / cfg.fps;
        const int offset =
            static_cast<int>(std::lround(amplitude * std::sin(6.2832 * t / swaySeconds)));
        steps.push_back({presenterX + offset, false, 0});
        ++total;
    }
}

int Lesson::framesOf(double seconds) const {
    return std::max(1, static_cast<int>(std::lround(seconds * cfg.fps)));
}

void Lesson::away(int frames) {
    for (int i = 0; i < frames; ++i) {
        steps.push_back({0, true, 0});
        ++total;
    }
}

int Lesson::sweep(int from, int to, int frames, int speed) {
    walkTo(from - 260, speed, LessonEvent::Wipe, false);
    const int begin = total;
    for (int f = 0; f < frames; ++f) {
        const int front = from + (to - from) * (f + 1) / frames;
        presenterX = front - 260;
        steps.push_back({presenterX, false, total});
        ++total;
    }
    sweeps.push_back({cv::Rect(from, 0, to - from, boardPictureHeight()), begin, total - 1});
    script.push_back({LessonEvent::Wipe, begin, total - 1});
    return begin;
}

Lesson::Lesson(const LessonConfig& config) : cfg(config) {
    const Palette pal = palette(cfg.board);
    const int w = boardPictureWidth;
    const int h = boardPictureHeight();
    const int boardCode = static_cast<int>(cfg.board);
    // The surface: the board colour with a faint, smooth unevenness.
    {
        cv::RNG rng(mix(cfg.seed, boardCode, 11));
        cv::Mat uneven(9, 14, CV_32FC1);
        rng.fill(uneven, cv::RNG::UNIFORM, -6.0, 6.0);
        cv::resize(uneven, uneven, cv::Size(w, h), 0, 0, cv::INTER_CUBIC);
        cv::Mat level(h, w, CV_32FC3, pal.surface);
        cv::Mat uneven3;
        cv::merge(std::vector<cv::Mat>{uneven, uneven, uneven}, uneven3);
        level += uneven3;
        level.convertTo(surface, CV_8UC3);
        if (cfg.board == Board::White) {
            smeared = surface;
        } else {
            cv::Mat smear(6, 10, CV_32FC1);
            rng.fill(smear, cv::RNG::UNIFORM, smearLow, smearHigh);
            cv::resize(smear, smear, cv::Size(w, h), 0, 0, cv::INTER_CUBIC);
            cv::merge(std::vector<cv::Mat>{smear, smear, smear}, uneven3);
            level += uneven3;
            level.convertTo(smeared, CV_8UC3);
        }
    }
    if (cfg.noise > 0.0) {
        cv::RNG grainRng(mix(cfg.seed, boardCode, 37));
        cv::Mat tile(2 * grainTile, 2 * grainTile, CV_32FC3);
        grainRng.fill(tile, cv::RNG::NORMAL, 0.0, cfg.noise);
        tile.convertTo(brighter, CV_8UC3);
        cv::Mat negative = -tile;
        negative.convertTo(darker, CV_8UC3);
    }
    cv::RNG rng(mix(cfg.seed, boardCode, 23));
    // A line is written word by word: the presenter walks back to its beginning, then
    // along it, and each word appears as the hand reaches the word's end.
    const auto writeBoard = [&](int rows) {
        const int first = static_cast<int>(items.size());
        for (int row = 0; row < rows; ++row) {
            Item item = line(row, rows, pal, rng);
            walkTo(item.strokes.front().points.front().x + handReach, walkSpeed, LessonEvent::Write,
                   false);
            const int begin = total;
            for (Stroke& stroke : item.strokes) {
                const int walked = total;
                walkTo(std::min(stroke.points.back().x + handReach, w - 40), walkSpeed,
                       LessonEvent::Write, false);
                if (total == walked) {
                    hold(1, true);
                }
                stroke.writtenAt = total - 1;
            }
            items.push_back(std::move(item));
            script.push_back({LessonEvent::Write, begin, total - 1});
        }
        return first;
    };
    const auto walkOffRight = [&] {
        walkTo(w + 100, walkSpeed, LessonEvent::WalkOff, true);
        away(quiet);
    };
    const auto sweepFromOffLeft = [&](int from, int to) {
        presenterX = offLeft;
        return sweep(from, to, sweepFrames, walkSpeed);
    };

    if (!cfg.realTime) {
        away(6);
        presenterX = offLeft;
    }
    if (cfg.realTime) {
        scriptRealTime(pal, rng);
    } else if (cfg.brief) {
        writeBoard(briefRows);
        walkOffRight();
        Erasure only{sweepFromOffLeft(0, w), 0, 1, cv::Mat()};
        only.end = total - 1;
        walkOffRight();
        wipes.push_back(only);
    } else {
        const int firstBoard = writeBoard(firstRows);
        walkOffRight();
        // Across the room, right to left, never touching the board.
        walkTo(offLeft, walkSpeed, LessonEvent::WalkAcross, true);
        away(quiet);
        // Standing still in front of the board for a while.
        walkTo(w / 3 + rng.uniform(0, w / 4), walkSpeed, LessonEvent::Stand, false);
        {
            const int begin = total;
            hold(standFrames, false);
            script.push_back({LessonEvent::Stand, begin, total - 1});
        }
        walkTo(offLeft, walkSpeed, LessonEvent::WalkOff, true);
        away(quiet);
        // A small correction: one word wiped and written again, differently.
        {
            const Item& target = items[static_cast<size_t>(firstBoard + firstRows / 2)];
            const Stroke& word = target.strokes[std::min<size_t>(1, target.strokes.size() - 1)];
            cv::Rect area = cv::boundingRect(word.points);
            area -= cv::Point(word.thickness + 4, word.thickness + 4);
            area += cv::Size(2 * word.thickness + 8, 2 * word.thickness + 8);
            walkTo(std::min(area.br().x + handReach, w - 40), walkSpeed, LessonEvent::Correction,
                   false);
            const int begin = total;
            hold(2, true);
            sweeps.push_back({area, begin, begin});
            Item rewrite{{word}};
            for (cv::Point& p : rewrite.strokes[0].points) {
                p.y = area.y + area.height - 1 - (p.y - area.y); // the word upside down
            }
            hold(2, true);
            rewrite.strokes[0].writtenAt = total - 1;
            items.push_back(std::move(rewrite));
            script.push_back({LessonEvent::Correction, begin, total - 1});
            walkOffRight();
        }
        // The room's light dims a step.
        lightStep = total;
        script.push_back({LessonEvent::Light, total, total});
        away(settleAfterCorrection);

        // The first board-full, wiped in one pass.
        Erasure first{sweepFromOffLeft(0, w), 0, 1, cv::Mat()};
        first.end = total - 1;
        walkOffRight();
        wipes.push_back(first);

        // The second board-full, wiped in two passes.
        presenterX = offLeft;
        writeBoard(secondRows);
        walkOffRight();
        Erasure second{sweepFromOffLeft(0, w / 2), 0, 2, cv::Mat()};
        walkTo(offLeft, walkSpeed, LessonEvent::WalkOff, true);
        away(quiet + 4);
        sweepFromOffLeft(w / 2, w);
        second.end = total - 1;
        walkOffRight();
        wipes.push_back(second);
    }

    for (Erasure& e : wipes) {
        cv::Mat picture;
        drawUpTo(e.begin - 1, picture, &e.ink);
    }
}

void Lesson::scriptRealTime(const Palette& pal, cv::RNG& rng) {
    const int w = boardPictureWidth;
    const int speed = std::max(1, static_cast<int>(walkPerSecond / cfg.fps));
    // Each word appears after a second of writing with the hand at it.
    // Rows [first, first + count) of a board of `rows` rows, between x0 and x1.
    const auto writeLines = [&](int rows, int x0, int x1, int first = 0, int count = 0) {
        for (int row = first; row < first + (count > 0 ? count : rows); ++row) {
            Item item = line(row, rows, pal, rng, x0, x1);
            walkTo(item.strokes.front().points.front().x + handReach, speed, LessonEvent::Write,
                   false);
            const int begin = total;
            for (Stroke& stroke : item.strokes) {
                walkTo(std::min(stroke.points.front().x + handReach, w - 40), speed,
                       LessonEvent::Write, false);
                hold(framesOf(wordSeconds), true);
                walkTo(std::min(stroke.points.back().x + handReach, w - 40), speed,
                       LessonEvent::Write, false);
                stroke.writtenAt = total - 1;
            }
            items.push_back(std::move(item));
            script.push_back({LessonEvent::Write, begin, total - 1});
        }
    };
    const auto standStill = [&](int x, double seconds) {
        walkTo(x, speed, LessonEvent::Stand, false);
        const int begin = total;
        sway(framesOf(seconds));
        script.push_back({LessonEvent::Stand, begin, total - 1});
    };
    const auto walkOff = [&](double quietSeconds) {
        walkTo(w + 100, speed, LessonEvent::WalkOff, true);
        away(framesOf(quietSeconds));
    };
    const auto sweepFor = [&](int from, int to, double seconds) {
        return sweep(from, to, framesOf(seconds), speed);
    };
    const auto mark = [&](LessonEvent::Kind kind) { script.push_back({kind, total, total}); };

    // Someone already at the board when the camera starts, in front of empty board.
    presenterX = w / 3 + rng.uniform(0, w / 4);
    {
        const int begin = total;
        sway(framesOf(5));
        script.push_back({LessonEvent::Stand, begin, total - 1});
    }
    if (cfg.brief) {
        writeLines(2, 0, w);
        walkOff(1);
        standStill(w / 2 + rng.uniform(0, w / 4), 6);
        walkOff(2);
        presenterX = offLeft;
        Erasure only{sweepFor(0, w, 3), 0, 1, cv::Mat()};
        only.end = total - 1;
        walkOff(3);
        wipes.push_back(only);
        return;
    }
    // The first board-full; someone stands in front of it a while, the camera is
    // reopened and the pipeline rebuilt in the middle of it.
    writeLines(2, 0, w, 0, 1);
    mark(LessonEvent::Reconnect);
    writeLines(2, 0, w, 1, 1);
    standStill(w / 3 + rng.uniform(0, w / 3), 5);
    walkOff(1);
    mark(LessonEvent::Rebuild);
    away(framesOf(3));
    // A quarter wiped and written over: the first board-full is gone for good.
    presenterX = offLeft;
    Erasure first{sweepFor(0, w / 4, 2), 0, 1, cv::Mat()};
    first.end = total - 1;
    wipes.push_back(first);
    writeLines(3, 0, w / 4, 0, 2);
    walkOff(4);
    // The second board-full (three quarters old, one new) wiped in one pass.
    presenterX = offLeft;
    Erasure second{sweepFor(0, w, 4), 0, 1, cv::Mat()};
    second.end = total - 1;
    walkOff(2);
    wipes.push_back(second);
    // The third, with someone standing in front of empty board, wiped in four strips
    // with pauses.
    presenterX = offLeft;
    writeLines(2, 0, w * 3 / 4);
    standStill(w * 3 / 4, 5);
    walkOff(2);
    presenterX = offLeft;
    Erasure third{0, 0, 4, cv::Mat()};
    for (int strip = 0; strip < 4; ++strip) {
        const int begin = sweepFor(w * strip / 4, w * (strip + 1) / 4, 1.5);
        if (strip == 0) {
            third.begin = begin;
        }
        if (strip < 3) {
            sway(framesOf(3 + 5.0 * rng.uniform(0.0, 1.0)));
        }
    }
    third.end = total - 1;
    walkOff(3);
    wipes.push_back(third);
}

// The board at frame i: strokes written so far, minus what was wiped, in order.
void Lesson::drawUpTo(int i, cv::Mat& picture, cv::Mat* ink) const {
    surface.copyTo(picture);
    if (ink) {
        ink->create(surface.size(), CV_8UC1);
        ink->setTo(cv::Scalar::all(0));
    }
    struct Action {
        int frame;
        const Stroke* stroke;
        const Sweep* sweep;
    };
    std::vector<Action> actions;
    for (const Item& item : items) {
        for (const Stroke& stroke : item.strokes) {
            if (stroke.writtenAt <= i) {
                actions.push_back({stroke.writtenAt, &stroke, nullptr});
            }
        }
    }
    for (const Sweep& s : sweeps) {
        if (s.begin <= i) {
            actions.push_back({s.begin, nullptr, &s});
        }
    }
    std::stable_sort(actions.begin(), actions.end(),
                     [](const Action& a, const Action& b) { return a.frame < b.frame; });
    for (const Action& a : actions) {
        if (a.stroke) {
            const Stroke& s = *a.stroke;
            cv::polylines(picture, s.points, false, s.ink, s.thickness, cv::LINE_AA);
            if (ink) {
                cv::polylines(*ink, s.points, false, cv::Scalar(255), s.thickness, cv::LINE_8);
            }
            continue;
        }
        const Sweep& s = *a.sweep;
        const int span = s.end - s.begin + 1;
        const int done = std::min(i - s.begin + 1, span);
        cv::Rect wiped(s.area.x, s.area.y, s.area.width * done / span, s.area.height);
        wiped &= cv::Rect(cv::Point(), picture.size());
        smeared(wiped).copyTo(picture(wiped));
        if (ink) {
            (*ink)(wiped).setTo(cv::Scalar::all(0));
        }
    }
}

double Lesson::lightAt(int i) const {
    return lightStep >= 0 && i >= lightStep ? dimmed : 1.0;
}

cv::Mat Lesson::board(int i) const {
    cv::Mat picture;
    drawUpTo(i, picture, nullptr);
    if (lightAt(i) != 1.0) {
        picture.convertTo(picture, -1, lightAt(i));
    }
    return picture;
}

cv::Rect Lesson::presenterBox(int i) const {
    if (i < 0 || i >= total || steps[static_cast<size_t>(i)].away) {
        return cv::Rect();
    }
    const int h = boardPictureHeight();
    const int height = h * 9 / 10 + Scene::planeMargin / 2;
    return cv::Rect(steps[static_cast<size_t>(i)].x, h - height + Scene::planeMargin / 2 + 40,
                    presenterWidth, height);
}

cv::Mat Lesson::frame(int i) const {
    cv::Mat picture;
    drawUpTo(i, picture, nullptr);
    cv::Mat plane = planeAround(picture);
    const cv::Rect box = presenterBox(i);
    if (box.area() > 0) {
        drawPresenter(plane, box + cv::Point(Scene::planeMargin, Scene::planeMargin),
                      steps[static_cast<size_t>(i)].phase, cfg.seed);
    }
    if (lightAt(i) != 1.0) {
        plane.convertTo(plane, -1, lightAt(i));
    }
    cv::Mat out = imagePlane(plane, 0.0, 0);
    addNoise(out, i);
    return out;
}

// Drawing fresh normal noise for every 4K frame would cost more than the rest of the
// rendering: each block of a frame takes its noise from a seeded tile at an offset of
// its own, added and subtracted in 8 bits.
void Lesson::addNoise(cv::Mat& picture, int i) const {
    if (brighter.empty()) {
        return;
    }
    cv::RNG rng(mix(cfg.seed, static_cast<int>(cfg.board), 1000003) +
                static_cast<std::uint64_t>(i) * 7);
    for (int y = 0; y < picture.rows; y += grainTile) {
        for (int x = 0; x < picture.cols; x += grainTile) {
            const cv::Rect block(x, y, std::min(grainTile, picture.cols - x),
                                 std::min(grainTile, picture.rows - y));
            const cv::Rect from(cv::Point(rng.uniform(0, grainTile), rng.uniform(0, grainTile)),
                                block.size());
            cv::Mat target = picture(block);
            cv::add(target, brighter(from), target);
            cv::subtract(target, darker(from), target);
        }
    }
}

bool writeLesson(const std::string& dir, const LessonConfig& config) {
    const std::string name = boardName(config.board);
    const std::string video = dir + "/lesson_" + name + ".avi";
    const std::string truthDir = dir + "/truth_lesson_" + name;
    std::error_code ec;
    std::filesystem::create_directories(truthDir, ec);
    if (ec) {
        std::cout << "cannot create " << truthDir << std::endl;
        return false;
    }
    const Lesson lesson(config);
    std::ofstream events(truthDir + "/events.txt");
    for (const LessonEvent& e : lesson.events()) {
        events << Lesson::kindName(e.kind) << " " << e.begin << " " << e.end << "\n";
    }
    std::ofstream erasures(truthDir + "/erasures.txt");
    for (size_t n = 0; n < lesson.erasures().size(); ++n) {
        const Erasure& e = lesson.erasures()[n];
        erasures << e.begin << " " << e.end << " " << e.passes << "\n";
        const std::string ink = truthDir + "/ink_" + std::to_string(n) + ".png";
        if (!cv::imwrite(ink, e.ink)) {
            std::cout << "cannot write " << ink << std::endl;
            return false;
        }
    }
    if (!events || !erasures) {
        std::cout << "cannot write the truth in " << truthDir << std::endl;
        return false;
    }
    // A lesson is long: as a video, like a recording, not as single pictures, and
    // encoded like a camera's frames.
    CameraJpegEncoder encoder;
    MjpegAviWriter writer;
    if (!writer.open(video, cv::Size(lens_maps::fullFrameWidth, lens_maps::fullFrameHeight),
                     config.fps)) {
        return false;
    }
    std::vector<uchar> jpeg;
    for (int i = 0; i < lesson.frames(); ++i) {
        if (!encoder.encode(lesson.frame(i), jpeg) || !writer.write(jpeg)) {
            return false;
        }
    }
    return writer.close();
}

} // namespace rig
