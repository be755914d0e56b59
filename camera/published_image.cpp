#include "published_image.h"

namespace {

void releasePixels(void* keptPicture) {
    delete static_cast<cv::Mat*>(keptPicture);
}

} // namespace

QImage imageOverPixels(const cv::Mat& picture) {
    if (picture.empty()) {
        return QImage();
    }
    // The heap header holds a reference on the pixel buffer until the last QImage
    // copy is gone.
    auto* kept = new cv::Mat(picture);
    return QImage(kept->data, kept->cols, kept->rows, static_cast<int>(kept->step),
                  QImage::Format_BGR888, releasePixels, kept);
}
