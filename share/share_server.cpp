#include "share_server.h"

#include "board_enhancer.h"

#include <httplib.h>
#include <turbojpeg.h>

#include <QDate>
#include <QRandomGenerator>

#include <chrono>
#include <cstring>
#include <iostream>
#include <map>
#include <mutex>

namespace {

constexpr int jpegQuality = 85;
constexpr char forbiddenPage[] = "<!doctype html><title>403</title>";
constexpr char tooManyPage[] =
    "<!doctype html><meta name=viewport content=\"width=device-width\"><title>Brisel</title>"
    "<p>Too many viewers: please look at the classroom screen.</p>";

// What the picture is made from, in 64 bits: keeping the last source to compare with
// would hold another copy of the board.
std::uint64_t fingerprint(const BoardSource& source) {
    std::uint64_t hash = 1469598103934665603ULL;
    const auto mix = [&hash](std::uint64_t word) { hash = (hash ^ word) * 1099511628211ULL; };
    for (const double value : {source.details, source.brightness, source.contrast, source.arVal}) {
        std::uint64_t word = 0;
        std::memcpy(&word, &value, sizeof word);
        mix(word);
    }
    mix(static_cast<std::uint64_t>(source.mode) << 8 |
        static_cast<std::uint64_t>(source.boardColor));
    for (const cv::Mat* picture : {&source.detail, &source.colour}) {
        mix(static_cast<std::uint64_t>(picture->rows) << 32 |
            static_cast<std::uint64_t>(picture->cols));
        for (int y = 0; y < picture->rows; ++y) {
            const uchar* row = picture->ptr(y);
            const std::size_t bytes = picture->cols * picture->elemSize();
            std::size_t x = 0;
            for (std::uint64_t word = 0; x + sizeof word <= bytes; x += sizeof word) {
                std::memcpy(&word, row + x, sizeof word);
                mix(word);
            }
            for (; x < bytes; ++x) {
                mix(row[x]);
            }
        }
    }
    return hash;
}

std::string encodeJpeg(tjhandle encoder, const cv::Mat& bgr) {
    unsigned char* out = nullptr;
    unsigned long size = 0;
    if (bgr.empty() ||
        tjCompress2(encoder, bgr.data, bgr.cols, static_cast<int>(bgr.step), bgr.rows, TJPF_BGR,
                    &out, &size, TJSAMP_420, jpegQuality, TJFLAG_FASTDCT) != 0) {
        tjFree(out);
        return std::string();
    }
    std::string jpeg(reinterpret_cast<const char*>(out), size);
    tjFree(out);
    return jpeg;
}

std::string jsonString(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
        }
        if (static_cast<unsigned char>(c) >= 0x20) {
            out += c;
        }
    }
    return out + "\"";
}

std::string todayDate() {
    return QDate::currentDate().toString(QStringLiteral("dd.MM.yyyy")).toStdString();
}

} // namespace

std::string makeShareKey() {
    quint32 words[4];
    QRandomGenerator::system()->fillRange(words);
    std::string key;
    char part[9];
    for (quint32 word : words) {
        std::snprintf(part, sizeof part, "%08x", word);
        key += part;
    }
    return key;
}

bool sameKey(const std::string& given, const std::string& key) {
    if (given.size() != key.size() || key.empty()) {
        return false;
    }
    unsigned char difference = 0;
    for (std::size_t i = 0; i < key.size(); ++i) {
        difference |= static_cast<unsigned char>(given[i] ^ key[i]);
    }
    return difference == 0;
}

struct ShareServer::Running {
    ShareConfig config;
    std::shared_ptr<ShareHandoff> handoff;
    std::string page;
    std::string key;
    int port = 0;
    httplib::Server server;
    std::thread listener;
    std::thread encoder;
    std::atomic<bool> stopping{false};
    mutable std::mutex viewersLock;
    mutable std::map<std::string, std::chrono::steady_clock::time_point> viewerSeen;

    void routes();
    void encode();
    // Admits or refreshes a viewer; false when the room is full.
    bool seeViewer(const std::string& id, bool admitNew);
    int countViewers() const;
    void pruneViewers() const;
};

void ShareServer::Running::pruneViewers() const {
    const auto oldest =
        std::chrono::steady_clock::now() - std::chrono::milliseconds(config.viewerTimeoutMs);
    for (auto it = viewerSeen.begin(); it != viewerSeen.end();) {
        it = it->second < oldest ? viewerSeen.erase(it) : std::next(it);
    }
}

