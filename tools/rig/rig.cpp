#include "rig.h"

#include "board_calibrator.h"
#include "calibration_store.h"
#include "cell_grid.h"
#include "lens_maps.h"
#include "mjpeg_avi.h"

#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <sstream>

namespace rig {

namespace {

// Handwriting-like strokes, a few words, a box and a diagram; all from the seed.
void drawStrokes(cv::Mat& pic, const Palette& pal, cv::RNG& rng) {
    const int w = pic.cols;
    const int h = pic.rows;
    const int widths[] = {3, 5, 8, 12};
    // Lines of "writing": wavy polylines.
    for (int line = 0; line < 9; ++line) {
        const int y = 110 + line * (h - 220) / 9;
        int x = 80 + rng.uniform(0, 120);
        const int end = w - 80 - rng.uniform(0, 500);
        const cv::Scalar ink = pal.inks[line % pal.inks.size()];
        const int thick = widths[rng.uniform(0, 4)];
        while (x < end) {
            const int wordLength = rng.uniform(60, 220);
            std::vector<cv::Point> pts;
            const double freq = rng.uniform(0.05, 0.12);
            const double amp = rng.uniform(10.0, 28.0);
            const double phase = rng.uniform(0.0, 6.28);
            for (int t = 0; t <= wordLength; t += 4) {
                pts.emplace_back(x + t, y + static_cast<int>(amp * std::sin(freq * t + phase) +
                                                             0.4 * amp * std::sin(0.31 * t)));
            }
            cv::polylines(pic, pts, false, ink, thick, cv::LINE_AA);
            x += wordLength + rng.uniform(30, 70);
        }
    }
    const cv::Scalar ink0 = pal.inks[0];
    const cv::Scalar ink1 = pal.inks[1 % pal.inks.size()];
    const cv::Scalar ink2 = pal.inks[2 % pal.inks.size()];
    cv::putText(pic, "Brisel " + std::to_string(rng.uniform(100, 999)), cv::Point(w / 2, 90),
                cv::FONT_HERSHEY_SCRIPT_SIMPLEX, 2.6, ink1, 6, cv::LINE_AA);
    cv::putText(pic, "f(x) = x^2 + 3", cv::Point(120, h - 70), cv::FONT_HERSHEY_SIMPLEX, 2.2, ink0,
                5, cv::LINE_AA);
    const cv::Point c(w - 330 - rng.uniform(0, 60), h / 2 + rng.uniform(-60, 60));
    cv::rectangle(pic, cv::Rect(c.x - 220, c.y - 160, 440, 320), ink2, 8, cv::LINE_AA);
    cv::circle(pic, c, 110, ink0, 4, cv::LINE_AA);
    cv::line(pic, c + cv::Point(-200, 140), c + cv::Point(200, -140), ink1, 14, cv::LINE_AA);
}

cv::Mat makeBoardPicture(Board board, std::uint64_t seed) {
    const Palette pal = palette(board);
    cv::Mat pic(boardPictureHeight(), boardPictureWidth, CV_8UC3, pal.surface);
    // A faint, smooth unevenness of the surface (wiped chalk, marker ghosts).
    cv::Mat smudge(9, 14, CV_32FC1);
    cv::RNG rng(seed * 7919 + static_cast<std::uint64_t>(board) + 1);
    rng.fill(smudge, cv::RNG::UNIFORM, -6.0, 6.0);
    cv::resize(smudge, smudge, pic.size(), 0, 0, cv::INTER_CUBIC);
    cv::Mat smudge3;
    cv::merge(std::vector<cv::Mat>{smudge, smudge, smudge}, smudge3);
    cv::Mat f;
    pic.convertTo(f, CV_32FC3);
    f += smudge3;
    f.convertTo(pic, CV_8UC3);
    drawStrokes(pic, pal, rng);
    return pic;
}

cv::Scalar wallColour() {
    return cv::Scalar(176, 196, 206);
}

bool makeDir(const std::string& dir) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    return !ec;
}

} // namespace

