#include "chessboard.h"

#include "lens_maps.h"
#include "rig.h"

#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <mutex>

namespace rig {

namespace {

constexpr int texelsPerSquare = 64; // printed pattern resolution, about the photo's
constexpr int paperMargin = 1;      // white squares around the pattern
constexpr int paperCols = chessboardCols + 1 + 2 * paperMargin;
constexpr int paperRows = chessboardRows + 1 + 2 * paperMargin;
constexpr double lensBlur = 0.7; // Gaussian sigma of the lens, frame pixels
constexpr double sensorNoise = 2.0;
const cv::Scalar paperColour(222, 226, 224);
const cv::Scalar inkColour(34, 32, 30);

// The printed paper at texelsPerSquare texels per square.
const cv::Mat& paperPicture() {
    static std::once_flag once;
    static cv::Mat paper;
    std::call_once(once, [] {
        paper.create(paperRows * texelsPerSquare, paperCols * texelsPerSquare, CV_8UC3);
        paper.setTo(paperColour);
        for (int r = 0; r <= chessboardRows; ++r) {
            for (int c = 0; c <= chessboardCols; ++c) {
                if ((r + c) % 2 == 0) {
                    const cv::Rect square((c + paperMargin) * texelsPerSquare,
                                          (r + paperMargin) * texelsPerSquare, texelsPerSquare,
                                          texelsPerSquare);
                    paper(square).setTo(inkColour);
                }
            }
        }
    });
    return paper;
}

// Per frame pixel the viewing ray as undistorted normalised coordinates (x/z, y/z),
// and the mask of the pixels outside the image circle; once per process.
struct Rays {
    cv::Mat normalised; // CV_32FC2, frame size
    cv::Mat outside;    // CV_8U, 255 outside the image circle
};

const Rays& frameRays() {
    static std::once_flag once;
    static Rays rays;
    std::call_once(once, [] {
        const Camera cam = camera();
        const cv::Mat kFull = lens_maps::fullCameraMatrix(cam.k);
        const int w = lens_maps::fullFrameWidth;
        const int h = lens_maps::fullFrameHeight;
        cv::Mat pixels(h, w, CV_32FC2);
        for (int y = 0; y < h; ++y) {
            cv::Vec2f* p = pixels.ptr<cv::Vec2f>(y);
            for (int x = 0; x < w; ++x) {
                p[x] = cv::Vec2f(static_cast<float>(x), static_cast<float>(y));
            }
        }
        cv::fisheye::undistortPoints(pixels.reshape(2, 1), rays.normalised, kFull, cam.d);
        rays.normalised = rays.normalised.reshape(2, h);
        const double fx = kFull.at<double>(0, 0), fy = kFull.at<double>(1, 1);
        const double cx = kFull.at<double>(0, 2), cy = kFull.at<double>(1, 2);
        rays.outside = cv::Mat::zeros(h, w, CV_8U);
        for (int y = 0; y < h; ++y) {
            unsigned char* o = rays.outside.ptr<unsigned char>(y);
            for (int x = 0; x < w; ++x) {
                o[x] = std::hypot((x - cx) / fx, (y - cy) / fy) > imageCircle ? 255 : 0;
            }
        }
    });
    return rays;
}

// Rotation of the paper into the camera: facing the camera along the ray to its
// centre, upright, then turned by the pose's tilt; and the centre itself.
void paperPlacement(const ChessboardPose& pose, cv::Matx33d& rotation, cv::Vec3d& centre) {
    const Camera cam = camera();
    const cv::Mat kFull = lens_maps::fullCameraMatrix(cam.k);
    std::vector<cv::Point2d> aim{pose.aim}, ray;
    cv::fisheye::undistortPoints(aim, ray, kFull, cam.d);
    const cv::Vec3d z = cv::normalize(cv::Vec3d(ray[0].x, ray[0].y, 1.0));
    const cv::Vec3d x = cv::normalize(cv::Vec3d(1, 0, 0) - z[0] * z);
    const cv::Vec3d y = z.cross(x);
    const cv::Matx33d facing(x[0], y[0], z[0], x[1], y[1], z[1], x[2], y[2], z[2]);
    cv::Matx33d turn;
    cv::Rodrigues(pose.tilt, turn);
    rotation = facing * turn;
    centre = pose.distance * z;
}

// The paper point (X, Y) in squares from the paper's centre, as texel coordinates.
cv::Matx33d paperToTexels() {
    const double t = texelsPerSquare;
    // Texel i covers [i, i + 1) squares * t; remap samples at texel centres.
    return cv::Matx33d(t, 0, paperCols * t / 2 - 0.5, 0, t, paperRows * t / 2 - 0.5, 0, 0, 1);
}

} // namespace

std::vector<ChessboardPose> chessboardPoses() {
    const double cx = lens_maps::fullFrameWidth / 2.0;
    const double cy = lens_maps::fullFrameHeight / 2.0;
    // Frame pixels from the centre; the edge views reach the rim of the image circle,
    // farther away so that the whole pattern stays inside it.
    struct Aim {
        double dx, dy;
        bool edge;
    };
    const Aim aims[] = {{-1330, 0, true}, {-680, 0, false},   {0, 0, false},
                        {680, 0, false},  {1330, 0, true},    {-1100, -700, true},
                        {0, -720, false}, {1100, -700, true}, {-1100, 700, true},
                        {0, 720, false},  {1100, 700, true}};
    std::vector<ChessboardPose> poses;
    int i = 0;
    for (const Aim& a : aims) {
        // Turned alternately about both paper axes, so that the views disagree in depth.
        const double sx = (i % 2 == 0) ? 1.0 : -1.0;
        const double sy = (i % 3 == 0) ? 1.0 : -1.0;
        poses.push_back({cv::Point2d(cx + a.dx, cy + a.dy), a.edge ? 23.0 : 18.0,
                         cv::Vec3d(0.35 * sy, 0.35 * sx, 0.15 * sx * sy)});
        ++i;
    }
    // A strongly turned view in the middle pins the focal length.
    poses.push_back({cv::Point2d(cx - 250, cy - 150), 15.0, cv::Vec3d(0.2, 0.75, 0.1)});
    return poses;
}

cv::Mat chessboardPhoto(const ChessboardPose& pose, std::uint64_t seed) {
    const Rays& rays = frameRays();
    cv::Matx33d rotation;
    cv::Vec3d centre;
    paperPlacement(pose, rotation, centre);
    // Paper plane (X, Y, 1) -> normalised camera coordinates, and back.
    const cv::Matx33d toCamera(rotation(0, 0), rotation(0, 1), centre[0], rotation(1, 0),
                               rotation(1, 1), centre[1], rotation(2, 0), rotation(2, 1),
                               centre[2]);
    const cv::Matx33d toTexels = paperToTexels() * toCamera.inv();
    cv::Mat homogeneous;
    cv::transform(rays.normalised, homogeneous, cv::Mat(toTexels));
    cv::Mat channels[3];
    cv::split(homogeneous, channels);
    // Rays that meet the paper's plane behind the camera do not see it.
    const cv::Mat behind = channels[2] <= 1e-6f;
    cv::Mat mapX, mapY;
    cv::divide(channels[0], channels[2], mapX);
    cv::divide(channels[1], channels[2], mapY);
    mapX.setTo(-1.0e5f, behind);
    mapY.setTo(-1.0e5f, behind);

    cv::Mat photo(rays.normalised.size(), CV_8UC3);
    for (int y = 0; y < photo.rows; ++y) {
        const double t = static_cast<double>(y) / photo.rows;
        photo.row(y).setTo(cv::Scalar(150, 160, 168) * (1.05 - 0.15 * t));
    }
    cv::remap(paperPicture(), photo, mapX, mapY, cv::INTER_LINEAR, cv::BORDER_TRANSPARENT);
    photo.setTo(cv::Scalar::all(0), rays.outside);
    cv::GaussianBlur(photo, photo, cv::Size(), lensBlur);
    cv::RNG rng(seed * 2654435761u + static_cast<std::uint64_t>(pose.aim.x * 7 + pose.aim.y));
    cv::Mat noise(photo.size(), CV_16SC3);
    rng.fill(noise, cv::RNG::NORMAL, 0.0, sensorNoise);
    cv::Mat sum;
    cv::add(photo, noise, sum, cv::noArray(), CV_16SC3);
    sum.convertTo(photo, CV_8UC3);

    return photo;
}

std::vector<cv::Point2f> chessboardCorners(const ChessboardPose& pose) {
    cv::Matx33d rotation;
    cv::Vec3d centre;
    paperPlacement(pose, rotation, centre);
    std::vector<cv::Point3d> object;
    for (int r = 0; r < chessboardRows; ++r) {
        for (int c = 0; c < chessboardCols; ++c) {
            object.emplace_back(c + 1 - (chessboardCols + 1) / 2.0,
                                r + 1 - (chessboardRows + 1) / 2.0, 0.0);
        }
    }
    cv::Vec3d rvec;
    cv::Rodrigues(rotation, rvec);
    const Camera cam = camera();
    std::vector<cv::Point2d> image;
    cv::fisheye::projectPoints(object, image, rvec, centre, lens_maps::fullCameraMatrix(cam.k),
                               cam.d);
    return std::vector<cv::Point2f>(image.begin(), image.end());
}

bool writeChessboardPhotos(const std::string& dir, std::uint64_t seed) {
    const std::string folder = dir + "/chessboard";
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    if (ec) {
        std::cout << "cannot create " << folder << std::endl;
        return false;
    }
    const std::vector<ChessboardPose> poses = chessboardPoses();
    // JPEG, as the camera's snapshots are; quality high enough not to move the corners.
    const std::vector<int> params{cv::IMWRITE_JPEG_QUALITY, 95};
    for (size_t i = 0; i < poses.size(); ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "/photo_%02zu.jpg", i + 1);
        if (!cv::imwrite(folder + name, chessboardPhoto(poses[i], seed), params)) {
            std::cout << "cannot write " << folder << name << std::endl;
            return false;
        }
    }
    return true;
}

} // namespace rig