bool ShareServer::Running::seeViewer(const std::string& id, bool admitNew) {
    std::lock_guard<std::mutex> guard(viewersLock);
    pruneViewers();
    auto it = viewerSeen.find(id);
    if (it == viewerSeen.end()) {
        if (!admitNew || static_cast<int>(viewerSeen.size()) >= config.maxViewers) {
            return false;
        }
        it = viewerSeen.emplace(id, std::chrono::steady_clock::time_point()).first;
    }
    it->second = std::chrono::steady_clock::now();
    return true;
}

int ShareServer::Running::countViewers() const {
    std::lock_guard<std::mutex> guard(viewersLock);
    pruneViewers();
    return static_cast<int>(viewerSeen.size());
}

// Composes and encodes the kept board when it changed, at most once an interval.
void ShareServer::Running::encode() {
    tjhandle compressor = tjInitCompress();
    std::optional<std::uint64_t> last;
    auto lastEncode = std::chrono::steady_clock::now() - std::chrono::hours(1);
    while (!stopping) {
        std::optional<BoardSource> source = handoff->takeBoard(100);
        const std::uint64_t print = source ? fingerprint(*source) : 0;
        if (!source || last == print) {
            continue;
        }
        std::this_thread::sleep_until(lastEncode +
                                      std::chrono::milliseconds(config.encodeIntervalMs));
        lastEncode = std::chrono::steady_clock::now();
        const BoardSource& s = *source;
        // An enhancer for each picture: its buffers are not kept between changes.
        BoardEnhancer renderer;
        const std::vector<cv::Mat> pictures =
            renderer.compose(s.colour, s.detail, s.mode, false, s.arVal, s.details, s.brightness,
                             s.contrast, s.boardColor, s.colour);
        std::string jpeg = encodeJpeg(compressor, pictures.empty() ? cv::Mat() : pictures[0]);
        if (!jpeg.empty()) {
            handoff->publishBoard(std::move(jpeg), s.seenMs);
        }
        last = print;
    }
    tjDestroy(compressor);
}