Palette palette(Board board) {
    switch (board) {
    case Board::White:
        return {cv::Scalar(232, 236, 234),
                {cv::Scalar(30, 30, 30), cv::Scalar(170, 60, 20), cv::Scalar(40, 40, 200),
                 cv::Scalar(40, 140, 30)}};
    case Board::Black:
        return {cv::Scalar(38, 42, 40),
                {cv::Scalar(235, 235, 235), cv::Scalar(90, 230, 240), cv::Scalar(200, 140, 250),
                 cv::Scalar(240, 200, 120)}};
    case Board::Green:
    default:
        return {cv::Scalar(62, 98, 44),
                {cv::Scalar(235, 240, 235), cv::Scalar(90, 230, 240), cv::Scalar(200, 150, 250),
                 cv::Scalar(240, 210, 150)}};
    }
}

void drawPresenter(cv::Mat& plane, const cv::Rect& box, int phase, std::uint64_t seed) {
    cv::RNG rng(seed * 104729 + 17);
    const cv::Scalar shirt(rng.uniform(60, 200), rng.uniform(40, 120), rng.uniform(20, 90));
    const cv::Scalar trousers(50, 40, 35);
    const cv::Scalar skin(120, 160, 205);
    const int cx = box.x + box.width / 2;
    const int headR = box.width / 5;
    const int top = box.y;
    const int shoulders = top + 2 * headR + 20;
    const int hips = box.y + box.height * 55 / 100;
    const int feet = box.y + box.height;
    const double swing = std::sin(phase * 0.35);
    // Limbs keep their proportions when he is drawn larger.
    const auto thick = [&box](int t) { return std::max(1, t * box.width / 360); };
    // Legs.
    const int stride = static_cast<int>(swing * box.width * 0.25);
    const int hip = thick(25);
    cv::line(plane, {cx - hip, hips}, {cx - hip + stride, feet}, trousers, thick(55), cv::LINE_AA);
    cv::line(plane, {cx + hip, hips}, {cx + hip - stride, feet}, trousers, thick(55), cv::LINE_AA);
    // Torso.
    std::vector<cv::Point> torso{{cx - box.width / 2 + 20, shoulders},
                                 {cx + box.width / 2 - 20, shoulders},
                                 {cx + box.width / 2 - 45, hips + 30},
                                 {cx - box.width / 2 + 45, hips + 30}};
    cv::fillConvexPoly(plane, torso, shirt, cv::LINE_AA);
    // Arms.
    const int arm = static_cast<int>(swing * 60);
    cv::line(plane, {cx - box.width / 2 + 30, shoulders + 20},
             {cx - box.width / 2 + 10 - arm, hips + 20}, shirt, thick(40), cv::LINE_AA);
    cv::line(plane, {cx + box.width / 2 - 30, shoulders + 20},
             {cx + box.width / 2 - 10 + arm, hips + 20}, shirt, thick(40), cv::LINE_AA);
    // Head.
    cv::circle(plane, {cx, top + headR}, headR, skin, cv::FILLED, cv::LINE_AA);
    cv::ellipse(plane, {cx, top + headR - headR / 3}, {headR, headR * 2 / 3}, 0, 180, 360,
                cv::Scalar(30, 35, 45), cv::FILLED, cv::LINE_AA);
}

namespace {

void addSensorNoise(cv::Mat& frame, double sigma, std::uint64_t seed) {
    if (sigma <= 0.0) {
        return;
    }
    cv::RNG rng(seed);
    cv::Mat noise(frame.size(), CV_16SC3);
    rng.fill(noise, cv::RNG::NORMAL, 0.0, sigma);
    cv::Mat sum;
    cv::add(frame, noise, sum, cv::noArray(), CV_16SC3);
    sum.convertTo(frame, CV_8UC3);
}

} // namespace

bool parseBoard(const std::string& name, Board& board) {
    if (name == "white") {
        board = Board::White;
    } else if (name == "black") {
        board = Board::Black;
    } else if (name == "green") {
        board = Board::Green;
    } else {
        return false;
    }
    return true;
}

std::string boardName(Board board) {
    switch (board) {
    case Board::White:
        return "white";
    case Board::Black:
        return "black";
    case Board::Green:
    default:
        return "green";
    }
}

