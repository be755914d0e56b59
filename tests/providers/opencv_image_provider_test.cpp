#include "opencv_image_provider.h"

#include <gtest/gtest.h>

TEST(OpencvImageProvider, ServesAWhitePictureBeforeTheFirstUpdate) {
    OpencvImageProvider provider;
    QSize size;
    const QImage image = provider.requestImage("image", &size, QSize());
    EXPECT_EQ(image.size(), QSize(1280, 690));
    EXPECT_EQ(size, QSize(1280, 690));
    EXPECT_EQ(image.pixelColor(0, 0), QColor(Qt::white));
    EXPECT_EQ(image.pixelColor(1279, 689), QColor(Qt::white));
}

TEST(OpencvImageProvider, EveryUpdateAnnouncesItselfOnceEvenForTheSamePicture) {
    OpencvImageProvider provider;
    int announcements = 0;
    QObject::connect(&provider, &OpencvImageProvider::imageChanged, [&] { ++announcements; });
    QImage picture(4, 3, QImage::Format_RGB32);
    picture.fill(Qt::red);
    provider.updateImage(picture);
    provider.updateImage(picture);
    provider.updateImage(QImage());
    EXPECT_EQ(announcements, 3);
    EXPECT_TRUE(provider.requestImage("x", nullptr, QSize()).isNull()) << "a null image is served";
}

TEST(OpencvImageProvider, ScaledRequestsKeepTheAspectAndReplaceTheHeldPicture) {
    struct Row {
        QSize requested;
        QSize reportedSize;
        QSize served;
    };
    OpencvImageProvider provider;
    provider.updateImage(QImage(1920, 1080, QImage::Format_RGB32));
    const Row rows[] = {
        {QSize(640, 480), QSize(1920, 1080), QSize(640, 360)},
        {QSize(), QSize(640, 360), QSize(640, 360)},
        {QSize(0, 100), QSize(640, 360), QSize(640, 360)},
        {QSize(320, -1), QSize(640, 360), QSize(640, 360)},
    };
    for (const Row& row : rows) {
        QSize size;
        const QImage image = provider.requestImage("image?id=1", &size, row.requested);
        EXPECT_EQ(size, row.reportedSize) << row.requested.width();
        EXPECT_EQ(image.size(), row.served) << row.requested.width();
    }
}
