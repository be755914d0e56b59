#include "share_support.h"

#include <qrencode.h>

#include <QFile>
#include <QHostAddress>
#include <QNetworkInterface>
#include <QUdpSocket>

#include <iostream>

ShareOptions parseShareOptions(const QStringList& arguments, const QString& noShare) {
    ShareOptions options;
    options.allowed = noShare.isEmpty() || noShare == "0";
    for (int i = 1; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        const bool hasValue = i + 1 < arguments.size();
        if (argument == "--share") {
            options.share = true;
        } else if (argument == "--share-port") {
            bool ok = false;
            const int port = hasValue ? arguments[i + 1].toInt(&ok) : 0;
            if (ok && port > 0 && port < 65536) {
                options.port = port;
            } else {
                std::cout << "--share-port needs a port number from 1 to 65535: ignored"
                          << std::endl;
            }
            i += hasValue ? 1 : 0;
        } else if (argument == "--share-address") {
            QHostAddress address;
            if (hasValue && address.setAddress(arguments[i + 1]) &&
                address.protocol() == QAbstractSocket::IPv4Protocol) {
                options.address = address.toString().toStdString();
            } else {
                std::cout << "--share-address needs an IPv4 address: ignored" << std::endl;
            }
            i += hasValue ? 1 : 0;
        }
    }
    if (options.share && !options.allowed) {
        std::cout << "--share refused: sharing is switched off here (BRISEL_NO_SHARE)" << std::endl;
        options.share = false;
    }
    return options;
}

ShareAddress chooseShareAddress() {
    // A UDP socket "connected" to an outside address sends nothing, but the system
    // picks the address of the default route's interface for it.
    QUdpSocket probe;
    probe.connectToHost(QHostAddress(QStringLiteral("192.0.2.1")), 9);
    if (probe.waitForConnected(200)) {
        const QHostAddress local = probe.localAddress();
        if (local.protocol() == QAbstractSocket::IPv4Protocol && !local.isLoopback() &&
            !local.isNull()) {
            return {local.toString().toStdString(), true};
        }
    }
    for (const QHostAddress& address : QNetworkInterface::allAddresses()) {
        if (address.protocol() == QAbstractSocket::IPv4Protocol && !address.isLoopback()) {
            return {address.toString().toStdString(), true};
        }
    }
    return {"127.0.0.1", false};
}

QImage makeQrImage(const std::string& text, int scale) {
    constexpr int margin = 4;
    QRcode* code = QRcode_encodeString(text.c_str(), 0, QR_ECLEVEL_M, QR_MODE_8, 1);
    if (code == nullptr) {
        return QImage();
    }
    const int side = (code->width + 2 * margin) * scale;
    QImage image(side, side, QImage::Format_Grayscale8);
    image.fill(255);
    for (int y = 0; y < code->width; ++y) {
        for (int x = 0; x < code->width; ++x) {
            if ((code->data[y * code->width + x] & 1) == 0) {
                continue;
            }
            for (int dy = 0; dy < scale; ++dy) {
                uchar* row = image.scanLine((y + margin) * scale + dy);
                std::fill_n(row + (x + margin) * scale, scale, uchar(0));
            }
        }
    }
    QRcode_free(code);
    return image;
}

std::string sharePage() {
    Q_INIT_RESOURCE(share);
    QFile file(QStringLiteral(":/share/index.html"));
    if (!file.open(QIODevice::ReadOnly)) {
        std::cout << "share: the page is missing from the resources" << std::endl;
        return std::string();
    }
    return file.readAll().toStdString();
}