Camera camera() {
    Camera c;
    c.k = (cv::Mat_<double>(3, 3) << 200.0, 0.0, 320.0, 0.0, 200.0, 180.0, 0.0, 0.0, 1.0);
    c.d = (cv::Mat_<double>(4, 1) << 0.03, -0.01, 0.002, -0.0005);
    return c;
}

std::array<cv::Point2f, 4> canvasCorners() {
    return {cv::Point2f(2280.0f, 820.0f), cv::Point2f(5040.0f, 800.0f),
            cv::Point2f(4980.0f, 2000.0f), cv::Point2f(2340.0f, 2040.0f)};
}

std::array<cv::Point2f, 4> cornerFractions() {
    std::array<cv::Point2f, 4> f = canvasCorners();
    for (cv::Point2f& p : f) {
        p.x /= static_cast<float>(canvasWidth);
        p.y /= static_cast<float>(canvasHeight);
    }
    return f;
}

int boardPictureHeight() {
    const std::array<cv::Point2f, 4> c = canvasCorners();
    const double top = std::hypot(double(c[1].x) - c[0].x, double(c[1].y) - c[0].y);
    const double left = std::hypot(double(c[3].x) - c[0].x, double(c[3].y) - c[0].y);
    const double r = (top / canvasWidth) / (left / canvasHeight);
    return r > 0.8 ? 1280 : r < 0.8 ? 1440 : 1080;
}

cv::Mat trueHomography() {
    const std::array<cv::Point2f, 4> c = canvasCorners();
    const float w = boardPictureWidth;
    const float h = static_cast<float>(boardPictureHeight());
    const std::vector<cv::Point2f> src(c.begin(), c.end());
    const std::vector<cv::Point2f> dst{{0, 0}, {w, 0}, {w, h}, {0, h}};
    return cv::getPerspectiveTransform(src, dst, cv::DECOMP_LU);
}

void fullMaps(cv::Mat& map1Padded, cv::Mat& map2Padded) {
    const Camera cam = camera();
    cv::Mat m1, m2;
    lens_maps::makeFullMaps(cam.k, cam.d, m1, m2);
    map1Padded = lens_maps::padMap(m1);
    map2Padded = lens_maps::padMap(m2);
}

void smallMaps(cv::Mat& map1, cv::Mat& map2) {
    const Camera cam = camera();
    lens_maps::makeSmallMaps(cam.k, cam.d, map1, map2);
}

bool writeCalibData(const std::string& dir) {
    const std::string calib = dir + "/calib_data";
    if (!makeDir(calib)) {
        std::cout << "cannot create " << calib << std::endl;
        return false;
    }
    const Camera cam = camera();
    std::string why;
    if (!lens_maps::writeLensFiles(calib, cam.k, cam.d, true, true, why)) {
        std::cout << why << std::endl;
        return false;
    }
    return true;
}

