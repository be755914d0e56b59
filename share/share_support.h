#pragma once

#include <QImage>
#include <QStringList>

#include <string>

// What the command line and the environment say about sharing.
struct ShareOptions {
    bool share = false;  // --share
    int port = 0;        // --share-port N; 0: the first free one of 8080-8099
    std::string address; // --share-address A; empty: the classroom network's
    bool allowed = true; // false under BRISEL_NO_SHARE=1
};

// Reads --share, --share-port N and --share-address A; bad values get a console line
// and are ignored. `noShare` is BRISEL_NO_SHARE's value.
ShareOptions parseShareOptions(const QStringList& arguments, const QString& noShare);

struct ShareAddress {
    std::string address;
    bool network = true; // false: 127.0.0.1 because there is no network
};

// The IPv4 address of the interface of the default route, else the first non-loopback
// one, else 127.0.0.1.
ShareAddress chooseShareAddress();

// The QR code of `text`, black modules on white with the usual four-module margin,
// `scale` pixels a module; a null image when it cannot be made.
QImage makeQrImage(const std::string& text, int scale = 8);

// The page viewers open, from the program's resources.
std::string sharePage();
