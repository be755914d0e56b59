// brisel-process: cleans a recorded lesson with the application's calibration and
// pipeline, writing the board pictures (and optionally the display pictures and a video).

#include "board_calibrator.h"
#include "calibration_store.h"
#include "frame_processor.h"
#include "lesson_pdf.h"
#include "process_options.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/videoio.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iomanip>
#include <iostream>
#include <numeric>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr int frameWidth = 3840;
constexpr int frameHeight = 2160;
constexpr double videoFps = 30.0;
constexpr int progressFromFrames = 5;
constexpr int progressWidth = 40;

// Frames from a video, an image sequence pattern or a single image.
class FrameSource {
public:
    bool open(const std::string& path) {
        const std::string ext = fs::path(path).extension().string();
        const bool pattern = path.find('%') != std::string::npos;
        if (!pattern && !fs::is_regular_file(path)) {
            return false;
        }
        if (!pattern && cv::haveImageReader(path) && ext != ".avi" && ext != ".mp4" &&
            ext != ".mkv" && ext != ".mov") {
            single = cv::imread(path, cv::IMREAD_COLOR);
            count = 1;
            return !single.empty();
        }
        capture.open(path, pattern ? cv::CAP_IMAGES : cv::CAP_ANY);
        if (!capture.isOpened()) {
            return false;
        }
        count = static_cast<int>(capture.get(cv::CAP_PROP_FRAME_COUNT));
        return true;
    }

    bool read(cv::Mat& frame) {
        if (!capture.isOpened()) {
            if (single.empty()) {
                return false;
            }
            frame = single;
            single.release();
            return true;
        }
        return capture.read(frame) && !frame.empty();
    }

    // The frame time of the last frame read, in seconds; negative when the source has
    // none (a single picture).
    double frameSeconds() const {
        return capture.isOpened() ? capture.get(cv::CAP_PROP_POS_MSEC) / 1000 : -1;
    }

    int count = 0; // 0 or less: unknown

private:
    cv::VideoCapture capture;
    cv::Mat single;
};

// Files written so far, removed again when the run fails.
class OutputFiles {
public:
    ~OutputFiles() {
        if (!kept) {
            for (const fs::path& p : written) {
                std::error_code ec;
                fs::remove(p, ec);
            }
            if (createdDir) {
                std::error_code ec;
                fs::remove(dir, ec);
            }
        }
    }

    bool makeDir(const fs::path& path) {
        dir = path;
        std::error_code ec;
        if (fs::is_directory(path, ec)) {
            return true;
        }
        createdDir = fs::create_directories(path, ec);
        return createdDir;
    }

    // Written under a temporary name and renamed, so no truncated picture remains.
    bool writePicture(const std::string& name, const cv::Mat& picture) {
        const fs::path target = dir / name;
        const fs::path partial = dir / ("." + name + ".partial.png");
        if (!cv::imwrite(partial.string(), picture)) {
            return false;
        }
        std::error_code ec;
        fs::rename(partial, target, ec);
        if (ec) {
            fs::remove(partial, ec);
            return false;
        }
        written.push_back(target);
        return true;
    }

    void track(const fs::path& path) { written.push_back(path); }
    void keep() { kept = true; }

private:
    fs::path dir;
    bool createdDir = false;
    bool kept = false;
    std::vector<fs::path> written;
};

std::string numbered(const char* stem, int frame) {
    std::ostringstream name;
    name << stem << std::setw(6) << std::setfill('0') << frame << ".png";
    return name.str();
}

void showProgress(int done, int total) {
    if (total > 0) {
        const int filled = static_cast<int>(static_cast<long>(progressWidth) * done / total);
        std::cerr << "\r[" << std::string(filled, '#') << std::string(progressWidth - filled, ' ')
                  << "] " << done << "/" << total << std::flush;
    } else {
        std::cerr << "\r" << done << " frames" << std::flush;
    }
}

double percentile95(std::vector<double> values) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const size_t index = static_cast<size_t>(std::ceil(0.95 * values.size())) - 1;
    return values[std::min(index, values.size() - 1)];
}