bool verifyGeometry(std::string& report) {
    std::ostringstream out;
    bool ok = true;
    cv::Mat map1, map2;
    fullMaps(map1, map2);
    const std::vector<cv::Rect> cells = cell_grid::layCells(map1.cols, map1.rows);
    const std::vector<cv::Rect> sources =
        cell_grid::sourceCells(lens_maps::fullFrameWidth, lens_maps::fullFrameHeight);
    std::array<cv::Point, 4> corners;
    const std::array<cv::Point2f, 4> c = canvasCorners();
    for (int i = 0; i < 4; ++i) {
        corners[i] = cv::Point(cvRound(c[i].x), cvRound(c[i].y));
    }
    const std::vector<int> board = cell_grid::boardCells(corners, map1.cols, map1.rows, cells);
    int bad = 0;
    for (int i : board) {
        long outside = 0;
        const cv::Rect& cell = cells[i];
        const bool padding =
            cell.y < lens_maps::padRows || cell.y + cell.height > map1.rows - lens_maps::padRows;
        if (padding || !cell_grid::tileInsideSource(map1(cell), sources[i], &outside)) {
            if (bad < 10) {
                out << "board cell " << i << (padding ? " touches the padding" : "") << ": "
                    << outside << " entries outside source " << sources[i] << "\n";
            }
            ++bad;
        }
    }
    out << board.size() << " board cells, " << bad << " outside their source window\n";
    ok = ok && bad == 0 && map1.cols == canvasWidth && map1.rows == canvasHeight;

    // Same view: the full map at canvas pixel (u, v) equals 6 x the small map at
    // ((u - 2.5) / 6, (v - 2.5) / 6) + 2.5, sampled on a grid over the board cells.
    const Camera cam = camera();
    cv::Mat sx, sy;
    cv::fisheye::initUndistortRectifyMap(
        cam.k, cam.d, cv::Mat(),
        [&] {
            cv::Mat p = cam.k.clone();
            p.at<double>(0, 2) += lens_maps::smallShiftX;
            p.at<double>(1, 2) += lens_maps::smallShiftY;
            return p;
        }(),
        cv::Size(lens_maps::smallMapWidth, lens_maps::smallMapHeight), CV_32FC1, sx, sy);
    double worst = 0.0;
    for (int i : board) {
        const cv::Rect& cell = cells[i];
        for (int v = cell.y; v < cell.y + cell.height; v += 23) {
            for (int u = cell.x; u < cell.x + cell.width; u += 31) {
                const cv::Vec2s e = map1.at<cv::Vec2s>(v, u);
                const int idx = map2.at<unsigned short>(v, u);
                const double fx = e[0] + (idx % cv::INTER_TAB_SIZE) / double(cv::INTER_TAB_SIZE);
                const double fy = e[1] + (idx / cv::INTER_TAB_SIZE) / double(cv::INTER_TAB_SIZE);
                const float us = static_cast<float>((u - 2.5) / 6.0);
                const float vs = static_cast<float>((v - 2.5) / 6.0);
                cv::Mat px, py;
                cv::getRectSubPix(sx, cv::Size(1, 1), cv::Point2f(us, vs), px);
                cv::getRectSubPix(sy, cv::Size(1, 1), cv::Point2f(us, vs), py);
                const double gx = 6.0 * px.at<float>(0, 0) + 2.5;
                const double gy = 6.0 * py.at<float>(0, 0) + 2.5;
                worst = std::max(worst, std::hypot(gx - fx, gy - fy));
            }
        }
    }
    out << "small and full maps differ by at most " << worst << " frame pixels on the board\n";
    ok = ok && worst < 1.0;
    report = out.str();
    return ok;
}

const cv::Mat& Scene::frameToPlane() {
    static std::once_flag once;
    static cv::Mat mapping;
    std::call_once(once, [] {
        const Camera cam = camera();
        const cv::Mat kFull = lens_maps::fullCameraMatrix(cam.k);
        const cv::Mat pFull = lens_maps::fullNewCameraMatrix(cam.k);
        const int w = lens_maps::fullFrameWidth;
        const int h = lens_maps::fullFrameHeight;
        cv::Mat pixels(h, w, CV_32FC2);
        for (int y = 0; y < h; ++y) {
            cv::Vec2f* p = pixels.ptr<cv::Vec2f>(y);
            for (int x = 0; x < w; ++x) {
                p[x] = cv::Vec2f(static_cast<float>(x), static_cast<float>(y));
            }
        }
        cv::Mat undistorted;
        cv::fisheye::undistortPoints(pixels.reshape(2, 1), undistorted, kFull, cam.d, cv::noArray(),
                                     pFull);
        undistorted = undistorted.reshape(2, h);
        // Canvas = map rows + padding; then the true homography to the board picture,
        // then the plane margin.
        cv::Mat hom = trueHomography();
        cv::Mat shift = (cv::Mat_<double>(3, 3) << 1, 0, planeMargin, 0, 1, planeMargin, 0, 0, 1);
        cv::Mat pad = (cv::Mat_<double>(3, 3) << 1, 0, 0, 0, 1, lens_maps::padRows, 0, 0, 1);
        cv::Mat total = shift * hom * pad;
        mapping.create(h, w, CV_32FC2);
        const double fx = kFull.at<double>(0, 0), fy = kFull.at<double>(1, 1);
        const double cx = kFull.at<double>(0, 2), cy = kFull.at<double>(1, 2);
        const double* m = total.ptr<double>();
        for (int y = 0; y < h; ++y) {
            const cv::Vec2f* in = undistorted.ptr<cv::Vec2f>(y);
            cv::Vec2f* out = mapping.ptr<cv::Vec2f>(y);
            for (int x = 0; x < w; ++x) {
                const double theta = std::hypot((x - cx) / fx, (y - cy) / fy);
                const double u = in[x][0], v = in[x][1];
                const double z = m[6] * u + m[7] * v + m[8];
                if (theta > imageCircle || z <= 1e-9) {
                    out[x] = cv::Vec2f(-1.0e5f, -1.0e5f);
                    continue;
                }
                out[x] = cv::Vec2f(static_cast<float>((m[0] * u + m[1] * v + m[2]) / z),
                                   static_cast<float>((m[3] * u + m[4] * v + m[5]) / z));
            }
        }
    });
    return mapping;
}

