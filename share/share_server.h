#pragma once

#include "share_handoff.h"

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

struct ShareConfig {
    std::string address = "127.0.0.1";
    // The first free port of [port, lastPort]; exactly `port` when they are equal.
    int port = 8080;
    int lastPort = 8099;
    int maxViewers = 60;
    // A viewer whose page has not asked for news this long is gone.
    int viewerTimeoutMs = 6000;
    // A connection that sends no request is dropped after this; it is also the most a
    // switch-off leaves an open connection hanging, as the library waits it out.
    int idleTimeoutSeconds = 1;
    // Slow reads or writes of a request under way are dropped after this.
    int ioTimeoutSeconds = 5;
    std::size_t maxBodyBytes = 1024;
    std::size_t maxHeaders = 40;
    // The board is encoded at most this often.
    int encodeIntervalMs = 500;
};

// Serves the page, the board picture, the lesson's saved boards and its PDF over HTTP
// on its own threads. Every request must carry the key; nothing can be changed.
class ShareServer {
public:
    // `page` is the HTML, in which "%VIEWER%" becomes the viewer's id.
    ShareServer(std::shared_ptr<ShareHandoff> handoff, std::string page);
    // Waits for connections of stopped servers to end.
    ~ShareServer();
    ShareServer(const ShareServer&) = delete;
    ShareServer& operator=(const ShareServer&) = delete;

    // Binds and starts serving with a new key; false with `error` when no port was free.
    bool start(const ShareConfig& config, std::string& error);
    // Closes the port at once; open connections get nothing more and end within the
    // idle timeout.
    void stop();
    bool running() const { return current != nullptr; }

    int port() const;
    const std::string& key() const { return accessKey; }
    // "http://ADDRESS:PORT/?key=KEY", empty when stopped.
    std::string url() const;
    int viewers() const;

    struct Running;

private:
    std::shared_ptr<ShareHandoff> handoff;
    std::string page;
    std::string accessKey;
    std::shared_ptr<Running> current;
    std::vector<std::shared_ptr<Running>> stopped;
};

// 128 bits from the system's random source, as 32 hexadecimal digits.
std::string makeShareKey();
// Same length and content, in a time that does not depend on where they differ.
bool sameKey(const std::string& given, const std::string& key);
