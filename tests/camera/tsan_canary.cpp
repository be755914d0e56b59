// A deliberate race for the ThreadSanitizer run: the GUI thread, inside Qt's event
// loop, and a camera-side thread write one field without a lock. The run must report
// it; a report suppressed because Qt's frames sit under ours would hide our real races.
#include <QCoreApplication>
#include <QTimer>

#include <thread>

namespace {

int unguardedFrameCount = 0;

// Not inlined, so the report names it.
__attribute__((noinline)) void cameraSideWrites() {
    for (int i = 0; i < 1000; ++i) {
        ++unguardedFrameCount;
    }
}

__attribute__((noinline)) void guiSideWrites() {
    unguardedFrameCount += 1000;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    std::thread camera(cameraSideWrites);
    QTimer::singleShot(0, &app, [] { guiSideWrites(); });
    QTimer::singleShot(50, &app, &QCoreApplication::quit);
    const int result = QCoreApplication::exec();
    camera.join();
    return result;
}
