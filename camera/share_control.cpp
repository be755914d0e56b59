#include "share_control.h"

#include "snapshot_files.h"

#include <iostream>

ShareControl::ShareControl(Hooks given) : hooks(std::move(given)) {
    timer.setInterval(1000);
    QObject::connect(&timer, &QTimer::timeout, &timer, [this] { tick(); });
}

bool ShareControl::turn(bool on) {
    if (on == shareOn) {
        return false;
    }
    if (on && !allowed()) {
        std::cout << "share refused: sharing is switched off here (BRISEL_NO_SHARE)" << std::endl;
        return false;
    }
    shareOn = on;
    LogFile log;
    if (shareOn) {
        if (board.start()) {
            std::cout << "share: " << board.url().toStdString() << std::endl;
        }
        log.writeLine("share on");
        timer.start();
    } else {
        board.stop();
        log.writeLine("share off");
        timer.stop();
    }
    viewerCount = 0;
    return true;
}

void ShareControl::tick() {
    constexpr int addressCheckTicks = 5;
    if (++ticks % addressCheckTicks == 0 && board.followAddress()) {
        std::cout << "share: " << board.url().toStdString() << std::endl;
        hooks.qrChanged();
        hooks.stateChanged();
    }
    const int viewers = board.viewers();
    if (viewers != viewerCount) {
        viewerCount = viewers;
        hooks.stateChanged();
    }
}
