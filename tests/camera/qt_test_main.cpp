// Test entry for the Qt-side libraries: a GUI application on the offscreen platform,
// a private HOME (so the Documents folder is a temporary one) and a private working
// directory (log.txt, calib_data).
#include "qt_test_home.h"

#include <QDir>
#include <QGuiApplication>

#ifdef BRISEL_TSAN
#include <opencv2/core.hpp>
#endif

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    QtTestHome home;
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
