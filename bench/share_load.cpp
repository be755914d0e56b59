// brisel-share-load: viewers of a shared board on the loopback, as cheap as can be.
// Each viewer opens the page, asks for news twice a second as the page does, and
// fetches the board only when its version moved (with If-None-Match), discarding the
// bytes. Prints one line: viewers, pictures fetched, picture bytes fetched after each
// viewer's first, the update delay (the picture's arrival against the time the board
// changed, both on this machine's clock) median and max in ms, and the client's own
// CPU in cores. Usage: brisel-share-load URL VIEWERS SECONDS
#include <httplib.h>

#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace {

std::int64_t nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct Totals {
    std::mutex lock;
    std::vector<std::int64_t> delays;
    long pictures = 0;
    long bytesAfterFirst = 0;
    int failed = 0;
};

void viewer(const std::string& host, int port, const std::string& key,
            std::chrono::steady_clock::time_point end, Totals& totals) {
    httplib::Client client(host, port);
    client.set_keep_alive(true);
    auto page = client.Get(("/?key=" + key).c_str());
    std::smatch found;
    static const std::regex viewerLine("var viewer = \"([0-9a-f]+)\"");
    if (!page || page->status != 200 || !std::regex_search(page->body, found, viewerLine)) {
        std::lock_guard<std::mutex> guard(totals.lock);
        ++totals.failed;
        return;
    }
    const std::string statePath = "/state?key=" + key + "&viewer=" + found[1].str();
    static const std::regex versionField("\"version\":([0-9]+)");
    std::string shown = "0";
    std::string tag;
    bool first = true;
    while (std::chrono::steady_clock::now() < end) {
        auto state = client.Get(statePath.c_str());
        std::smatch version;
        if (state && state->status == 200 &&
            std::regex_search(state->body, version, versionField) && version[1] != shown) {
            shown = version[1];
            long bytes = 0;
            httplib::Headers headers;
            if (!tag.empty()) {
                headers.emplace("If-None-Match", tag);
            }
            auto picture = client.Get(("/board.jpg?key=" + key + "&v=" + shown).c_str(), headers,
                                      [&](const char*, size_t n) {
                                          bytes += static_cast<long>(n);
                                          return true;
                                      });
            const std::int64_t arrived = nowMs();
            if (picture && picture->status == 200) {
                tag = picture->get_header_value("ETag");
                const std::int64_t changed =
                    std::stoll(picture->get_header_value("X-Board-Changed", 0).empty()
                                   ? "0"
                                   : picture->get_header_value("X-Board-Changed"));
                std::lock_guard<std::mutex> guard(totals.lock);
                ++totals.pictures;
                if (!first) {
                    totals.bytesAfterFirst += bytes;
                    totals.delays.push_back(arrived - changed);
                }
                first = false;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: brisel-share-load URL VIEWERS SECONDS\n");
        return 2;
    }
    static const std::regex address("http://([0-9.]+):([0-9]+)/\\?key=([0-9a-f]+)");
    std::smatch parts;
    const std::string url = argv[1];
    if (!std::regex_match(url, parts, address)) {
        std::fprintf(stderr, "brisel-share-load: not a share address: %s\n", argv[1]);
        return 2;
    }
    const int count = std::atoi(argv[2]);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(std::atoi(argv[3]));
    const auto start = std::chrono::steady_clock::now();
    const double cpu0 = cpuSeconds();
    Totals totals;
    std::vector<std::thread> viewers;
    for (int i = 0; i < count; ++i) {
        viewers.emplace_back(viewer, parts[1].str(), std::stoi(parts[2].str()), parts[3].str(), end,
                             std::ref(totals));
    }
    for (std::thread& t : viewers) {
        t.join();
    }
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::vector<std::int64_t>& d = totals.delays;
    std::sort(d.begin(), d.end());
    const long median = d.empty() ? -1 : static_cast<long>(d[d.size() / 2]);
    const long worst = d.empty() ? -1 : static_cast<long>(d.back());
    std::printf("viewers %d failed %d pictures %ld bytes_after_first %ld delay_median_ms %ld "
                "delay_max_ms %ld client_cores %.3f\n",
                count, totals.failed, totals.pictures, totals.bytesAfterFirst, median, worst,
                (cpuSeconds() - cpu0) / wall);
    return 0;
}
