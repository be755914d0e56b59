// Test entry for the Qt-side libraries: a GUI application on the offscreen platform,
// a private HOME (so the Documents folder is a temporary one) and a private working
// directory (log.txt, calib_data).
#include <QDir>
#include <QGuiApplication>
#include <QStandardPaths>
#include <QTemporaryDir>

#ifdef BRISEL_TSAN
#include <opencv2/core.hpp>
#endif

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    QTemporaryDir home;
    qputenv("HOME", home.path().toUtf8());
    qputenv("XDG_CONFIG_HOME", (home.path() + "/.config").toUtf8());
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QStandardPaths::setTestModeEnabled(true);
    QDir(home.path()).mkpath("work");
    QDir::setCurrent(home.path() + "/work");
#ifdef BRISEL_TSAN
    // OpenCV's own worker threads are not instrumented; ours are what is checked.
    cv::setNumThreads(1);
#endif
    QGuiApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
