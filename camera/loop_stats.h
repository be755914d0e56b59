#pragma once

#include "frame_handoff.h"

#include <QElapsedTimer>
#include <QTimer>

#include <chrono>
#include <ctime>
#include <functional>
#include <optional>
#include <string>

// Counts damaged camera frames and says so at most once per period.
class DamageReport {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds period{5};

    // Counts one dropped frame; returns the console line when one is due.
    std::optional<std::string> count(Clock::time_point now);

private:
    int sinceLine = 0;
    std::optional<Clock::time_point> lastLine;
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
