#pragma once

// Camera-like MJPEG recordings: JPEG frames as a USB board camera sends them (4:2:2
// chroma, quality about 90, about 1 MB per 4K frame) in an AVI that OpenCV and FFmpeg
// replay, optionally with damaged frames. OpenCV's own MJPG writer cannot do either.

#include <opencv2/core.hpp>

#include <cstdint>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace rig {

// Encodes BGR pictures with libjpeg-turbo, 4:2:2 like UVC cameras.
class CameraJpegEncoder {
public:
    static constexpr int defaultQuality = 90;

    explicit CameraJpegEncoder(int quality = defaultQuality);
    // False with a console line when the picture could not be encoded.
    bool encode(const cv::Mat& bgr, std::vector<uchar>& jpeg);

private:
    struct HandleCloser {
        void operator()(void* handle) const;
    };
    std::unique_ptr<void, HandleCloser> handle;
    int quality;
};

// How a camera short of USB bandwidth or with bit errors spoils a frame.
enum class JpegDamage { CutShort, CorruptBytes };

// Spoils one encoded frame deterministically from `seed`: CutShort keeps 30-90 % of
// it (no end-of-image marker); CorruptBytes overwrites a run of bytes inside its scan.
void damageJpeg(std::vector<uchar>& jpeg, JpegDamage damage, std::uint64_t seed);

// How real cameras shape frames that are whole all the same: a few stray bytes before
// the end-of-image marker, the driver's whole buffer (256 KB of zeros after the marker),
// or motion JPEG's frames without Huffman tables (the standard ones are implied).
enum class JpegQuirk { None, StrayBytes, Padded, NoHuffmanTables };

// Shapes one encoded frame as `quirk` says.
void applyQuirk(std::vector<uchar>& jpeg, JpegQuirk quirk);

// Writes an AVI 1.0 file (RIFF, one MJPG video stream, idx1 index) from encoded frames.
class MjpegAviWriter {
public:
    MjpegAviWriter() = default;
    MjpegAviWriter(const MjpegAviWriter&) = delete;
    MjpegAviWriter& operator=(const MjpegAviWriter&) = delete;
    ~MjpegAviWriter();

    bool open(const std::string& path, cv::Size frameSize, int framesPerSecond);
    // Appends one frame as given, damaged or not. False once the file cannot grow.
    bool write(const std::vector<uchar>& jpeg);
    // Writes the index and the final sizes; false with a console line on failure.
    bool close();

private:
    struct IndexEntry {
        std::uint32_t offset; // from the "movi" list type
        std::uint32_t size;
    };

    std::ofstream out;
    std::string path;
    cv::Size size;
    std::uint32_t fps = 0;
    std::vector<IndexEntry> index;
    std::uint32_t largestFrame = 0;
    std::uint64_t moviBytes = 0; // chunks written after the "movi" list type
};

} // namespace rig
