// brisel-jpeg-bench: decoding one camera-like 4K JPEG (4:2:2, quality 90, about 1 MB, as
// the rig's replays carry) with cv::imdecode and with TurboJPEG, exact and with the fast
// flags.
// Prints "name median_ms" per decoder, then what the fast flags cost in picture quality:
// PSNR of the fast decode against the exact one, for the frame and for the board picture
// the pipeline makes from it. Last, a lesson PDF of 60 pages of that board rewritten, as
// each saved board rewrites it.

#include "board_calibrator.h"
#include "calibration_store.h"
#include "frame_processor.h"
#include "jpeg_frame.h"
#include "lesson_pdf.h"
#include "mjpeg_avi.h"
#include "rig.h"

#include <opencv2/imgcodecs.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr int rounds = 25;
// A frame with the presenter in front of the board, so the picture is not all flat.
constexpr int sceneFrames = 40;
constexpr int presenterFrame = 30;

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0.0 : v[v.size() / 2];
}

struct Variant {
    std::string name;
    std::function<void(cv::Mat&)> decode;
    std::vector<double> ms;
};

// The clean board picture of one frame from a processor that starts with a full rebuild.
cv::Mat boardPicture(const cv::Mat& frame) {
    FrameProcessor processor;
    processor.setBoardColor(static_cast<int>(rig::Board::White));
    processor.requestRebuild();
    return processor.processFrame(frame)[0].clone();
}

bool calibrate(const fs::path& dir, const cv::Mat& frame) {
    if (!rig::writeCalibData(dir.string())) {
        return false;
    }
    fs::current_path(dir);
    return rig::calibrateAtTrueCorners(frame);
}

} // namespace

int main(int argc, char** argv) {
    fs::path dir = fs::temp_directory_path() / "brisel-jpeg-bench";
    int quality = rig::CameraJpegEncoder::defaultQuality;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::string(argv[i]) == "--rig") {
            dir = fs::absolute(argv[i + 1]);
        } else if (std::string(argv[i]) == "--quality") {
            quality = std::stoi(argv[i + 1]);
        }
    }
    fs::create_directories(dir);
    rig::SceneConfig config;
    config.frames = sceneFrames;
    const rig::Scene scene(config);
    const cv::Mat frame = rig::withVideoNoise(scene.frame(presenterFrame), config, presenterFrame,
                                              rig::VideoConfig().noise);
    std::vector<uchar> jpeg;
    rig::CameraJpegEncoder encoder(quality);
    if (!encoder.encode(frame, jpeg)) {
        return 1;
    }
    const cv::Size size = frame.size();

    JpegDecoder exact;
    JpegDecoder fastDct({true, false});
    JpegDecoder fastUpsample({false, true});
    JpegDecoder fastBoth({true, true});
    const auto with = [&](JpegDecoder& decoder) {
        return [&decoder, &jpeg, size](cv::Mat& out) {
            if (decoder.decode(jpeg.data(), jpeg.size(), size, out) != FrameDamage::None) {
                std::cerr << "the bench frame did not decode" << std::endl;
                std::exit(1);
            }
        };
    };
    std::vector<Variant> variants{
        {"imdecode", [&](cv::Mat& out) { cv::imdecode(jpeg, cv::IMREAD_COLOR, &out); }, {}},
        {"libjpeg", with(exact), {}},
        {"libjpeg_fast_dct", with(fastDct), {}},
        {"libjpeg_fast_upsample", with(fastUpsample), {}},
        {"libjpeg_fast_both", with(fastBoth), {}},
    };
    std::vector<cv::Mat> outputs(variants.size());
    // Interleaved rounds, so a busy moment of the machine hits every decoder alike.
    for (int round = 0; round <= rounds; ++round) {
        for (std::size_t v = 0; v < variants.size(); ++v) {
            const auto start = std::chrono::steady_clock::now();
            variants[v].decode(outputs[v]);
            const std::chrono::duration<double, std::milli> ms =
                std::chrono::steady_clock::now() - start;
            if (round > 0) { // the first round allocates
                variants[v].ms.push_back(ms.count());
            }
        }
    }
    // A driver that reports its whole buffer: the frame followed by zeros up to 8 MB.
    std::vector<uchar> padded = jpeg;
    padded.resize(std::max<std::size_t>(padded.size(), 8u << 20), 0);
    std::vector<double> checkMs;
    for (int round = 0; round < rounds; ++round) {
        const auto start = std::chrono::steady_clock::now();
        if (checkEncodedFrame(padded.data(), padded.size()).damage != FrameDamage::None) {
            std::cerr << "the padded bench frame failed its check" << std::endl;
            std::exit(1);
        }
        checkMs.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count());
    }
    std::printf("frame %dx%d jpeg_kb %zu quality %d rounds %d\n", size.width, size.height,
                jpeg.size() / 1024, quality, rounds);
    for (const Variant& v : variants) {
        std::printf("%s %.2f\n", v.name.c_str(), median(v.ms));
    }
    std::printf("check_padded_to_8mb %.3f\n", median(checkMs));
    const cv::Mat& reference = outputs[1];
    std::printf("imdecode_equals_libjpeg %d\n", cv::norm(outputs[0], reference, cv::NORM_INF) == 0);

    std::cout.flush();
    std::ostringstream discard; // the pipeline's console lines
    std::streambuf* console = std::cout.rdbuf(discard.rdbuf());
    const bool calibrated = calibrate(dir, reference);
    const cv::Mat referenceBoard = calibrated ? boardPicture(reference) : cv::Mat();
    std::vector<double> boardPsnr;
    for (std::size_t v = 2; v < variants.size() && calibrated; ++v) {
        boardPsnr.push_back(cv::PSNR(boardPicture(outputs[v]), referenceBoard));
    }
    std::cout.rdbuf(console);
    for (std::size_t v = 2; v < variants.size(); ++v) {
        std::printf("psnr_db %s frame %.1f", variants[v].name.c_str(),
                    cv::PSNR(outputs[v], reference));
        if (calibrated) {
            std::printf(" board %.1f", boardPsnr[v - 2]);
        }
        std::printf("\n");
    }
    if (!calibrated) {
        std::printf("board psnr skipped: the rig could not be calibrated in %s\n",
                    dir.string().c_str());
    }

    constexpr int lessonPages = 60;
    constexpr int pdfRounds = 5;
    auto saved = std::make_shared<std::vector<uchar>>();
    cv::imencode(".jpg", calibrated ? referenceBoard : reference, *saved);
    const std::vector<LessonPage> pages(lessonPages,
                                        LessonPage{"board.jpg", saved, "05.03.2026 09:07:03"});
    const QString pdf = QString::fromStdString((dir / "lesson.pdf").string());
    std::vector<double> pdfMs;
    for (int round = 0; round < pdfRounds; ++round) {
        QString error;
        const auto start = std::chrono::steady_clock::now();
        if (!writeLessonPdf(pdf, pages, error)) {
            std::cerr << "the lesson PDF was not written: " << error.toStdString() << std::endl;
            return 1;
        }
        pdfMs.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count());
    }
    std::printf("lesson_pdf_%d_pages_ms %.0f page_kb %zu pdf_mb %.1f\n", lessonPages, median(pdfMs),
                saved->size() / 1024,
                static_cast<double>(fs::file_size(dir / "lesson.pdf")) / (1 << 20));
    return 0;
}
