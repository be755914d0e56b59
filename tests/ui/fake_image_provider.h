#pragma once

#include <QColor>
#include <QImage>
#include <QObject>
#include <QQuickImageProvider>
#include <QStringList>

// Serves one solid picture and remembers every id it was asked for.
class FakeImageProvider : public QObject, public QQuickImageProvider {
    Q_OBJECT
public:
    explicit FakeImageProvider(QColor colour, QSize pictureSize = QSize(1920, 1080))
        : QQuickImageProvider(QQmlImageProviderBase::Image),
          picture(pictureSize, QImage::Format_RGB32) {
        picture.fill(colour);
    }

    QImage requestImage(const QString& id, QSize* size, const QSize&) override {
        requestedIds.append(id);
        if (size)
            *size = picture.size();
        return picture;
    }

    QStringList requestedIds;

signals:
    // A new picture, as the real provider announces after every update.
    void imageChanged();

private:
    QImage picture;
};
