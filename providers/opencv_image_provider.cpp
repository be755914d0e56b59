#include "opencv_image_provider.h"

#include <QColor>

namespace {
constexpr int initialWidth = 1280;
constexpr int initialHeight = 690;
} // namespace

OpencvImageProvider::OpencvImageProvider(QObject* parent)
    : QObject(parent), QQuickImageProvider(QQmlImageProviderBase::Image),
      image(initialWidth, initialHeight, QImage::Format_RGB32) {
    image.fill(QColor("white"));
}

void OpencvImageProvider::updateImage(const QImage& newImage) {
    image = newImage;
    emit imageChanged();
}

QImage OpencvImageProvider::requestImage(const QString&, QSize* size, const QSize& requestedSize) {
    if (size != nullptr) {
        *size = image.size();
    }
    // The held image itself is replaced, so later requests start from the scaled one.
    if (requestedSize.width() > 0 && requestedSize.height() > 0) {
        image = image.scaled(requestedSize, Qt::KeepAspectRatio, Qt::FastTransformation);
    }
    return image;
}
