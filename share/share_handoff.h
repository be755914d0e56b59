#pragma once

#include <opencv2/core.hpp>

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

// The kept board and the view settings it is rendered with, copied on the GUI thread.
struct BoardSource {
    cv::Mat detail;
    cv::Mat colour; // empty on white boards
    int mode = 0;   // 0 "Color", 1 "Black & White"
    double details = 4.0;
    double brightness = -81.0;
    double contrast = 70.0;
    double arVal = 0.5;
    int boardColor = 1;
    std::int64_t seenMs = 0; // when the GUI thread copied it, ms since the epoch
};

// The board as viewers get it: one JPEG for all of them.
struct BoardPicture {
    std::string jpeg;
    std::int64_t changedMs = 0; // milliseconds since the epoch
    std::uint64_t version = 0;
};

struct SavedBoard {
    std::string id; // opaque, never a path
    std::int64_t savedMs = 0;
    std::string label; // "hh:mm:ss"
    std::shared_ptr<const std::string> jpeg;
};

// Everything the share server needs from the GUI thread crosses here: the GUI thread
// only stores and never waits for a viewer; the server threads read shared snapshots.
class ShareHandoff {
public:
    // GUI thread.
    // The newest kept board replaces one not yet encoded.
    void offerBoard(BoardSource source);
    void setAvailable(bool available);
    // A board saved at `savedMs` (label "hh:mm:ss"); `newLesson` forgets the boards of
    // the last lesson first. Returns the board's id.
    std::string addSavedBoard(std::string jpeg, std::int64_t savedMs, const std::string& label,
                              bool newLesson, const std::string& lessonDate);
    void setPdfPath(const std::string& path);

    // Encoder thread: waits up to `timeoutMs` for a board offered since the last take.
    std::optional<BoardSource> takeBoard(int timeoutMs);
    void publishBoard(std::string jpeg, std::int64_t changedMs);

    // Server threads.
    std::shared_ptr<const BoardPicture> board() const;
    bool available() const;
    std::shared_ptr<const std::vector<SavedBoard>> savedBoards() const;
    std::string pdfPath() const;
    // The date of the lesson's first saved board; empty before one.
    std::string lessonDate() const;

private:
    mutable std::mutex lock;
    std::condition_variable wake;
    std::optional<BoardSource> waiting;
    bool boardAvailable = false;
    std::shared_ptr<const BoardPicture> picture;
    std::shared_ptr<const std::vector<SavedBoard>> saved =
        std::make_shared<const std::vector<SavedBoard>>();
    std::uint64_t nextId = 1;
    std::string pdf;
    std::string date;
};