int fail(const std::string& message) {
    std::cerr << "brisel-process: " << message << std::endl;
    return 1;
}

int usageError(const std::string& message) {
    std::cerr << "brisel-process: " << message << "\n\n" << processUsage();
    return 2;
}

bool isCameraFrame(const cv::Mat& frame) {
    return frame.cols == frameWidth && frame.rows == frameHeight && frame.type() == CV_8UC3;
}

std::string describe(const cv::Mat& frame) {
    std::ostringstream text;
    text << frame.cols << " x " << frame.rows << " with " << frame.channels() << " channels";
    return text.str();
}

// Key frames as PNG files, and as JPEG pages of the lesson PDF.
class KeyFrames {
public:
    KeyFrames(const fs::path& folder, const fs::path& pdf) : pdfPath(pdf) {
        if (!folder.empty()) {
            files.emplace();
            folderOk = files->makeDir(folder);
        }
    }

    bool ready() const { return folderOk; }

    bool add(const cv::Mat& picture, long frame) {
        const std::string name = numbered("keyframe_", static_cast<int>(frame));
        if (files && !files->writePicture(name, picture)) {
            return false;
        }
        if (!pdfPath.empty()) {
            auto jpeg = std::make_shared<std::vector<uchar>>();
            if (!cv::imencode(".jpg", picture, *jpeg)) {
                return false;
            }
            pageList.push_back({QString::fromStdString(name), std::move(jpeg),
                                QString::fromStdString("frame " + std::to_string(frame))});
        }
        ++count;
        return true;
    }

    // The PDF is written once, at the end, and only replaces FILE when complete.
    bool finish(std::string& error) {
        if (!pdfPath.empty() && !pageList.empty()) {
            QString why;
            if (!writeLessonPdf(QString::fromStdString(pdfPath.string()), pageList, why)) {
                error =
                    "cannot write the lesson PDF " + pdfPath.string() + ": " + why.toStdString();
                return false;
            }
        }
        if (files) {
            files->keep();
        }
        return true;
    }

    int count = 0;

private:
    std::optional<OutputFiles> files;
    bool folderOk = true;
    fs::path pdfPath;
    std::vector<LessonPage> pageList;
};

// Lens-corrects the first frame as the calibration window shows it and runs the
// board-corner calibration on it, as a click of the fourth corner does.
bool calibrateBoard(const cv::Mat& firstFrame, const std::vector<cv::Point2f>& corners) {
    BoardCalibrator calibrator;
    calibrator.undistortForCalibration(firstFrame);
    if (!calibrator.calibrate(corners)) {
        return false;
    }
    CalibrationStore::instance().reload();
    return true;
}

} // namespace