cv::Mat planeAround(const cv::Mat& board) {
    const int margin = Scene::planeMargin;
    const cv::Scalar wall = wallColour();
    cv::Mat plane(board.rows + 2 * margin, board.cols + 2 * margin, CV_8UC3);
    // Wall with a soft vertical gradient, the board's aluminium frame, a pen tray.
    for (int y = 0; y < plane.rows; ++y) {
        const double t = static_cast<double>(y) / plane.rows;
        plane.row(y).setTo(wall * (1.02 - 0.08 * t));
    }
    const cv::Rect area(margin, margin, board.cols, board.rows);
    cv::rectangle(plane, area + cv::Size(40, 40) - cv::Point(20, 20), cv::Scalar(150, 150, 148),
                  cv::FILLED);
    cv::rectangle(plane, cv::Rect(margin + 200, margin + board.rows + 20, board.cols - 400, 28),
                  cv::Scalar(110, 112, 115), cv::FILLED);
    board.copyTo(plane(area));
    return plane;
}

Scene::Scene(const SceneConfig& config) : cfg(config), wall(wallColour()) {
    board = makeBoardPicture(cfg.board, cfg.seed);
    plane = planeAround(board);
}

cv::Rect Scene::presenterBox(int i) const {
    if (i < cfg.still || cfg.frames <= cfg.still) {
        return cv::Rect();
    }
    const int walk = cfg.frames - cfg.still;
    const double t = walk > 1 ? static_cast<double>(i - cfg.still) / (walk - 1) : 0.5;
    const int width = static_cast<int>(360 * cfg.presenterScale);
    const int height =
        static_cast<int>((board.rows * 9 / 10 + planeMargin / 2) * cfg.presenterScale);
    const int x = static_cast<int>(-width - 100 + t * (board.cols + 2 * width + 200));
    return cv::Rect(x, board.rows - height + planeMargin / 2 + 40, width, height);
}

cv::Mat Scene::planePicture(int i) const {
    cv::Mat pic = plane.clone();
    const cv::Rect box = presenterBox(i);
    if (box.area() > 0) {
        drawPresenter(pic, box + cv::Point(planeMargin, planeMargin), i, cfg.seed);
    }
    return pic;
}

cv::Mat Scene::frame(int i) const {
    return imagePlane(planePicture(i), cfg.noise,
                      cfg.seed * 1000003 + static_cast<std::uint64_t>(i) * 7 + 3);
}

cv::Mat imagePlane(const cv::Mat& plane, double noise, std::uint64_t noiseSeed) {
    const cv::Mat& mapping = Scene::frameToPlane();
    cv::Mat out;
    cv::remap(plane, out, mapping, cv::noArray(), cv::INTER_LINEAR, cv::BORDER_CONSTANT,
              wallColour());
    // Outside the image circle the sensor sees black.
    static std::once_flag once;
    static cv::Mat outside;
    std::call_once(once, [&mapping] {
        std::vector<cv::Mat> ch;
        cv::split(mapping, ch);
        outside = ch[0] < -1.0e4f;
    });
    out.setTo(cv::Scalar::all(0), outside);
    addSensorNoise(out, noise, noiseSeed);
    return out;
}

