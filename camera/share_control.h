#pragma once

#include "board_share.h"
#include "snapshots.h"

#include <QImage>
#include <QString>
#include <QTimer>

#include <functional>

class FrameProcessor;

// Sharing as the camera object runs it: switched on and off, the address and the
// viewer count looked at once a second, and what the viewers are given.
class ShareControl {
public:
    struct Hooks {
        // The QR code changed: the address moved.
        std::function<void()> qrChanged;
        // The address, its note or the viewer count changed.
        std::function<void()> stateChanged;
    };

    explicit ShareControl(Hooks hooks);

    bool on() const { return shareOn; }
    bool allowed() const { return board.shareOptions().allowed; }
    QString url() const { return board.url(); }
    QString note() const { return board.note(); }
    int viewers() const { return viewerCount; }
    // Null while not shared.
    QImage qr() const { return board.qr(); }

    // Before the first switch: the command line's and the environment's word.
    void setOptions(const ShareOptions& options) { board.setOptions(options); }
    // Starts or stops the server, with a console line and a log.txt line; false when
    // nothing changed (the value is held, or sharing is switched off here).
    bool turn(bool on);
    // False without a camera picture or while calibrating.
    void setAvailable(bool available) { board.setAvailable(available); }
    // Every finished frame: the kept board, at most twice a second.
    void offerBoard(const FrameProcessor& processor, bool available) {
        board.offerBoard(processor, available);
    }
    // A saved picture joined the lesson whose PDF is `pdf`.
    void boardSaved(const SavedPicture& saved, const QString& pdf) {
        board.boardSaved(*saved.jpeg, saved.savedAt, pdf);
    }

    BoardShare& boardShare() { return board; }

private:
    void tick();

    Hooks hooks;
    bool shareOn = false;
    int viewerCount = 0;
    int ticks = 0;
    BoardShare board;
    QTimer timer;
};
