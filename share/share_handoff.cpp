#include "share_handoff.h"

#include <chrono>
#include <random>

void ShareHandoff::offerBoard(BoardSource source) {
    {
        std::lock_guard<std::mutex> guard(lock);
        waiting = std::move(source);
    }
    wake.notify_one();
}

void ShareHandoff::setAvailable(bool value) {
    std::lock_guard<std::mutex> guard(lock);
    boardAvailable = value;
}

std::string ShareHandoff::addSavedBoard(std::string jpeg, std::int64_t savedMs,
                                        const std::string& label, bool newLesson,
                                        const std::string& lessonDate) {
    SavedBoard board;
    board.savedMs = savedMs;
    board.label = label;
    board.jpeg = std::make_shared<const std::string>(std::move(jpeg));
    std::lock_guard<std::mutex> guard(lock);
    // A counter with a random start: ids of another lesson or run do not match.
    if (nextId == 1) {
        nextId = std::random_device()() | 0x100000000ULL;
    }
    board.id = std::to_string(nextId++);
    auto boards = std::make_shared<std::vector<SavedBoard>>();
    if (!newLesson) {
        *boards = *saved;
    }
    if (newLesson || date.empty()) {
        date = lessonDate;
    }
    boards->push_back(board);
    saved = std::move(boards);
    return board.id;
}

void ShareHandoff::setPdfPath(const std::string& path) {
    std::lock_guard<std::mutex> guard(lock);
    pdf = path;
}

std::optional<BoardSource> ShareHandoff::takeBoard(int timeoutMs) {
    std::unique_lock<std::mutex> guard(lock);
    wake.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                  [this] { return waiting.has_value(); });
    std::optional<BoardSource> taken = std::move(waiting);
    waiting.reset();
    return taken;
}

void ShareHandoff::publishBoard(std::string jpeg, std::int64_t changedMs) {
    auto next = std::make_shared<BoardPicture>();
    next->jpeg = std::move(jpeg);
    next->changedMs = changedMs;
    std::lock_guard<std::mutex> guard(lock);
    next->version = picture ? picture->version + 1 : 1;
    picture = std::move(next);
}

std::shared_ptr<const BoardPicture> ShareHandoff::board() const {
    std::lock_guard<std::mutex> guard(lock);
    return picture;
}

bool ShareHandoff::available() const {
    std::lock_guard<std::mutex> guard(lock);
    return boardAvailable;
}

std::shared_ptr<const std::vector<SavedBoard>> ShareHandoff::savedBoards() const {
    std::lock_guard<std::mutex> guard(lock);
    return saved;
}

std::string ShareHandoff::pdfPath() const {
    std::lock_guard<std::mutex> guard(lock);
    return pdf;
}

std::string ShareHandoff::lessonDate() const {
    std::lock_guard<std::mutex> guard(lock);
    return date;
}
