#pragma once

// The synthetic camera rig: a deterministic fisheye model of a 3840 x 2160 board
// camera, the calib_data it implies, and scenes of a board (white, black or green)
// with strokes, a still stretch and then a presenter walking across, together with
// their ground truth. OpenCV only.
//
// Geometry (verified by verifyGeometry and the tests):
//  - model for 640 x 360 frames: K = [f 0 cx; 0 f cy; 0 0 1], f = 200, c = (320, 180),
//    small fisheye coefficients D;
//  - small maps as the store makes them (P = K, principal point + (300, 50), 1240 x 460);
//  - full maps: the same camera at six times the resolution (lens_maps::makeFullMaps),
//    7440 x 2660, padded to a 7440 x 2760 canvas whose cells (186 x 138) are exactly
//    6 x the small cells (31 x 23): canvas pixel (u, v) <-> small pixel
//    ((u - 2.5) / 6, (v - 2.5) / 6);
//  - the board is a plane whose picture on the canvas is the quadrilateral `corners`;
//    the true homography maps it to the 1920 x h board picture.

#include "mjpeg_avi.h"

#include <opencv2/core.hpp>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace rig {

enum class Board { Black = 0, White = 1, Green = 2 }; // the board colour codes

// "white", "black", "green" <-> Board; false for another name.
bool parseBoard(const std::string& name, Board& board);
std::string boardName(Board board);

struct Palette {
    cv::Scalar surface;
    std::vector<cv::Scalar> inks;
};
Palette palette(Board board);

struct Camera {
    cv::Mat k; // 3 x 3 CV_64F, for 640 x 360 frames
    cv::Mat d; // 4 x 1 CV_64F
};

// The rig's camera. The lens is fixed (the seed does not change it), so every
// generated calib_data is the same.
Camera camera();

// The true board corners on the canvas (TL, TR, BR, BL, canvas pixels), fixed.
std::array<cv::Point2f, 4> canvasCorners();
constexpr int canvasWidth = 7440;
constexpr int canvasHeight = 2760;
// The same corners as fractions of the calibration picture (canvas), TL, TR, BR, BL:
// what a user clicking the true corners writes into p1x ... p4y.
std::array<cv::Point2f, 4> cornerFractions();
// Height of the board picture that BoardCalibrator::calibrate chooses for these corners
// (the width is 1920).
int boardPictureHeight();
constexpr int boardPictureWidth = 1920;
// Beyond this distorted angle (radians) the rig frame shows the black outside of the
// fisheye image circle.
constexpr double imageCircle = 1.40;
// Canvas -> board picture, the transform calibrate computes from the true corners.
cv::Mat trueHomography();

// Full-resolution maps (padded to the canvas) and small maps of the rig camera.
void fullMaps(cv::Mat& map1Padded, cv::Mat& map2Padded);
void smallMaps(cv::Mat& map1, cv::Mat& map2);

// Writes DIR/calib_data/{map1.png, map2.png, intrinsic.xml, distortion.xml} (the
// folder is created). False with a console line when a write failed.
bool writeCalibData(const std::string& dir);

// Checks that every board cell's map entries (with their bilinear neighbours) lie
// inside its grown source window, that no board cell touches the padding rows, and
// that the small and full maps show the same view. Returns false with a report.
bool verifyGeometry(std::string& report);

struct SceneConfig {
    Board board = Board::White;
    int frames = 90; // total frames
    int still = 30;  // frames before the presenter enters
    std::uint64_t seed = 1;
    double noise = 1.5; // sensor noise, standard deviation in grey levels
    // Size of the presenter against one standing at the board: above 1 he walks closer
    // to the camera and covers more of the picture.
    double presenterScale = 1.0;
};

// A scene: renders frame i as the camera would capture it (3840 x 2160 BGR).
class Scene {
public:
    explicit Scene(const SceneConfig& config);

    const SceneConfig& config() const { return cfg; }
    // The true straightened board (1920 x boardPictureHeight(), BGR): the board as the
    // pipeline should show it, without the presenter.
    const cv::Mat& truthBoard() const { return board; }
    // Frame i (0 <= i < frames): the board, from i >= still the presenter in front.
    cv::Mat frame(int i) const;
    // The board plane as seen at frame i (board picture plus its surroundings and the
    // presenter), the picture the camera images; for tests.
    cv::Mat planePicture(int i) const;
    // Where the presenter is at frame i, in board picture pixels (empty before still).
    cv::Rect presenterBox(int i) const;

    // Frame pixels -> plane picture coordinates (CV_32FC2, 3840 x 2160), shared by all
    // scenes of the process.
    static const cv::Mat& frameToPlane();
    static constexpr int planeMargin = 320; // plane picture = board + this on each side

private:
    SceneConfig cfg;
    cv::Mat board; // truth board picture
    cv::Mat plane; // board with surroundings, no presenter
    cv::Scalar wall;
};

// The scene's MJPG recording: camera-like JPEGs (see mjpeg_avi.h), some of them damaged.
// The frames are the scene's with more sensor noise: a 4K camera's noise is what makes
// its JPEGs about 1 MB at quality 90 (0.7 MB with the scene's own noise).
struct VideoConfig {
    bool write = false;
    int quality = 90;
    double noise = 3.0;                // sensor noise of the video frames, standard deviation
    int damageEvery = 0;               // every Nth frame cut short (0: none)
    int corruptEvery = 0;              // every Nth frame with corrupt bytes in its scan (0: none)
    JpegQuirk quirk = JpegQuirk::None; // how every frame is shaped, whole all the same
};

// Frame i of a scene as its video records it: with sensor noise `noise` in all.
cv::Mat withVideoNoise(const cv::Mat& frame, const SceneConfig& config, int i, double noise);

// The board plane around a board picture: wall, the board's frame, a pen tray.
cv::Mat planeAround(const cv::Mat& board);
// A presenter standing in `box` (plane picture pixels), in step `phase` of a walk.
void drawPresenter(cv::Mat& plane, const cv::Rect& box, int phase, std::uint64_t seed);
// The camera frame of a plane picture: the fisheye view, black outside the image
// circle, sensor noise of the given deviation drawn from the seed.
cv::Mat imagePlane(const cv::Mat& plane, double noise, std::uint64_t noiseSeed);

// Writes a whole scene: DIR/scene_<board>/f_%04d.png, DIR/truth_<board>/corners.txt and
// board.png, with `video.write` also DIR/scene_<board>.avi (MJPG, 30 fps).
bool writeScene(const std::string& dir, const SceneConfig& config, const VideoConfig& video);

// Peak signal-to-noise ratio of two pictures of one size and type, in dB.
double psnr(const cv::Mat& a, const cv::Mat& b);

// Calibrates the board of the working directory's calib_data on `frame`, a picture of
// the rig, at the rig's true corners, and loads the store: false when anything fails.
bool calibrateAtTrueCorners(const cv::Mat& frame);

// The share of `of`'s set pixels that lie within `reach` pixels of `near`'s.
double shareNear(const cv::Mat& of, const cv::Mat& near, int reach);

} // namespace rig
