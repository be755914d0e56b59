#pragma once

#include "share_handoff.h"
#include "share_server.h"
#include "share_support.h"

#include <QDateTime>
#include <QImage>
#include <QString>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

class FrameProcessor;

// Sharing as the camera object runs it, on the GUI thread: where the server listens,
// what it is told, and what the sharing card shows. The server's threads never call
// back into it.
class BoardShare {
public:
    BoardShare();

    void setOptions(const ShareOptions& given) { options = given; }
    const ShareOptions& shareOptions() const { return options; }

    // Starts serving on the chosen address; false with note() saying why.
    bool start();
    void stop();
    bool running() const { return server.running(); }

    // "http://ADDRESS:PORT/?key=KEY" while running.
    QString url() const { return QString::fromStdString(server.url()); }
    // What the card says besides the address: no network, a taken port.
    QString note() const { return noteText; }
    int viewers() const { return server.viewers(); }
    // The QR code of url(); null while stopped.
    QImage qr() const { return qrImage; }

    // Moves the server when the classroom address changed; true when it did.
    bool followAddress();
    // Where the classroom address comes from (the network's, unless a test says).
    void setAddressSource(std::function<ShareAddress()> source) { addressOf = std::move(source); }

    // Every finished frame: the kept board goes to the viewers at most twice a second;
    // `available` is false without a camera picture or while calibrating.
    void offerBoard(const FrameProcessor& processor, bool available);
    void setAvailable(bool available) { handoff->setAvailable(available); }
    // A board was saved as `jpeg` and joined the lesson whose PDF is `pdf`.
    void boardSaved(const std::vector<unsigned char>& jpeg, const QDateTime& savedAt,
                    const QString& pdf);

    ShareHandoff& boardHandoff() { return *handoff; }

    static constexpr int offerIntervalMs = 500;

private:
    ShareOptions options;
    std::function<ShareAddress()> addressOf = chooseShareAddress;
    std::shared_ptr<ShareHandoff> handoff;
    ShareServer server;
    std::string address;
    QString noteText;
    QImage qrImage;
    QString lessonPdf;
    std::chrono::steady_clock::time_point lastOffer;
};
