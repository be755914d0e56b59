#include "mjpeg_avi.h"

#include <turbojpeg.h>

#include <iostream>

namespace rig {

namespace {

// AVI 1.0 readers address the file with 32-bit offsets; stay well inside them.
constexpr std::uint64_t maxFileBytes = std::uint64_t(1) << 30;

// Sizes of the fixed header: the "hdrl" list and everything before the first chunk.
constexpr std::uint32_t streamListBytes = 4 + (8 + 56) + (8 + 40);
constexpr std::uint32_t headerListBytes = 4 + (8 + 56) + (8 + streamListBytes);
constexpr std::uint32_t headerBytes = 12 + (8 + headerListBytes) + 12;
constexpr std::uint32_t indexEntryBytes = 16;
constexpr std::uint32_t avifHasIndex = 0x10;
constexpr std::uint32_t aviifKeyFrame = 0x10;

// Fraction of a frame that reaches the host when the camera runs short of bandwidth.
constexpr double minCutFraction = 0.3;
constexpr double maxCutFraction = 0.9;
constexpr std::size_t corruptRunBytes = 32;

class Bytes {
public:
    void fourcc(const char* code) { data.insert(data.end(), code, code + 4); }
    void u16(std::uint32_t v) {
        for (int i = 0; i < 2; ++i) {
            data.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
        }
    }
    void u32(std::uint32_t v) {
        u16(v & 0xFFFF);
        u16(v >> 16);
    }
    std::vector<char> data;
};

struct HeaderValues {
    cv::Size size;
    std::uint32_t fps = 0;
    std::uint32_t frames = 0;
    std::uint32_t largestFrame = 0;
    std::uint32_t moviBytes = 0;
    std::uint32_t riffBytes = 0;
};

std::vector<char> header(const HeaderValues& v) {
    const auto w = static_cast<std::uint32_t>(v.size.width);
    const auto h = static_cast<std::uint32_t>(v.size.height);
    Bytes b;
    b.fourcc("RIFF");
    b.u32(v.riffBytes);
    b.fourcc("AVI ");
    b.fourcc("LIST");
    b.u32(headerListBytes);
    b.fourcc("hdrl");
    b.fourcc("avih");
    b.u32(56);
    for (std::uint32_t x : {1000000 / v.fps, v.largestFrame * v.fps, 0u, avifHasIndex, v.frames, 0u,
                            1u, v.largestFrame, w, h, 0u, 0u, 0u, 0u}) {
        b.u32(x);
    }
    b.fourcc("LIST");
    b.u32(streamListBytes);
    b.fourcc("strl");
    b.fourcc("strh");
    b.u32(56);
    b.fourcc("vids");
    b.fourcc("MJPG");
    for (std::uint32_t x : {0u, 0u, 0u, 1u, v.fps, 0u, v.frames, v.largestFrame, 0xFFFFFFFFu, 0u}) {
        b.u32(x); // flags, priority + language, initial frames, scale, rate, start, ...
    }
    for (std::uint32_t x : {0u, 0u, w, h}) {
        b.u16(x);
    }
    b.fourcc("strf");
    b.u32(40);
    b.u32(40);
    b.u32(w);
    b.u32(h);
    b.u16(1);
    b.u16(24);
    b.fourcc("MJPG");
    for (std::uint32_t x : {w * h * 3, 0u, 0u, 0u, 0u}) {
        b.u32(x);
    }
    b.fourcc("LIST");
    b.u32(4 + v.moviBytes);
    b.fourcc("movi");
    return b.data;
}

// Offset of the first entropy-coded byte, after the start-of-scan header; 0 if none.
std::size_t scanStart(const std::vector<uchar>& jpeg) {
    std::size_t i = 2;
    while (i + 3 < jpeg.size() && jpeg[i] == 0xFF) {
        const std::size_t length = (std::size_t(jpeg[i + 2]) << 8) | jpeg[i + 3];
        if (jpeg[i + 1] == 0xDA) {
            return i + 2 + length;
        }
        i += 2 + length;
    }
    return 0;
}

} // namespace

void CameraJpegEncoder::HandleCloser::operator()(void* handle) const {
    tjDestroy(handle);
}

CameraJpegEncoder::CameraJpegEncoder(int quality) : handle(tjInitCompress()), quality(quality) {
    if (!handle) {
        std::cout << "cannot start the TurboJPEG encoder: " << tjGetErrorStr2(nullptr) << std::endl;
    }
}

bool CameraJpegEncoder::encode(const cv::Mat& bgr, std::vector<uchar>& jpeg) {
    if (!handle || bgr.type() != CV_8UC3) {
        std::cout << "cannot encode a picture of type " << bgr.type() << std::endl;
        return false;
    }
    // Encoding into a buffer of the worst-case size avoids TurboJPEG's own allocations.
    jpeg.resize(tjBufSize(bgr.cols, bgr.rows, TJSAMP_422));
    unsigned char* out = jpeg.data();
    unsigned long size = jpeg.size();
    if (tjCompress2(handle.get(), bgr.data, bgr.cols, static_cast<int>(bgr.step), bgr.rows,
                    TJPF_BGR, &out, &size, TJSAMP_422, quality, TJFLAG_NOREALLOC) != 0) {
        std::cout << "cannot encode a frame: " << tjGetErrorStr2(handle.get()) << std::endl;
        return false;
    }
    jpeg.resize(size);
    return true;
}

void damageJpeg(std::vector<uchar>& jpeg, JpegDamage damage, std::uint64_t seed) {
    cv::RNG rng(seed);
    if (damage == JpegDamage::CutShort) {
        jpeg.resize(
            static_cast<std::size_t>(jpeg.size() * rng.uniform(minCutFraction, maxCutFraction)));
        return;
    }
    const std::size_t start = scanStart(jpeg);
    if (start == 0 || start + corruptRunBytes + 2 >= jpeg.size()) {
        return;
    }
    // Somewhere in the scan, never over the end-of-image marker.
    const std::size_t span = jpeg.size() - 2 - corruptRunBytes - start;
    const std::size_t at = start + static_cast<std::size_t>(rng.uniform(0.0, 1.0) * span);
    for (std::size_t i = 0; i < corruptRunBytes; ++i) {
        jpeg[at + i] = static_cast<uchar>(rng.uniform(0, 256));
    }
}

void applyQuirk(std::vector<uchar>& jpeg, JpegQuirk quirk) {
    constexpr std::size_t paddingBytes = 256 * 1024;
    static const uchar strayBytes[] = {0x00, 0x17, 0x42, 0x00, 0x08, 0x2A};
    constexpr uchar huffmanTables = 0xC4;
    switch (quirk) {
    case JpegQuirk::None:
        return;
    case JpegQuirk::StrayBytes:
        jpeg.insert(jpeg.end() - 2, std::begin(strayBytes), std::end(strayBytes));
        return;
    case JpegQuirk::Padded:
        jpeg.resize(jpeg.size() + paddingBytes, 0);
        return;
    case JpegQuirk::NoHuffmanTables:
        // Header segments only, up to the scan: each with its length.
        for (std::size_t at = 2; at + 3 < jpeg.size() && jpeg[at + 1] != 0xDA;) {
            const std::size_t length = 2 + ((std::size_t{jpeg[at + 2]} << 8) | jpeg[at + 3]);
            if (jpeg[at + 1] == huffmanTables) {
                jpeg.erase(jpeg.begin() + static_cast<long>(at),
                           jpeg.begin() + static_cast<long>(at + length));
            } else {
                at += length;
            }
        }
        return;
    }
}

MjpegAviWriter::~MjpegAviWriter() {
    if (out.is_open()) {
        close();
    }
}

bool MjpegAviWriter::open(const std::string& file, cv::Size frameSize, int framesPerSecond) {
    if (out.is_open()) {
        close();
    }
    path = file;
    index.clear();
    largestFrame = 0;
    moviBytes = 0;
    out.open(path, std::ios::binary | std::ios::trunc);
    if (!out || frameSize.area() <= 0 || framesPerSecond <= 0) {
        std::cout << "cannot write " << path << std::endl;
        out.close();
        return false;
    }
    // Written again with the final counts by close().
    const std::vector<char> head =
        header({frameSize, static_cast<std::uint32_t>(framesPerSecond), 0, 0, 0, 0});
    out.write(head.data(), static_cast<std::streamsize>(head.size()));
    size = frameSize;
    fps = static_cast<std::uint32_t>(framesPerSecond);
    return static_cast<bool>(out);
}

bool MjpegAviWriter::write(const std::vector<uchar>& jpeg) {
    if (!out.is_open()) {
        return false;
    }
    const std::uint64_t padded = jpeg.size() + (jpeg.size() & 1);
    const std::uint64_t after =
        headerBytes + moviBytes + 8 + padded + 8 + indexEntryBytes * (index.size() + 1);
    if (after > maxFileBytes) {
        std::cout << "cannot write " << path << ": an AVI 1.0 file stays below "
                  << (maxFileBytes >> 20) << " MB" << std::endl;
        return false;
    }
    Bytes chunk;
    chunk.fourcc("00dc");
    chunk.u32(static_cast<std::uint32_t>(jpeg.size()));
    out.write(chunk.data.data(), static_cast<std::streamsize>(chunk.data.size()));
    out.write(reinterpret_cast<const char*>(jpeg.data()),
              static_cast<std::streamsize>(jpeg.size()));
    if (padded != jpeg.size()) {
        out.put('\0'); // chunks start on even offsets
    }
    index.push_back(
        {static_cast<std::uint32_t>(4 + moviBytes), static_cast<std::uint32_t>(jpeg.size())});
    largestFrame = std::max(largestFrame, static_cast<std::uint32_t>(jpeg.size()));
    moviBytes += 8 + padded;
    return static_cast<bool>(out);
}

bool MjpegAviWriter::close() {
    if (!out.is_open()) {
        return false;
    }
    Bytes idx;
    idx.fourcc("idx1");
    idx.u32(static_cast<std::uint32_t>(indexEntryBytes * index.size()));
    for (const IndexEntry& e : index) {
        idx.fourcc("00dc");
        idx.u32(aviifKeyFrame);
        idx.u32(e.offset);
        idx.u32(e.size);
    }
    out.write(idx.data.data(), static_cast<std::streamsize>(idx.data.size()));
    const auto riffBytes =
        static_cast<std::uint32_t>(headerBytes - 8 + moviBytes + idx.data.size());
    const std::vector<char> head =
        header({size, fps, static_cast<std::uint32_t>(index.size()), largestFrame,
                static_cast<std::uint32_t>(moviBytes), riffBytes});
    out.seekp(0);
    out.write(head.data(), static_cast<std::streamsize>(head.size()));
    out.close();
    if (!out) {
        std::cout << "cannot write " << path << std::endl;
        return false;
    }
    return true;
}

} // namespace rig
