#include "board_share.h"

#include "calibration_store.h"
#include "frame_processor.h"

#include <iostream>

namespace {

constexpr int firstPort = 8080;
constexpr int lastPort = 8099;
constexpr int qrModulePixels = 8;

} // namespace

BoardShare::BoardShare()
    : handoff(std::make_shared<ShareHandoff>()), server(handoff, sharePage()) {}

bool BoardShare::start() {
    noteText.clear();
    ShareConfig config;
    if (!options.address.empty()) {
        address = options.address;
    } else {
        const ShareAddress chosen = addressOf();
        address = chosen.address;
        if (!chosen.network) {
            noteText = QStringLiteral("No network: only this computer can open the address");
        }
    }
    config.address = address;
    config.port = options.port != 0 ? options.port : firstPort;
    config.lastPort = options.port != 0 ? options.port : lastPort;
    std::string error;
    if (!server.start(config, error)) {
        std::cout << "share: not started, " << error << std::endl;
        noteText = QStringLiteral("Not shared: ") + QString::fromStdString(error);
        qrImage = QImage();
        return false;
    }
    qrImage = makeQrImage(server.url(), qrModulePixels);
    lastOffer = std::chrono::steady_clock::time_point();
    return true;
}

void BoardShare::stop() {
    server.stop();
    qrImage = QImage();
    noteText.clear();
}

bool BoardShare::followAddress() {
    if (!server.running() || !options.address.empty()) {
        return false;
    }
    const ShareAddress chosen = addressOf();
    if (chosen.address == address) {
        return false;
    }
    std::cout << "share: the network address changed to " << chosen.address << std::endl;
    start();
    return true;
}

void BoardShare::offerBoard(const FrameProcessor& processor, bool available) {
    if (!server.running()) {
        return;
    }
    const CalibrationStore& store = CalibrationStore::instance();
    const EraseDetector& keeper = processor.eraseDetector();
    available = available && store.hasLensMaps() && store.hasCalibration() &&
                keeper.isFollowing() && !keeper.keptDetail().empty();
    handoff->setAvailable(available);
    const auto now = std::chrono::steady_clock::now();
    if (!available || now - lastOffer < std::chrono::milliseconds(offerIntervalMs)) {
        return;
    }
    lastOffer = now;
    // Copies, at most twice a second: the keeper refills its pictures in place.
    BoardSource source;
    keeper.keptDetail().copyTo(source.detail);
    const PipelineSettings& settings = processor.settings();
    if (settings.boardColor != 1) {
        keeper.keptColour().copyTo(source.colour);
        if (source.colour.size() != source.detail.size()) {
            return;
        }
    }
    constexpr int blackAndWhite = 1;
    source.mode = settings.mode == blackAndWhite ? blackAndWhite : 0;
    source.details = settings.details;
    source.brightness = settings.brightness;
    source.contrast = settings.contrast;
    source.arVal = settings.arVal;
    source.boardColor = settings.boardColor;
    source.seenMs = QDateTime::currentMSecsSinceEpoch();
    handoff->offerBoard(std::move(source));
}

void BoardShare::boardSaved(const std::vector<unsigned char>& jpeg, const QDateTime& savedAt,
                            const QString& pdf) {
    const bool newLesson = pdf != lessonPdf;
    lessonPdf = pdf;
    handoff->addSavedBoard(std::string(jpeg.begin(), jpeg.end()), savedAt.toMSecsSinceEpoch(),
                           savedAt.toString(QStringLiteral("hh:mm:ss")).toStdString(), newLesson,
                           savedAt.toString(QStringLiteral("dd.MM.yyyy")).toStdString());
    handoff->setPdfPath(pdf.toStdString());
}