int main(int argc, char** argv) {
    ProcessOptions options;
    std::string error;
    if (!parseProcessOptions(std::vector<std::string>(argv + 1, argv + argc), options, error)) {
        return usageError(error);
    }
    if (options.help) {
        std::cout << processUsage();
        return 0;
    }
    // Paths are taken relative to where the tool was started, before entering --calib.
    const fs::path outputDir = fs::absolute(options.output);
    const fs::path videoPath = options.video.empty() ? fs::path() : fs::absolute(options.video);
    const fs::path keyFrameDir =
        options.keyframes.empty() ? fs::path() : fs::absolute(options.keyframes);
    const fs::path pdfPath = options.pdf.empty() ? fs::path() : fs::absolute(options.pdf);
    FrameSource source;
    if (!source.open(fs::absolute(options.input).string())) {
        return usageError("cannot read input " + options.input);
    }
    cv::Mat frame;
    if (!source.read(frame)) {
        return fail("input " + options.input + " holds no frame");
    }
    if (!isCameraFrame(frame)) {
        return fail("input frames are " + describe(frame) + ", expected 3840 x 2160 BGR");
    }
    std::error_code ec;
    fs::current_path(options.calib, ec);
    if (ec || !fs::is_directory("calib_data")) {
        return usageError("no calib_data in " + options.calib);
    }
    CalibrationStore& store = CalibrationStore::instance();
    if (!store.hasLensMaps()) {
        return fail("the lens maps in " + options.calib + "/calib_data are missing or unusable");
    }
    if (!options.corners.empty() && !calibrateBoard(frame, options.corners)) {
        return fail("the board-corner calibration failed for --corners");
    }
    if (!store.hasCalibration()) {
        return fail("no board calibration in " + options.calib +
                    "/calib_data: pass --corners x1,y1,...,x4,y4");
    }

    OutputFiles files;
    if (!files.makeDir(outputDir)) {
        return fail("cannot create output folder " + outputDir.string());
    }
    cv::VideoWriter video;
    fs::path partialVideo;
    if (!videoPath.empty()) {
        partialVideo = videoPath;
        partialVideo.replace_filename("." + videoPath.stem().string() + ".partial" +
                                      videoPath.extension().string());
        files.track(partialVideo);
    }

    if (!pdfPath.empty() && !fs::is_directory(pdfPath.parent_path())) {
        return fail("no folder " + pdfPath.parent_path().string() + " for the PDF");
    }
    KeyFrames keyFrames(keyFrameDir, pdfPath);
    if (!keyFrames.ready()) {
        return fail("cannot create the key frame folder " + keyFrameDir.string());
    }
    const bool watchErasures = !keyFrameDir.empty() || !pdfPath.empty();

    FrameProcessor processor;
    processor.setEraseDetection(watchErasures);
    if (options.board) {
        processor.setBoardColor(*options.board);
    }
    processor.setSettings(options.mode, options.details, options.brightness, options.contrast,
                          options.ar, options.arValue);

    int total = source.count;
    if (options.frames > 0) {
        total = total > 0 ? std::min(total, options.frames) : options.frames;
    }
    const bool progress = total <= 0 || total > progressFromFrames;
    std::vector<double> millis;
    for (int index = 0;; ++index) {
        if (index > 0 && (options.frames > 0 && index >= options.frames)) {
            break;
        }
        if (index > 0 && !source.read(frame)) {
            break;
        }
        if (!isCameraFrame(frame)) {
            return fail("frame " + std::to_string(index) + " is " + describe(frame) +
                        ", expected 3840 x 2160 BGR");
        }
        processor.setFrameTime(source.frameSeconds());
        const auto start = std::chrono::steady_clock::now();
        const std::vector<cv::Mat> outputs = processor.processFrame(frame);
        millis.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count());
        if (processor.hasKeyFrame() &&
            !keyFrames.add(processor.renderKeyFrame(), processor.eraseDetector().keptFrame())) {
            return fail("cannot write the key frame of frame " +
                        std::to_string(processor.eraseDetector().keptFrame()));
        }
        if (index % options.every == 0) {
            if (!files.writePicture(numbered("board_", index), outputs[0]) ||
                (options.display && !files.writePicture(numbered("display_", index), outputs[1]))) {
                return fail("cannot write pictures into " + outputDir.string());
            }
        }
        if (!partialVideo.empty()) {
            if (!video.isOpened() &&
                !video.open(partialVideo.string(), cv::VideoWriter::fourcc('M', 'J', 'P', 'G'),
                            videoFps, outputs[1].size())) {
                return fail("cannot write video " + videoPath.string());
            }
            video.write(outputs[1]);
        }
        if (progress) {
            showProgress(index + 1, total);
        }
    }
    if (progress) {
        std::cerr << std::endl;
    }
    if (video.isOpened()) {
        video.release();
        fs::rename(partialVideo, videoPath, ec);
        if (ec) {
            return fail("cannot write video " + videoPath.string());
        }
        files.track(videoPath);
    }
    std::string pdfError;
    if (!keyFrames.finish(pdfError)) {
        return fail(pdfError);
    }
    files.keep();
    if (watchErasures) {
        std::printf("kept %d boards before erasures\n", keyFrames.count);
        if (!pdfPath.empty() && keyFrames.count == 0) {
            std::printf("no board was wiped: no PDF written\n");
        }
    }
    const double mean = std::accumulate(millis.begin(), millis.end(), 0.0) / millis.size();
    std::printf("processed %zu frames: processFrame mean %.2f ms, p95 %.2f ms\n", millis.size(),
                mean, percentile95(millis));
    return 0;
}
