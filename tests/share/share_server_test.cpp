// The share server on the loopback, through a real HTTP client.
#include "board_share.h"
#include "share_server.h"
#include "share_support.h"

#include <httplib.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <opencv2/imgcodecs.hpp>

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <thread>

namespace {

using namespace std::chrono_literals;

class ShareServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        config.port = 18080;
        config.lastPort = 18099;
        config.maxViewers = 60;
        config.encodeIntervalMs = 50;
        std::string error;
        ASSERT_TRUE(server.start(config, error)) << error;
    }

    httplib::Client client() {
        httplib::Client c("127.0.0.1", server.port());
        c.set_read_timeout(3, 0);
        return c;
    }
    std::string withKey(const std::string& path) {
        return path + (path.find('?') == std::string::npos ? "?" : "&") + "key=" + server.key();
    }
    int status(const std::string& path) {
        auto res = client().Get(path.c_str());
        return res ? res->status : -1;
    }
    // A page's viewer id, as its script would send it.
    std::string openPage() {
        auto res = client().Get(withKey("/").c_str());
        std::smatch found;
        static const std::regex viewerLine("var viewer = \"([0-9a-f]+)\"");
        if (!res || res->status != 200 || !std::regex_search(res->body, found, viewerLine)) {
            return std::string();
        }
        return found[1];
    }
    std::string state(const std::string& viewer) {
        auto res = client().Get(withKey("/state?viewer=" + viewer).c_str());
        return res && res->status == 200 ? res->body : std::string();
    }
    BoardSource board(uchar ink) {
        BoardSource source;
        source.detail = cv::Mat(90, 160, CV_8UC3, cv::Scalar::all(255));
        source.detail(cv::Rect(20, 20, 40, 10)).setTo(cv::Scalar::all(ink));
        return source;
    }
    std::uint64_t waitForVersion(std::uint64_t wanted) {
        for (int i = 0; i < 100; ++i) {
            const auto picture = handoff->board();
            if (picture && picture->version >= wanted) {
                return picture->version;
            }
            std::this_thread::sleep_for(20ms);
        }
        return 0;
    }

    ShareConfig config;
    std::shared_ptr<ShareHandoff> handoff = std::make_shared<ShareHandoff>();
    ShareServer server{handoff, sharePage()};
};

