#include "board_enhancer.h"

#include "calibration_store.h"
#include "enhance_steps.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <iostream>
#include <iterator>

namespace {

constexpr int blackBoard = 0;
constexpr int whiteBoard = 1;
constexpr int modeColor = 0;
constexpr int modeBlackWhite = 1;
constexpr int modeOriginal = 2;

constexpr int defaultWindow = 7;
constexpr double narrowSigma = 1.5;
constexpr double darkBoardDetailGain = 2.0;
constexpr double backgroundLevel = 230;
constexpr double greenSplitLevel = 127;
constexpr int darkBrightnessOffset = 81;
constexpr int darkContrastOffset = 70;
constexpr double overlayThreshold = 0.5;
// Contrast at which the stretch factor's denominator vanishes.
constexpr int contrastPole = 131;

int windowFor(int cellIndex) {
    if (cellIndex == -1) {
        return defaultWindow;
    }
    const std::vector<int>& windows = CalibrationStore::instance().gaussianWindows;
    if (cellIndex < 0 || cellIndex >= static_cast<int>(windows.size())) {
        std::cout << "detail map: cell " << cellIndex << " has no window size, using "
                  << defaultWindow << std::endl;
        return defaultWindow;
    }
    return windows[cellIndex];
}

// The wide blur is done on a copy shrunk by a power of two f (at least this many
// coarse pixels per sigma) and enlarged again: almost the same picture, at a fraction of
// the cost of the window's full length in both directions.
constexpr double coarsePixelsPerSigma = 3.0;

// OpenCV's sigma for a Gaussian window of w taps.
double sigmaOfWindow(int window) {
    return 0.3 * ((window - 1) * 0.5 - 1) + 0.8;
}

int shrinkFactor(double sigma) {
    int factor = 1;
    while (2 * factor * coarsePixelsPerSigma <= sigma) {
        factor *= 2;
    }
    return factor;
}

// Intermediate pictures of one thread, kept from cell to cell.
struct WideBlurScratch {
    cv::Mat grown;
    cv::Mat halved[2];
    cv::Mat blurred;
    cv::Mat enlarged;
};

// The w x w Gaussian blur (border reflected, as cv::GaussianBlur's default) of a CV_32F
// picture; a view valid until the thread's next call. The picture is first
// grown by its reflection as far as the window reaches, so that the coarse copy's own
// border is never read for the picture's pixels. Block averages blur by (f^2 - 1) / 12
// and linear enlarging by f^2 / 6 + 1 / 12 (f even): the coarse Gaussian adds the rest.
cv::Mat wideBlur(const cv::Mat& picture, int window) {
    thread_local WideBlurScratch s;
    const double sigma = sigmaOfWindow(window);
    const int f = shrinkFactor(sigma);
    const int reach = (window - 1) / 2 + f;
    const int before = (reach + f - 1) / f * f;
    const auto after = [&](int n) { return (before + n + reach + f - 1) / f * f - before - n; };
    cv::copyMakeBorder(picture, s.grown, before, after(picture.rows), before, after(picture.cols),
                       cv::BORDER_REFLECT_101);
    // Halving steps take OpenCV's fast 2 x 2 average.
    const cv::Mat* shrunk = &s.grown;
    for (int halvings = 0; (1 << halvings) < f; ++halvings) {
        cv::Mat& next = s.halved[halvings % 2];
        cv::resize(*shrunk, next, cv::Size(shrunk->cols / 2, shrunk->rows / 2), 0, 0,
                   cv::INTER_AREA);
        shrunk = &next;
    }
    // Unreduced, OpenCV's own kernel for the window (its small ones are not sampled).
    const double rest = f > 1 ? std::sqrt(std::max(sigma * sigma - f * f / 4.0, 0.0)) / f : 0.0;
    // Only the coarse pixels under the picture (and one more around, for the enlarging)
    // are blurred, reading their neighbours from the grown copy; the coarse kernel ends
    // where the window does.
    const int taps = 2 * ((window - 1) / 2 / f) + 1;
    const int first = before / f - 1;
    const cv::Rect under(first, first, (picture.cols + f - 1) / f + 2,
                         (picture.rows + f - 1) / f + 2);
    cv::GaussianBlur((*shrunk)(under), s.blurred, cv::Size(taps, taps), rest, rest,
                     cv::BORDER_REFLECT_101);
    cv::resize(s.blurred, s.enlarged, under.size() * f, 0, 0, cv::INTER_LINEAR);
    return s.enlarged(cv::Rect(f, f, picture.cols, picture.rows));
}

} // namespace

