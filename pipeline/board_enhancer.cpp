#include "board_enhancer.h"

#include "calibration_store.h"
#include "enhance_steps.h"

#include <opencv2/imgproc.hpp>

#include <iostream>

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

// Separable w x w Gaussian: the column kernel down the picture, then down its transpose.
void wideBlur(const cv::Mat& picture, int window, cv::Mat& result) {
    const cv::Mat kernel = cv::getGaussianKernel(window, 0, CV_64F);
    cv::Mat columns;
    cv::filter2D(picture, columns, -1, kernel, cv::Point(-1, -1), 0, cv::BORDER_REFLECT_101);
    cv::Mat transposed = columns.t();
    cv::Mat rows;
    cv::filter2D(transposed, rows, -1, kernel, cv::Point(-1, -1), 0, cv::BORDER_REFLECT_101);
    result = rows.t();
}

} // namespace

cv::Mat BoardEnhancer::detailMap(const cv::Mat& cell, int cellIndex) const {
    return detailMapWithWindow(cell, windowFor(cellIndex));
}

cv::Mat BoardEnhancer::detailMapWithWindow(const cv::Mat& picture, int window) const {
    cv::Mat floats;
    picture.convertTo(floats, CV_32F);
    cv::Mat wide;
    wideBlur(floats, window, wide);
    cv::Mat narrow;
    cv::GaussianBlur(floats, narrow, cv::Size(0, 0), narrowSigma, narrowSigma,
                     cv::BORDER_REFLECT_101);
    cv::Mat detail;
    cv::subtract(wide, narrow, detail);
    return detail;
}

cv::Mat BoardEnhancer::adjustBrightnessContrast(const cv::Mat& picture) const {
    const int b = brightness;
    const int q = contrast;
    if (b == 0 && q == 0) {
        return picture;
    }
    cv::Mat result = picture;
    if (b != 0) {
        const double shadow = b > 0 ? b : 0;
        const double highlight = b > 0 ? 255 : 255 + b;
        cv::Mat lifted;
        cv::addWeighted(picture, (highlight - shadow) / 255, picture, 0, shadow, lifted);
        result = lifted;
    }
    if (q == contrastPole) {
        std::cout << "contrast " << q << " would divide by zero, contrast left out" << std::endl;
    } else if (q != 0) {
        const double f = 131.0 * (q + 127) / (127.0 * (131 - q));
        cv::Mat stretched;
        cv::addWeighted(result, f, result, 0, 127 * (1 - f), stretched);
        result = stretched;
    }
    return result;
}

std::vector<cv::Mat> BoardEnhancer::compose(const cv::Mat& live, const cv::Mat& detail, int mode,
                                            bool ar, double arVal, double details,
                                            double brightnessSetting, double contrastSetting,
                                            int boardColor, const cv::Mat& colour) {
    if (mode < modeColor || mode > modeOriginal || boardColor < blackBoard || boardColor > 2) {
        return {live, live};
    }
    cv::Mat board;
    detail.convertTo(board, -1, details);
    if (boardColor != whiteBoard) {
        board.convertTo(board, -1, darkBoardDetailGain);
    }
    enhance::invert(board, board);
    brightness = static_cast<int>(brightnessSetting);
    contrast = static_cast<int>(contrastSetting);
    if (boardColor != whiteBoard) {
        brightness += darkBrightnessOffset;
        contrast -= darkContrastOffset;
    }
    if (boardColor == whiteBoard) {
        return composeWhite(live, board, mode, ar, arVal);
    }
    return composeDark(live, board, mode, ar, arVal, boardColor, colour);
}

std::vector<cv::Mat> BoardEnhancer::composeWhite(const cv::Mat& live, cv::Mat board, int mode,
                                                 bool ar, double arVal) const {
    board = adjustBrightnessContrast(board);
    if (mode == modeOriginal) {
        return {live, live};
    }
    cv::Mat clean = board;
    cv::Mat background;
    if (mode == modeBlackWhite) {
        background = enhance::gray(board) > backgroundLevel;
        cv::cvtColor(background, clean, cv::COLOR_GRAY2BGR);
    }
    if (!ar) {
        return {clean, clean};
    }
    cv::Mat content =
        mode == modeBlackWhite ? ~background : enhance::gray(board) <= backgroundLevel;
    cv::Mat display = live.clone();
    if (arVal >= overlayThreshold) {
        enhance::whiten(display);
        enhance::blend(clean, display, arVal, display);
        clean.copyTo(display, content);
    } else {
        enhance::blend(clean, display, arVal, display);
    }
    return {clean, display};
}

std::vector<cv::Mat> BoardEnhancer::composeDark(const cv::Mat& live, cv::Mat board, int mode,
                                                bool ar, double arVal, int boardColor,
                                                const cv::Mat& colour) const {
    const bool green = boardColor != blackBoard;
    if (mode == modeOriginal) {
        cv::Mat camera;
        enhance::invert(live, camera);
        return {camera, camera};
    }
    if (mode == modeColor) {
        const cv::Mat content = enhance::gray(board) < greenSplitLevel;
        cv::Mat trueColour;
        if (colour.size() == board.size() && colour.type() == board.type()) {
            enhance::invert(colour, trueColour);
        } else {
            std::cout << "compose: no board-colour picture yet, using the live picture"
                      << std::endl;
            enhance::invert(live, trueColour);
        }
        trueColour.copyTo(board, content);
        board = adjustBrightnessContrast(board);
        board.setTo(green ? greenBackground : cv::Scalar::all(0), ~content);
        if (!ar) {
            return {board, board};
        }
        cv::Mat display;
        enhance::invert(live, display);
        enhance::blend(board, display, arVal, display);
        if (arVal >= overlayThreshold) {
            board.copyTo(display, content);
        }
        return {board, display};
    }
    const cv::Mat background = enhance::gray(board) > (green ? greenSplitLevel : backgroundLevel);
    cv::Mat clean;
    cv::cvtColor(background, clean, cv::COLOR_GRAY2BGR);
    if (!ar) {
        return {clean, clean};
    }
    if (green) {
        clean.setTo(greenBackground, background);
    } else {
        enhance::invert(clean, clean);
    }
    cv::Mat display;
    enhance::invert(live, display);
    enhance::blend(clean, display, arVal, display);
    if (arVal >= overlayThreshold) {
        clean.copyTo(display, green ? ~background : background);
    }
    return {clean, display};
}