int rawConnect(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    timeval wait{4, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    return fd;
}

// Seconds until the server closes the connection (reads and discards what comes).
double secondsUntilClosed(int fd) {
    const auto start = std::chrono::steady_clock::now();
    char buffer[4096];
    while (recv(fd, buffer, sizeof buffer, 0) > 0) {
    }
    close(fd);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST_F(ShareServerTest, ServesTheBoardOncePerChangeAndItsSavedBoardsAndPdf) {
    const std::string viewer = openPage();
    ASSERT_FALSE(viewer.empty());
    EXPECT_EQ(server.url(),
              "http://127.0.0.1:" + std::to_string(server.port()) + "/?key=" + server.key());

    BoardSource first = board(0);
    first.seenMs = 1234;
    handoff->offerBoard(first);
    ASSERT_EQ(waitForVersion(1), 1u);
    // The same board again is not encoded again: viewers download nothing new.
    handoff->offerBoard(board(0));
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(handoff->board()->version, 1u);
    EXPECT_NE(state(viewer).find("\"version\":1,"), std::string::npos);

    auto picture = client().Get(withKey("/board.jpg?v=1").c_str());
    ASSERT_TRUE(picture);
    ASSERT_EQ(picture->status, 200);
    const cv::Mat decoded = cv::imdecode(
        cv::Mat(1, static_cast<int>(picture->body.size()), CV_8U, picture->body.data()),
        cv::IMREAD_COLOR);
    ASSERT_EQ(decoded.size(), cv::Size(160, 90));
    EXPECT_EQ(picture->get_header_value("X-Board-Changed"), "1234");
    const std::string tag = picture->get_header_value("ETag");
    auto again = client().Get(withKey("/board.jpg?v=1").c_str(), {{"If-None-Match", tag}});
    ASSERT_TRUE(again);
    EXPECT_EQ(again->status, 304);
    EXPECT_TRUE(again->body.empty());

    handoff->offerBoard(board(90));
    ASSERT_EQ(waitForVersion(2), 2u);
    again = client().Get(withKey("/board.jpg?v=2").c_str(), {{"If-None-Match", tag}});
    ASSERT_TRUE(again);
    EXPECT_EQ(again->status, 200);

    QTemporaryDir dir;
    const std::string pdfPath = (dir.path() + "/lesson.pdf").toStdString();
    QFile pdf(QString::fromStdString(pdfPath));
    ASSERT_TRUE(pdf.open(QIODevice::WriteOnly));
    pdf.write("%PDF-1.4 lesson");
    pdf.close();
    const std::string older = handoff->addSavedBoard("first", 1, "10:00:00", true, "07.12.2026");
    const std::string newer = handoff->addSavedBoard("second", 2, "10:05:00", false, "");
    handoff->setPdfPath(pdfPath);
    const std::string news = state(viewer);
    EXPECT_LT(news.find(newer), news.find(older)) << "newest first: " << news;
    EXPECT_NE(news.find("\"date\":\"07.12.2026\""), std::string::npos);
    EXPECT_EQ(client().Get(withKey("/saved/" + older + ".jpg").c_str())->body, "first");
    EXPECT_EQ(client().Get(withKey("/lesson.pdf").c_str())->body, "%PDF-1.4 lesson");

    // A new lesson: the boards of the last one are out of reach.
    const std::string next = handoff->addSavedBoard("third", 3, "11:00:00", true, "07.12.2026");
    EXPECT_EQ(status(withKey("/saved/" + older + ".jpg")), 404);
    EXPECT_EQ(status(withKey("/saved/" + next + ".jpg")), 200);
}

TEST_F(ShareServerTest, RefusesRequestsWithoutTheKeyAndReachesNoOtherFile) {
    handoff->offerBoard(board(0));
    ASSERT_EQ(waitForVersion(1), 1u);
    const std::string id = handoff->addSavedBoard("saved", 1, "10:00:00", true, "07.12.2026");
    handoff->setPdfPath("/etc/hostname");
    std::string wrong = server.key();
    wrong[7] = wrong[7] == '0' ? '1' : '0';
    const char* paths[] = {"/", "/state", "/board.jpg", "/lesson.pdf"};
    for (const std::string path : paths) {
        SCOPED_TRACE(path);
        EXPECT_EQ(status(path), 403);
        EXPECT_EQ(status(path + "?key=" + wrong), 403);
        EXPECT_EQ(status(path + "?key=" + server.key().substr(1)), 403);
        EXPECT_EQ(status(path + "?kez=" + server.key()), 403);
    }
    EXPECT_EQ(status("/saved/" + id + ".jpg?key=" + wrong), 403);
    auto refused = client().Get("/board.jpg");
    EXPECT_EQ(refused->body.find("Brisel"), std::string::npos);

    const char* escapes[] = {"/../../../../etc/passwd",
                             "/%2e%2e/%2e%2e/%2e%2e/etc/passwd",
                             "/saved/../../../etc/passwd",
                             "/saved/%2e%2e%2f%2e%2e%2fetc%2fpasswd",
                             "//etc/passwd",
                             "/etc/passwd",
                             "/saved//etc/passwd.jpg",
                             "/saved/1.jpg",
                             "/share/index.html",
                             "/lesson.pdf/../../etc/passwd"};
    for (const std::string path : escapes) {
        SCOPED_TRACE(path);
        auto res = client().Get(withKey(path).c_str());
        ASSERT_TRUE(res);
        EXPECT_NE(res->status, 200);
        EXPECT_EQ(res->body.find("root:"), std::string::npos);
    }
}

TEST_F(ShareServerTest, LimitsRequestsAndViewers) {
    httplib::Client c = client();
    auto res = c.Post(withKey("/state").c_str(), std::string(4096, 'x'), "text/plain");
    EXPECT_TRUE(!res || res->status == 413 || res->status == 404);
    httplib::Headers many;
    for (int i = 0; i < 60; ++i) {
        many.emplace("X-Filler-" + std::to_string(i), "1");
    }
    res = client().Get(withKey("/").c_str(), many);
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 431);
    res = client().Get(withKey("/?pad=" + std::string(9000, 'a')).c_str());
    EXPECT_TRUE(!res || res->status == 414);

    std::vector<std::string> viewers;
    for (int i = 0; i < 60; ++i) {
        viewers.push_back(openPage());
        ASSERT_FALSE(viewers.back().empty()) << "viewer " << i + 1;
    }
    EXPECT_EQ(server.viewers(), 60);
    res = client().Get(withKey("/").c_str());
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 503);
    EXPECT_NE(res->body.find("Too many viewers"), std::string::npos);
    EXPECT_FALSE(state(viewers.front()).empty());
}

