#include "calibration_flow.h"

#include "calibration_store.h"
#include "published_image.h"

#include <iostream>
#include <string>
#include <utility>
#include <vector>

QImage CalibrationFlow::picture(const cv::Mat& frame) {
    calibrationFrame = boardCalibrator.undistortForCalibration(frame);
    return imageOverPixels(calibrationFrame);
}

bool CalibrationFlow::setCorner(int index, double value) {
    if (corners[index] == value) {
        return false;
    }
    corners[index] = value;
    return true;
}

bool CalibrationFlow::setLastCorner(double value) {
    const bool begun = std::exchange(newSet, false);
    return setCorner(cornerValues - 1, value) || begun;
}

CalibrationFlow::Outcome CalibrationFlow::calibrate(const std::function<void()>& calibrated) {
    std::cout << "Received all board corners" << std::endl;
    std::vector<cv::Point2f> points;
    for (int k = 0; k < cornerValues / 2; ++k) {
        const double x = corners[2 * k];
        const double y = corners[2 * k + 1];
        std::cout << "p" << k + 1 << " : " << x << " " << y << std::endl;
        points.emplace_back(static_cast<float>(x), static_cast<float>(y));
    }
    std::string unsaved;
    if (!boardCalibrator.calibrate(points, &unsaved)) {
        std::cout << "Saving calibration files failed, the previous calibration stays in force"
                  << std::endl;
        // Clicking again cannot help when the files could not be written.
        return {false, unsaved.empty()
                           ? QStringLiteral("Corners refused: click the four board corners again")
                           : QStringLiteral("Calibration could not be saved: ") +
                                 QString::fromStdString(unsaved)};
    }
    std::cout << "Saving calibration files done!!!" << std::endl;
    CalibrationStore::instance().reload();
    calibrated();
    std::cout << "after calibration!" << std::endl;
    return {true, QString()};
}