void ShareServer::Running::routes() {
    server.new_task_queue = [n = config.maxViewers * 2 + 8] { return new httplib::ThreadPool(n); };
    server.set_read_timeout(config.ioTimeoutSeconds, 0);
    server.set_write_timeout(config.ioTimeoutSeconds, 0);
    server.set_keep_alive_timeout(config.idleTimeoutSeconds);
    // One request a connection: the library polls every idle keep-alive connection
    // a hundred times a second, which 30 viewers asking twice a second would pay for.
    server.set_keep_alive_max_count(1);
    server.set_payload_max_length(config.maxBodyBytes);
    // The library's default also sets SO_REUSEPORT, which would let a second server
    // share a port that is taken.
    server.set_socket_options([](socket_t sock) {
#ifdef _WIN32
        BOOL exclusive = TRUE;
        setsockopt(sock, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive),
                   sizeof exclusive);
#else
        int reuse = 1;
        setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
#endif
    });

    server.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
        if (stopping) {
            res.status = 503;
            res.set_header("Connection", "close");
            return httplib::Server::HandlerResponse::Handled;
        }
        if (req.headers.size() > config.maxHeaders) {
            res.status = 431;
            return httplib::Server::HandlerResponse::Handled;
        }
        if (!sameKey(req.get_param_value("key"), key)) {
            res.status = 403;
            res.set_content(forbiddenPage, "text/html");
            return httplib::Server::HandlerResponse::Handled;
        }
        res.set_header("Cache-Control", "no-cache");
        res.set_header("X-Content-Type-Options", "nosniff");
        res.set_header("Referrer-Policy", "no-referrer");
        return httplib::Server::HandlerResponse::Unhandled;
    });

    server.Get("/", [this](const httplib::Request&, httplib::Response& res) {
        const std::string viewer = makeShareKey();
        if (!seeViewer(viewer, true)) {
            res.status = 503;
            res.set_content(tooManyPage, "text/html; charset=utf-8");
            return;
        }
        std::string body = page;
        const std::string mark = "%VIEWER%";
        for (std::size_t at = body.find(mark); at != std::string::npos; at = body.find(mark)) {
            body.replace(at, mark.size(), viewer);
        }
        res.set_content(body, "text/html; charset=utf-8");
    });

    server.Get("/state", [this](const httplib::Request& req, httplib::Response& res) {
        if (!seeViewer(req.get_param_value("viewer"), false)) {
            res.status = 410;
            return;
        }
        const auto board = handoff->board();
        const auto saved = handoff->savedBoards();
        const std::string date = handoff->lessonDate();
        std::string json = "{\"version\":" + std::to_string(board ? board->version : 0) +
                           ",\"available\":" + (handoff->available() ? "true" : "false") +
                           ",\"date\":" + jsonString(date.empty() ? todayDate() : date) +
                           ",\"pdf\":" + (handoff->pdfPath().empty() ? "false" : "true") +
                           ",\"saved\":[";
        for (auto it = saved->rbegin(); it != saved->rend(); ++it) {
            json += (it == saved->rbegin() ? "" : ",");
            json += "{\"id\":" + jsonString(it->id) + ",\"time\":" + jsonString(it->label) + "}";
        }
        res.set_content(json + "]}", "application/json");
    });

    server.Get("/board.jpg", [this](const httplib::Request& req, httplib::Response& res) {
        const auto board = handoff->board();
        if (!board) {
            res.status = 404;
            return;
        }
        const std::string tag = "\"" + std::to_string(board->version) + "\"";
        res.set_header("ETag", tag);
        res.set_header("X-Board-Changed", std::to_string(board->changedMs));
        if (req.get_header_value("If-None-Match") == tag) {
            res.status = 304;
            return;
        }
        res.set_content(board->jpeg, "image/jpeg");
    });

    server.Get(R"(/saved/([0-9]+)\.jpg)",
               [this](const httplib::Request& req, httplib::Response& res) {
                   const auto saved = handoff->savedBoards();
                   for (const SavedBoard& board : *saved) {
                       if (board.id == req.matches[1]) {
                           res.set_header("Cache-Control", "max-age=86400");
                           res.set_content(*board.jpeg, "image/jpeg");
                           return;
                       }
                   }
                   res.status = 404;
               });

    // The lesson's PDF at its one fixed address; no part of a URL names a file.
    server.Get("/lesson.pdf", [this](const httplib::Request&, httplib::Response& res) {
        const std::string path = handoff->pdfPath();
        std::FILE* file = path.empty() ? nullptr : std::fopen(path.c_str(), "rb");
        if (file == nullptr) {
            res.status = 404;
            return;
        }
        std::string bytes;
        char chunk[65536];
        for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, file)) > 0;) {
            bytes.append(chunk, n);
        }
        std::fclose(file);
        res.set_header("Content-Disposition", "attachment; filename=\"lesson.pdf\"");
        res.set_content(bytes, "application/pdf");
    });
}

ShareServer::ShareServer(std::shared_ptr<ShareHandoff> handoffIn, std::string pageIn)
    : handoff(std::move(handoffIn)), page(std::move(pageIn)) {}

ShareServer::~ShareServer() {
    stop();
    for (const auto& old : stopped) {
        old->listener.join();
        old->encoder.join();
    }
}

bool ShareServer::start(const ShareConfig& config, std::string& error) {
    stop();
    auto run = std::make_shared<Running>();
    run->config = config;
    run->handoff = handoff;
    run->page = page;
    run->key = makeShareKey();
    run->routes();
    for (int port = config.port; port <= std::max(config.port, config.lastPort); ++port) {
        if (run->server.bind_to_port(config.address.c_str(), port)) {
            run->port = port;
            break;
        }
    }
    if (run->port == 0) {
        error = config.port == config.lastPort
                    ? "port " + std::to_string(config.port) + " is taken"
                    : "no free port from " + std::to_string(config.port) + " to " +
                          std::to_string(config.lastPort);
        return false;
    }
    Running* raw = run.get();
    run->listener = std::thread([raw] { raw->server.listen_after_bind(); });
    run->encoder = std::thread([raw] { raw->encode(); });
    // A stop before the listener runs would be missed: wait the moment it takes.
    for (int i = 0; i < 1000 && !run->server.is_running(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    accessKey = run->key;
    current = std::move(run);
    return true;
}

void ShareServer::stop() {
    if (!current) {
        return;
    }
    current->stopping = true;
    current->server.stop();
    stopped.push_back(std::move(current));
    accessKey.clear();
}

int ShareServer::port() const {
    return current ? current->port : 0;
}

std::string ShareServer::url() const {
    if (!current) {
        return std::string();
    }
    return "http://" + current->config.address + ":" + std::to_string(current->port) +
           "/?key=" + current->key;
}

int ShareServer::viewers() const {
    return current ? current->countViewers() : 0;
}
