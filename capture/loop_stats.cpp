#include "loop_stats.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>

std::optional<std::string> DamageReport::lineAndReset() {
    if (inWindow == 0) {
        return std::nullopt;
    }
    std::string text = "camera: " + std::to_string(inWindow) +
                       " damaged frames dropped in the last " + std::to_string(period.count()) +
                       " s";
    inWindow = 0;
    return text;
}

std::optional<std::string> DamageReport::start(Clock::time_point now) {
    auto text = lineAndReset();
    windowStart = now;
    return text;
}

std::optional<std::string> DamageReport::count(Clock::time_point now) {
    auto text = due(now);
    ++inWindow;
    return text;
}

std::optional<std::string> DamageReport::due(Clock::time_point now) {
    if (now - windowStart < period) {
        return std::nullopt;
    }
    // Windows without damage pass without a word.
    windowStart += (now - windowStart) / period * period;
    return lineAndReset();
}

LoopStats::LoopStats(std::function<HandoffCounters()> take) : takeCounters(std::move(take)) {
    QObject::connect(&heartbeat, &QTimer::timeout, [this] { beat(); });
    heartbeat.setTimerType(Qt::PreciseTimer);
    heartbeat.start(heartbeatMs);
    sinceBeat.start();
    sinceReport.start();
    cpuAtReport = std::clock();
}

std::unique_ptr<LoopStats> LoopStats::fromEnvironment(std::function<HandoffCounters()> take) {
    const char* wanted = std::getenv("BRISEL_STATS");
    if (wanted == nullptr || std::strcmp(wanted, "1") != 0) {
        return nullptr;
    }
    return std::make_unique<LoopStats>(std::move(take));
}

void LoopStats::beat() {
    stallMaxMs = std::max(stallMaxMs, sinceBeat.restart() - heartbeatMs);
    const qint64 elapsedMs = sinceReport.elapsed();
    if (elapsedMs < reportMs) {
        return;
    }
    const double seconds = elapsedMs / 1000.0;
    const std::clock_t cpuNow = std::clock();
    const double cores = static_cast<double>(cpuNow - cpuAtReport) / CLOCKS_PER_SEC / seconds;
    const HandoffCounters counters = takeCounters();
    char text[160];
    std::snprintf(text, sizeof text,
                  "stats: fps %.1f cpu %.2f decoded %d dropped %d damaged %d gui_stall_max_ms %lld",
                  frames / seconds, cores, counters.decoded, counters.dropped, counters.damaged,
                  static_cast<long long>(stallMaxMs));
    std::cout << text << std::endl;
    frames = 0;
    stallMaxMs = 0;
    cpuAtReport = cpuNow;
    sinceReport.restart();
}