cv::Mat withVideoNoise(const cv::Mat& frame, const SceneConfig& config, int i, double noise) {
    // Independent noise adds up in variance.
    const double extra = std::sqrt(std::max(0.0, noise * noise - config.noise * config.noise));
    if (extra <= 0.0) {
        return frame;
    }
    cv::Mat noisy = frame.clone();
    addSensorNoise(noisy, extra, config.seed * 1000003 + static_cast<std::uint64_t>(i) * 7 + 5);
    return noisy;
}

bool writeScene(const std::string& dir, const SceneConfig& config, const VideoConfig& video) {
    const std::string name = boardName(config.board);
    const std::string sceneDir = dir + "/scene_" + name;
    const std::string truthDir = dir + "/truth_" + name;
    if (!makeDir(sceneDir) || !makeDir(truthDir)) {
        std::cout << "cannot create " << sceneDir << " or " << truthDir << std::endl;
        return false;
    }
    const Scene scene(config);
    {
        std::ofstream corners(truthDir + "/corners.txt");
        char line[256];
        const std::array<cv::Point2f, 4> f = cornerFractions();
        std::snprintf(line, sizeof line, "%.9g,%.9g,%.9g,%.9g,%.9g,%.9g,%.9g,%.9g", f[0].x, f[0].y,
                      f[1].x, f[1].y, f[2].x, f[2].y, f[3].x, f[3].y);
        corners << line << "\n";
        if (!corners) {
            std::cout << "cannot write " << truthDir << "/corners.txt" << std::endl;
            return false;
        }
    }
    if (!cv::imwrite(truthDir + "/board.png", scene.truthBoard())) {
        std::cout << "cannot write " << truthDir << "/board.png" << std::endl;
        return false;
    }
    const std::string videoPath = dir + "/scene_" + name + ".avi";
    CameraJpegEncoder encoder(video.quality);
    MjpegAviWriter writer;
    if (video.write &&
        !writer.open(videoPath, cv::Size(lens_maps::fullFrameWidth, lens_maps::fullFrameHeight),
                     30)) {
        return false;
    }
    const std::vector<int> params{cv::IMWRITE_PNG_COMPRESSION, 1};
    std::vector<uchar> jpeg;
    for (int i = 0; i < config.frames; ++i) {
        const cv::Mat f = scene.frame(i);
        char file[64];
        std::snprintf(file, sizeof file, "/f_%04d.png", i);
        if (!cv::imwrite(sceneDir + file, f, params)) {
            std::cout << "cannot write " << sceneDir << file << std::endl;
            return false;
        }
        if (!video.write) {
            continue;
        }
        if (!encoder.encode(withVideoNoise(f, config, i, video.noise), jpeg)) {
            return false;
        }
        const auto nth = [i](int every) { return every > 0 && i % every == every - 1; };
        const std::uint64_t damageSeed = config.seed * 7727 + static_cast<std::uint64_t>(i);
        applyQuirk(jpeg, video.quirk);
        if (nth(video.damageEvery)) {
            damageJpeg(jpeg, JpegDamage::CutShort, damageSeed);
        } else if (nth(video.corruptEvery)) {
            damageJpeg(jpeg, JpegDamage::CorruptBytes, damageSeed);
        }
        if (!writer.write(jpeg)) {
            return false;
        }
    }
    return !video.write || writer.close();
}

double psnr(const cv::Mat& a, const cv::Mat& b) {
    return cv::PSNR(a, b);
}

bool calibrateAtTrueCorners(const cv::Mat& frame) {
    BoardCalibrator calibrator;
    calibrator.undistortForCalibration(frame);
    const std::array<cv::Point2f, 4> corners = cornerFractions();
    if (!calibrator.calibrate(std::vector<cv::Point2f>(corners.begin(), corners.end()))) {
        return false;
    }
    CalibrationStore& store = CalibrationStore::instance();
    store.reload();
    return store.hasLensMaps() && store.hasCalibration();
}

double shareNear(const cv::Mat& of, const cv::Mat& near, int reach) {
    cv::Mat grown;
    cv::dilate(
        near, grown,
        cv::getStructuringElement(cv::MORPH_ELLIPSE, cv::Size(2 * reach + 1, 2 * reach + 1)));
    cv::bitwise_and(of, grown, grown);
    return static_cast<double>(cv::countNonZero(grown)) / std::max(1, cv::countNonZero(of));
}

} // namespace rig
