#include "reference_pipeline.h"

#include "calibration_store.h"

#include <opencv2/imgproc.hpp>

namespace {

const CalibrationStore& store() {
    return CalibrationStore::instance();
}

void writeInto(const cv::Mat& cellPicture, cv::Mat& canvasPicture, const cv::Rect& cell) {
    cv::Mat converted;
    cellPicture.convertTo(converted, CV_8U);
    converted.copyTo(canvasPicture(cell));
}

} // namespace

ReferencePipeline::ReferencePipeline() {
    boardColor = store().boardColor;
}

std::vector<cv::Mat> ReferencePipeline::processFrame(const cv::Mat& input) {
    if (input.empty()) {
        return {cv::Mat(), cv::Mat()};
    }
    cv::Mat picture = input;
    if (boardColor != 1) {
        picture = cv::Scalar(255, 255, 255, 0) - input;
    }
    frame = picture.clone();
    runMotionStage();
    runPerspectiveStage();
    outputs = enhancer.compose(liveWarp, detailWarp, mode, ar, arVal, details, brightness, contrast,
                               boardColor, colourWarp);
    frameCounter = frameCounter + 1 == 101 ? 1 : frameCounter + 1;
    return outputs;
}

void ReferencePipeline::runMotionStage() {
    if (frameCounter % 2 != 0) {
        return;
    }
    motion.update(smallCorrected());
}

cv::Mat ReferencePipeline::smallCorrected() const {
    cv::Mat small;
    cv::resize(frame, small, cv::Size(store().smallFrameWidth, store().smallFrameHeight), 0, 0,
               cv::INTER_LINEAR);
    cv::Mat corrected;
    cv::remap(small, corrected, store().smallMap1, store().smallMap2, cv::INTER_LINEAR,
              cv::BORDER_CONSTANT, cv::Scalar());
    return corrected;
}

void ReferencePipeline::runPerspectiveStage() {
    if (buildCount != 0) {
        bool detailChanged = false;
        bool liveChanged = false;
        updateCells(detailChanged, liveChanged);
        if (detailChanged) {
            detailWarp = warp(detailCanvas);
            if (boardColor != 1) {
                colourWarp = warp(colourCanvas);
            }
        }
        if (liveChanged) {
            liveWarp = warp(canvas);
        }
        return;
    }
    motion.marks.resize(store().totalGrids, 0);
    motion.previousMarks.resize(store().totalGrids, 0);
    motion.setReference(smallCorrected());
    cv::remap(frame, canvas, store().map1, store().map2, cv::INTER_LINEAR, cv::BORDER_CONSTANT,
              cv::Scalar());
    detailCanvas = cv::Mat::zeros(canvas.size(), canvas.type());
    colourCanvas = cv::Mat::zeros(canvas.size(), canvas.type());
    for (int k : store().boardGrids) {
        refreshCell(k);
    }
    detailWarp = warp(detailCanvas);
    liveWarp = warp(canvas);
    if (boardColor != 1) {
        colourWarp = warp(colourCanvas);
    }
    ++buildCount;
}

void ReferencePipeline::updateCells(bool& detailChanged, bool& liveChanged) {
    for (int k : store().boardGrids) {
        if (motion.marks[k] != 0) {
            lensCorrectCell(k).copyTo(canvas(store().canvasCells[k]));
            liveChanged = true;
        } else {
            if (frameCounter % 2 != 0) {
                continue;
            }
            if (motion.previousMarks[k] > 0 && motion.settleCounts[k] <= 0) {
                motion.settleCounts[k] += 1;
            }
            if (motion.settleCounts[k] > 0) {
                motion.settleCounts[k] += 1;
                refreshCell(k);
                detailChanged = true;
            }
            if (motion.settleCounts[k] >= 1) {
                motion.settleCounts[k] = 0;
            }
        }
        if (frameCounter % 2 == 0) {
            motion.previousMarks[k] = motion.marks[k];
            if (motion.marks[k] > 0) {
                motion.marks[k] -= 1;
            }
        }
    }
}

cv::Mat ReferencePipeline::lensCorrectCell(int k) const {
    const cv::Mat source = frame(store().sourceCells[k]).clone();
    cv::Mat cell;
    cv::remap(source, cell, store().fisheyeMaps1[k], store().fisheyeMaps2[k], cv::INTER_LINEAR,
              cv::BORDER_CONSTANT, cv::Scalar());
    return cell;
}

void ReferencePipeline::refreshCell(int k) {
    const cv::Mat cell = lensCorrectCell(k);
    const cv::Rect& rect = store().canvasCells[k];
    if (boardColor != 1) {
        cell.copyTo(colourCanvas(rect));
    }
    writeInto(enhancer.detailMap(cell, k), detailCanvas, rect);
}

cv::Mat ReferencePipeline::warp(const cv::Mat& source) const {
    cv::Mat warped;
    cv::warpPerspective(source, warped, store().homography,
                        cv::Size(store().homographyWidth, store().homographyHeight),
                        cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar());
    return warped;
}

void ReferencePipeline::setSettings(int newMode, double newDetails, double newBrightness,
                                    double newContrast, bool newAr, double newArVal) {
    mode = newMode;
    details = newDetails;
    brightness = static_cast<int>(newBrightness);
    contrast = static_cast<int>(newContrast);
    ar = newAr;
    arVal = newArVal;
}

void ReferencePipeline::setBoardColor(int color) {
    if (color != boardColor) {
        boardColor = color;
        buildCount = 0;
        // The other inversion starts a new motion reference.
        motion.previousSmall.release();
    }
}
