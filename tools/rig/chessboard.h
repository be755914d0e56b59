#pragma once

// Photos of a printed chessboard taken through the rig's lens: what a camera maker
// holds in front of the camera to calibrate it. The boards are spread over the whole
// field of view, out to the edges of the image circle, since the edge views decide the
// distortion coefficients. OpenCV only.

#include <opencv2/core.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace rig {

// The printed pattern: inner corners, as cv::findChessboardCorners counts them, and a
// white paper margin of one square around the squares.
constexpr int chessboardCols = 9;
constexpr int chessboardRows = 6;

// One board position: the paper's centre is seen at frame pixel `aim`, `distance`
// squares from the camera, facing the camera and then turned by `tilt` (a rotation
// vector in the paper's own axes, radians).
struct ChessboardPose {
    cv::Point2d aim;
    double distance;
    cv::Vec3d tilt;
};

// The fixed set of poses: a row of five across the middle, from rim to rim of the image
// circle, three above, three below, and a strongly tilted view in the middle.
std::vector<ChessboardPose> chessboardPoses();

// Renders the photo of one pose (3840 x 2160 BGR) with lens blur and sensor noise
// drawn from the seed.
cv::Mat chessboardPhoto(const ChessboardPose& pose, std::uint64_t seed);

// Where the pattern's inner corners appear in that photo, frame pixels, row by row.
std::vector<cv::Point2f> chessboardCorners(const ChessboardPose& pose);

// Writes DIR/chessboard/photo_NN.jpg, one per pose. False with a console line when a
// write failed.
bool writeChessboardPhotos(const std::string& dir, std::uint64_t seed);

} // namespace rig
