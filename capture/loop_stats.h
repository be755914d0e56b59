#pragma once

#include "frame_handoff.h"

#include <QElapsedTimer>
#include <QTimer>

#include <chrono>
#include <ctime>
#include <functional>
#include <optional>
#include <string>

// Counts damaged camera frames in consecutive windows of 5 s from the start of a
// stream, and gives one console line for each window that had damage once it ended.
class DamageReport {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds period{5};

    // A new stream starts new windows; the line of an unfinished window with damage
    // comes now, so nothing counted goes unsaid.
    std::optional<std::string> start(Clock::time_point now);
    // Counts one dropped frame; returns the line of an earlier window when one is due.
    std::optional<std::string> count(Clock::time_point now);
    // The line of the window that ended before `now`, if it had damage.
    std::optional<std::string> due(Clock::time_point now);

private:
    std::optional<std::string> lineAndReset();

    Clock::time_point windowStart{};
    int inWindow = 0;
};

// The statistics line of BRISEL_STATS=1, every five seconds. GUI stalls are measured
// by a heartbeat timer that comes late when the event loop cannot run.
class LoopStats {
public:
    static constexpr int heartbeatMs = 10;
    static constexpr int reportMs = 5000;

    explicit LoopStats(std::function<HandoffCounters()> takeCounters);
    void countFrame() { ++frames; }
    // When BRISEL_STATS is 1, else null.
    static std::unique_ptr<LoopStats> fromEnvironment(std::function<HandoffCounters()> take);

private:
    void beat();

    std::function<HandoffCounters()> takeCounters;
    QTimer heartbeat;
    QElapsedTimer sinceBeat;
    QElapsedTimer sinceReport;
    std::clock_t cpuAtReport = 0;
    int frames = 0;
    qint64 stallMaxMs = 0;
};