TEST_F(ShareServerTest, DropsSilentConnectionsAndEveryoneWhenStopped) {
    const int silent = rawConnect(server.port());
    ASSERT_GE(silent, 0);
    // The others keep being served while it hangs.
    const std::string viewer = openPage();
    EXPECT_FALSE(state(viewer).empty());
    EXPECT_LT(secondsUntilClosed(silent), 2.0);

    const int port = server.port();
    const std::string oldKey = server.key();
    const int held = rawConnect(port);
    ASSERT_GE(held, 0);
    server.stop();
    EXPECT_LT(secondsUntilClosed(held), 2.0) << "a switch-off must not wait for the I/O timeout";
    EXPECT_EQ(rawConnect(port), -1);
    EXPECT_EQ(server.viewers(), 0);

    // The port is free again at once, and a new start makes a new key.
    config.port = config.lastPort = port;
    std::string error;
    ASSERT_TRUE(server.start(config, error)) << error;
    EXPECT_NE(server.key(), oldKey);
    EXPECT_EQ(status("/state?key=" + oldKey), 403);
}

// A new network or DHCP lease: the server moves to the new address with a new QR code,
// and the old address answers no more.
TEST(BoardShareTest, FollowsTheClassroomAddress) {
    ShareAddress network{"127.0.0.1", true};
    BoardShare share;
    share.setAddressSource([&network] { return network; });
    ShareOptions options;
    options.port = 18200;
    share.setOptions(options);
    ASSERT_TRUE(share.start());
    EXPECT_FALSE(share.followAddress()) << "the address did not change";
    const QString before = share.url();
    network.address = "127.0.0.2";
    ASSERT_TRUE(share.followAddress());
    const QString after = share.url();
    EXPECT_TRUE(after.startsWith("http://127.0.0.2:18200/?key=")) << after.toStdString();
    EXPECT_EQ(share.qr(), makeQrImage(after.toStdString()));
    EXPECT_NE(share.qr(), makeQrImage(before.toStdString()));
    EXPECT_EQ(share.note(), "");
    httplib::Client moved("127.0.0.2", 18200);
    auto res = moved.Get(after.mid(after.indexOf("/?")).toStdString().c_str());
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 200);
    EXPECT_FALSE(httplib::Client("127.0.0.1", 18200).Get("/"));
    network = {"127.0.0.1", false};
    ASSERT_TRUE(share.followAddress());
    EXPECT_NE(share.note(), "") << "the card says there is no network";
}

// Good options are used by the end-to-end run; bad ones are ignored, and a machine
// where sharing is switched off never shares.
TEST(ShareSupport, IgnoresBadOptionsAndRefusesSharingWhenSwitchedOff) {
    const ShareOptions bad =
        parseShareOptions({"brisel", "--share-port", "80x", "--share-address", "host"}, "0");
    EXPECT_EQ(bad.port, 0);
    EXPECT_EQ(bad.address, "");
    const ShareOptions off = parseShareOptions({"brisel", "--share"}, "1");
    EXPECT_FALSE(off.share || off.allowed);
}

TEST(ShareSupport, TakenPortIsReported) {
    auto handoff = std::make_shared<ShareHandoff>();
    ShareServer first(handoff, "page");
    ShareServer second(handoff, "page");
    ShareConfig config;
    config.port = 18100;
    config.lastPort = 18199;
    std::string error;
    ASSERT_TRUE(first.start(config, error)) << error;
    const int taken = first.port();
    config.port = config.lastPort = taken;
    EXPECT_FALSE(second.start(config, error));
    EXPECT_EQ(error, "port " + std::to_string(taken) + " is taken");
    config.lastPort = taken + 50;
    ASSERT_TRUE(second.start(config, error)) << error;
    EXPECT_GT(second.port(), taken);
}

} // namespace
