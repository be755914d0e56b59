#pragma once

#include <QImage>
#include <QObject>
#include <QQuickImageProvider>

// Hands the latest picture of the camera object to QML. Holds one image, replaced on
// every update; QML varies the request id only to defeat its cache.
class OpencvImageProvider : public QObject, public QQuickImageProvider {
    Q_OBJECT
public:
    explicit OpencvImageProvider(QObject* parent = nullptr);

    QImage requestImage(const QString& id, QSize* size, const QSize& requestedSize) override;

signals:
    void imageChanged();

public slots:
    void updateImage(const QImage& image);

private:
    QImage image;
};
