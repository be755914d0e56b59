#include "camera_platform.h"
#include "opencv_image_provider.h"
#include "share_support.h"
#include "video_streamer.h"

#include <QDebug>
#include <QGuiApplication>
#include <QProcess>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QQuickStyle>
#include <QUrl>

int main(int argc, char* argv[]) {
    // Before any thread starts: Qt's and OpenCV's threads read the environment.
    limitCaptureReadTimeout();
    QGuiApplication app(argc, argv);
    QCoreApplication::setApplicationVersion("0.0.13");

    qDebug() << "start updater";
    // The updater is optional; the application runs whether or not it starts.
    QProcess::startDetached("downloader.exe", QStringList());

    QQuickStyle::setStyle("Material");
    QQmlApplicationEngine engine;
    VideoStreamer camera;
    auto* liveProvider = new OpencvImageProvider();
    auto* calibrationProvider = new OpencvImageProvider();
    auto* shareQrProvider = new OpencvImageProvider();

    QQmlContext* context = engine.rootContext();
    context->setContextProperty("VideoStreamer", &camera);
    context->setContextProperty("liveImageProvider", liveProvider);
    engine.addImageProvider("live", liveProvider);
    context->setContextProperty("calibrateImageProvider", calibrationProvider);
    engine.addImageProvider("calibrateImage", calibrationProvider);
    engine.addImageProvider("shareQr", shareQrProvider);

    const QUrl url(QStringLiteral("qrc:/main.qml"));
    engine.load(url);

    QObject::connect(&camera, &VideoStreamer::newImage, liveProvider,
                     &OpencvImageProvider::updateImage);
    QObject::connect(&camera, &VideoStreamer::imageForCalibration, calibrationProvider,
                     &OpencvImageProvider::updateImage);
    QObject::connect(&camera, &VideoStreamer::shareQr, shareQrProvider,
                     &OpencvImageProvider::updateImage);
    const ShareOptions shareOptions =
        parseShareOptions(QCoreApplication::arguments(), qEnvironmentVariable("BRISEL_NO_SHARE"));
    camera.setShareOptions(shareOptions);
    camera.setShare(shareOptions.share);
    return QGuiApplication::exec();
}