cv::Mat BoardEnhancer::detailMap(const cv::Mat& cell, int cellIndex) const {
    return detailMapWithWindow(cell, windowFor(cellIndex));
}

cv::Mat BoardEnhancer::detailMapWithWindow(const cv::Mat& picture, int window) const {
    cv::Mat floats;
    picture.convertTo(floats, CV_32F);
    cv::Mat narrow;
    cv::GaussianBlur(floats, narrow, cv::Size(0, 0), narrowSigma, narrowSigma,
                     cv::BORDER_REFLECT_101);
    cv::Mat detail;
    cv::subtract(wideBlur(floats, window), narrow, detail);
    return detail;
}

cv::Mat BoardEnhancer::adjustBrightnessContrast(const cv::Mat& picture) const {
    if (brightness == 0 && contrast == 0) {
        return picture;
    }
    cv::Mat result = picture.clone();
    adjustInPlace(result);
    return result;
}

// Element by element, so the result may overwrite the input.
void BoardEnhancer::adjustInPlace(cv::Mat& picture) const {
    const int b = brightness;
    const int q = contrast;
    if (b != 0) {
        const double shadow = b > 0 ? b : 0;
        const double highlight = b > 0 ? 255 : 255 + b;
        cv::addWeighted(picture, (highlight - shadow) / 255, picture, 0, shadow, picture);
    }
    if (q == contrastPole) {
        std::cout << "contrast " << q << " would divide by zero, contrast left out" << std::endl;
    } else if (q != 0) {
        const double f = 131.0 * (q + 127) / (127.0 * (131 - q));
        cv::addWeighted(picture, f, picture, 0, 127 * (1 - f), picture);
    }
}

std::vector<cv::Mat> BoardEnhancer::compose(const cv::Mat& live, const cv::Mat& detail, int mode,
                                            bool ar, double arVal, double details,
                                            double brightnessSetting, double contrastSetting,
                                            int boardColor, const cv::Mat& colour) {
    if (mode < modeColor || mode > modeOriginal || boardColor < blackBoard || boardColor > 2) {
        return {live, live};
    }
    brightness = static_cast<int>(brightnessSetting);
    contrast = static_cast<int>(contrastSetting);
    if (boardColor != whiteBoard) {
        brightness += darkBrightnessOffset;
        contrast -= darkContrastOffset;
    }
    last = {mode, ar, arVal, boardColor, details};
    if (mode != modeOriginal) {
        makeBoardPicture(detail, details, colour, live);
    }
    return recomposeDisplay(live);
}

std::vector<cv::Mat> BoardEnhancer::recomposeDisplay(const cv::Mat& live) {
    if (last.mode == modeOriginal) {
        if (last.boardColor == whiteBoard) {
            return {live, live};
        }
        enhance::invert(live, display);
        return {display, display};
    }
    if (!last.ar) {
        return {clean, clean};
    }
    const bool overlayBoard = last.arVal >= overlayThreshold;
    if (last.boardColor != whiteBoard) {
        enhance::invert(live, display);
        enhance::blend(clean, display, last.arVal, display);
    } else if (overlayBoard) {
        enhance::whitenInto(live, display);
        enhance::blend(clean, display, last.arVal, display);
    } else {
        enhance::blend(clean, live, last.arVal, display);
    }
    if (overlayBoard) {
        clean.copyTo(display, putBack);
    }
    return {clean, display};
}

