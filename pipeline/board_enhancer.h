#pragma once

#include <opencv2/core.hpp>

#include <vector>

// The numeric core of the board enhancement: the per-cell detail map, the
// brightness/contrast adjustment and the composition of the two output pictures.
class BoardEnhancer {
public:
    // Wide Gaussian blur (window from the cell's entry of gaussianWindows, 7 for
    // cell -1) minus a narrow one (sigma 1.5): positive on dark strokes. CV_32FC3.
    // The wide blur is computed on a reduced copy: within about half a level of the
    // exact one.
    cv::Mat detailMap(const cv::Mat& cell, int cellIndex) const;
    // The same with an explicit odd window size of the wide blur.
    cv::Mat detailMapWithWindow(const cv::Mat& picture, int window) const;

    // Uses the fields brightness and contrast; returns the input itself when both are 0.
    cv::Mat adjustBrightnessContrast(const cv::Mat& picture) const;

    // Element 0: clean board picture; element 1: display picture (the same buffer
    // where both are the same picture). The pictures live in the enhancer's buffers
    // (or are the live picture) until the next call.
    std::vector<cv::Mat> compose(const cv::Mat& live, const cv::Mat& detail, int mode, bool ar,
                                 double arVal, double details, double brightness, double contrast,
                                 int boardColor, const cv::Mat& colour);

    // The display picture of the last compose for a new live picture: the board
    // picture and the settings of that call are kept, so a moving presenter over an
    // unchanged board costs only the overlay.
    std::vector<cv::Mat> recomposeDisplay(const cv::Mat& live);
    // Redoes the board picture of the last compose inside `region` only, after the
    // detail (and colour) pictures changed there; every step is per pixel. Returns
    // false (nothing done) when there is no board picture of that size to patch.
    bool recomposeBoardRegion(const cv::Mat& detail, const cv::Mat& colour, const cv::Mat& live,
                              const cv::Rect& region);

    int brightness = -81;
    int contrast = 70;
    cv::Scalar greenBackground{0, 80, 0, 0};

private:
    struct Composition {
        int mode = 0;
        bool ar = true;
        double arVal = 0.5;
        int boardColor = 1;
        double details = 4.0;
    };

    void adjustInPlace(cv::Mat& picture) const;
    void makeBoardPicture(const cv::Mat& detail, double details, const cv::Mat& colour,
                          const cv::Mat& live);
    void makeWhiteBoardPicture();
    void makeDarkColourPicture(const cv::Mat& colour, const cv::Mat& live);
    void makeDarkTwoLevelPicture();

    // Buffers kept from frame to frame; the returned pictures share them.
    Composition last;
    cv::Mat board;
    cv::Mat grey;
    cv::Mat background;
    cv::Mat twoLevel;
    cv::Mat trueColour;
    cv::Mat clean;
    cv::Mat putBack;
    cv::Mat display;
};
