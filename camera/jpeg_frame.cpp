#include "jpeg_frame.h"

#include <turbojpeg.h>

#include <iostream>

namespace {

// No colour JPEG with its quantisation table, frame and scan headers is smaller.
constexpr std::size_t minimumFrameBytes = 100;
// Some cameras pad a frame after its end-of-image marker.
constexpr std::size_t maxTrailingPadding = 512;

constexpr uchar markerPrefix = 0xFF;
constexpr uchar startOfImage = 0xD8;
constexpr uchar endOfImage = 0xD9;

// Inside the entropy-coded data 0xFF is always followed by 0x00 or a restart marker,
// so an end-of-image pair in the tail can only be the real marker.
bool endsWithEndMarker(const uchar* data, std::size_t size) {
    const std::size_t tailStart = size > maxTrailingPadding + 2 ? size - maxTrailingPadding - 2 : 0;
    for (std::size_t i = size - 1; i > tailStart; --i) {
        if (data[i] == endOfImage && data[i - 1] == markerPrefix) {
            return true;
        }
    }
    return false;
}

bool isColour(int jpegColorspace) {
    return jpegColorspace == TJCS_YCbCr || jpegColorspace == TJCS_RGB;
}

} // namespace

const char* frameDamageText(FrameDamage damage) {
    switch (damage) {
    case FrameDamage::None:
        return "intact";
    case FrameDamage::NotJpeg:
        return "not a JPEG";
    case FrameDamage::TooShort:
        return "too short";
    case FrameDamage::NoEndMarker:
        return "no end-of-image marker";
    case FrameDamage::Corrupt:
        return "corrupt data";
    case FrameDamage::WrongSize:
        return "wrong size";
    }
    return "unknown damage";
}

FrameDamage checkEncodedFrame(const uchar* data, std::size_t size) {
    if (data == nullptr || size < minimumFrameBytes) {
        return FrameDamage::TooShort;
    }
    if (data[0] != markerPrefix || data[1] != startOfImage || data[2] != markerPrefix) {
        return FrameDamage::NotJpeg;
    }
    return endsWithEndMarker(data, size) ? FrameDamage::None : FrameDamage::NoEndMarker;
}

void JpegDecoder::HandleCloser::operator()(void* handle) const {
    tjDestroy(handle);
}

JpegDecoder::JpegDecoder() : JpegDecoder(Options{}) {}

JpegDecoder::JpegDecoder(Options options)
    : flags(TJFLAG_STOPONWARNING | (options.fastDct ? TJFLAG_FASTDCT : 0) |
            (options.fastUpsample ? TJFLAG_FASTUPSAMPLE : 0)) {
    restart();
}

void JpegDecoder::restart() {
    handle.reset(tjInitDecompress());
    if (!handle) {
        std::cout << "jpeg: cannot start the TurboJPEG decoder: " << tjGetErrorStr2(nullptr)
                  << std::endl;
    }
}

FrameDamage JpegDecoder::decode(const uchar* data, std::size_t size, cv::Size expected,
                                cv::Mat& bgr, bool halfSize) {
    const FrameDamage check = checkEncodedFrame(data, size);
    if (check != FrameDamage::None) {
        return check;
    }
    if (!handle) {
        return FrameDamage::Corrupt;
    }
    int width = 0;
    int height = 0;
    int subsampling = 0;
    int colorspace = 0;
    const auto bytes = static_cast<unsigned long>(size);
    if (tjDecompressHeader3(handle.get(), data, bytes, &width, &height, &subsampling,
                            &colorspace) != 0) {
        // A failed header read leaves the handle in a state in which later headers fail
        // or report uninitialised sizes, so the next frame gets a fresh one.
        restart();
        return FrameDamage::Corrupt;
    }
    // Checked before decoding, so a wrong frame never costs a decode or a reallocation.
    if (width != expected.width || height != expected.height || !isColour(colorspace)) {
        return FrameDamage::WrongSize;
    }
    const cv::Size out = halfSize ? cv::Size((width + 1) / 2, (height + 1) / 2) : expected;
    bgr.create(out, CV_8UC3);
    // With TJFLAG_STOPONWARNING a truncated or corrupt scan fails instead of being
    // padded with grey. TurboJPEG picks the scaling factor that gives `out`.
    if (tjDecompress2(handle.get(), data, bytes, bgr.data, out.width, static_cast<int>(bgr.step),
                      out.height, TJPF_BGR, flags) != 0) {
        restart();
        return FrameDamage::Corrupt;
    }
    return FrameDamage::None;
}