bool BoardEnhancer::recomposeBoardRegion(const cv::Mat& detail, const cv::Mat& colour,
                                         const cv::Mat& live, const cv::Rect& region) {
    if (last.mode == modeOriginal || region.empty()) {
        return true;
    }
    if (board.size() != detail.size() || clean.size() != detail.size() ||
        (region & cv::Rect(cv::Point(), detail.size())) != region) {
        return false;
    }
    // The steps write through their buffers; pointing the buffers at the region for
    // the duration makes them patch the full pictures in place.
    cv::Mat* const buffers[] = {&board,      &grey,  &background, &twoLevel,
                                &trueColour, &clean, &putBack};
    cv::Mat full[std::size(buffers)];
    for (size_t i = 0; i < std::size(buffers); ++i) {
        full[i] = *buffers[i];
        if (full[i].size() == detail.size()) {
            *buffers[i] = full[i](region);
        }
    }
    const cv::Mat noColour;
    makeBoardPicture(detail(region), last.details,
                     colour.size() == detail.size() ? colour(region) : noColour, live(region));
    for (size_t i = 0; i < std::size(buffers); ++i) {
        *buffers[i] = full[i];
    }
    return true;
}

// Element 0 and the mask of its pixels that the overlay puts back on top.
void BoardEnhancer::makeBoardPicture(const cv::Mat& detail, double details, const cv::Mat& colour,
                                     const cv::Mat& live) {
    detail.convertTo(board, -1, details);
    if (last.boardColor != whiteBoard) {
        board.convertTo(board, -1, darkBoardDetailGain);
    }
    enhance::invert(board, board);
    if (last.boardColor == whiteBoard) {
        makeWhiteBoardPicture();
    } else if (last.mode == modeColor) {
        makeDarkColourPicture(colour, live);
    } else {
        makeDarkTwoLevelPicture();
    }
}

void BoardEnhancer::makeWhiteBoardPicture() {
    adjustInPlace(board);
    cv::cvtColor(board, grey, cv::COLOR_BGR2GRAY);
    if (last.mode == modeColor) {
        clean = board;
        if (last.ar) {
            cv::compare(grey, backgroundLevel, putBack, cv::CMP_LE);
        }
        return;
    }
    cv::compare(grey, backgroundLevel, background, cv::CMP_GT);
    cv::cvtColor(background, twoLevel, cv::COLOR_GRAY2BGR);
    clean = twoLevel;
    if (last.ar) {
        cv::bitwise_not(background, putBack);
    }
}

void BoardEnhancer::makeDarkColourPicture(const cv::Mat& colour, const cv::Mat& live) {
    cv::cvtColor(board, grey, cv::COLOR_BGR2GRAY);
    cv::compare(grey, greenSplitLevel, putBack, cv::CMP_LT);
    if (colour.size() == board.size() && colour.type() == board.type()) {
        enhance::invert(colour, trueColour);
    } else {
        std::cout << "compose: no board-colour picture yet, using the live picture" << std::endl;
        enhance::invert(live, trueColour);
    }
    trueColour.copyTo(board, putBack);
    adjustInPlace(board);
    cv::bitwise_not(putBack, background);
    board.setTo(last.boardColor == blackBoard ? cv::Scalar::all(0) : greenBackground, background);
    clean = board;
}

void BoardEnhancer::makeDarkTwoLevelPicture() {
    const bool green = last.boardColor != blackBoard;
    cv::cvtColor(board, grey, cv::COLOR_BGR2GRAY);
    cv::compare(grey, green ? greenSplitLevel : backgroundLevel, background, cv::CMP_GT);
    cv::cvtColor(background, twoLevel, cv::COLOR_GRAY2BGR);
    clean = twoLevel;
    if (!last.ar) {
        return;
    }
    if (green) {
        twoLevel.setTo(greenBackground, background);
        cv::bitwise_not(background, putBack);
    } else {
        enhance::invert(twoLevel, twoLevel);
        background.copyTo(putBack);
    }
}
