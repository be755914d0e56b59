#pragma once

#include <QByteArray>
#include <QStandardPaths>
#include <QString>
#include <QTemporaryDir>

// What every Qt-side test process starts with, before its QGuiApplication: the
// offscreen platform and a private HOME, so the Documents folder is a temporary one.
class QtTestHome {
public:
    QtTestHome() {
        qputenv("HOME", home.path().toUtf8());
        qputenv("XDG_CONFIG_HOME", (home.path() + "/.config").toUtf8());
        qputenv("QT_QPA_PLATFORM", "offscreen");
        QStandardPaths::setTestModeEnabled(true);
    }
    QString path() const { return home.path(); }

private:
    QTemporaryDir home;
};
