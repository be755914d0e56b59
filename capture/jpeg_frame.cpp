#include "jpeg_frame.h"

// jpeglib.h needs size_t and FILE declared first.
#include <cstdio>
#include <cstring>
#include <jerror.h>
#include <jpeglib.h>

#include <csetjmp>
#include <iostream>

namespace {

// No colour JPEG with its quantisation table, frame and scan headers is smaller.
constexpr std::size_t minimumFrameBytes = 100;

constexpr uchar markerPrefix = 0xFF;
constexpr uchar startOfImage = 0xD8;
constexpr uchar endOfImage = 0xD9;
constexpr uchar startOfScan = 0xDA;
constexpr uchar firstRestart = 0xD0;
constexpr uchar lastRestart = 0xD7;
constexpr uchar temporaryMarker = 0x01;

bool isStandalone(uchar marker) {
    return marker == startOfImage || marker == temporaryMarker ||
           (marker >= firstRestart && marker <= lastRestart);
}

// Inside entropy-coded data 0xFF is always followed by 0x00 (stuffing), a restart
// marker or another 0xFF (fill), so the first 0xFF 0xD9 after the first scan header is
// where the image ends. Only the headers before it are walked by their lengths, so the
// cost does not grow with what a driver appends after the marker.
FrameCheck findEndMarker(const uchar* data, std::size_t size) {
    std::size_t pos = 2;
    while (pos + 1 < size) {
        if (data[pos] != markerPrefix) {
            // Stray bytes between header segments: libjpeg skips them too.
            const void* next = std::memchr(data + pos, markerPrefix, size - pos);
            if (next == nullptr) {
                break;
            }
            pos = static_cast<std::size_t>(static_cast<const uchar*>(next) - data);
            continue;
        }
        const uchar marker = data[pos + 1];
        if (marker == endOfImage) {
            return {FrameDamage::None, pos + 2};
        }
        if (marker == markerPrefix || isStandalone(marker) || marker == 0x00) {
            pos += marker == markerPrefix ? 1 : 2;
            continue;
        }
        if (pos + 3 >= size) {
            break;
        }
        const std::size_t length = (std::size_t{data[pos + 2]} << 8) | data[pos + 3];
        if (marker != startOfScan) {
            pos += 2 + length;
            continue;
        }
        for (pos += 2 + length; pos + 1 < size; pos += 2) {
            const void* next = std::memchr(data + pos, markerPrefix, size - pos - 1);
            if (next == nullptr) {
                return {FrameDamage::NoEndMarker, 0};
            }
            pos = static_cast<std::size_t>(static_cast<const uchar*>(next) - data);
            if (data[pos + 1] == endOfImage) {
                return {FrameDamage::None, pos + 2};
            }
        }
        break;
    }
    return {FrameDamage::NoEndMarker, 0};
}

bool isColour(J_COLOR_SPACE colorSpace) {
    return colorSpace == JCS_YCbCr || colorSpace == JCS_RGB;
}

// Cameras leave a few stray bytes before the end marker. A scan whose entropy decoder
// lost its way also ends with unread bytes, usually many more.
constexpr int mostStrayBytes = 32;

// Warnings that do not touch the picture: an old or unknown JFIF revision, a bad ICC
// profile chunk, and a few stray bytes before the end marker once the scan is complete.
bool isHarmless(const jpeg_error_mgr& error, bool scanComplete) {
    switch (error.msg_code) {
    case JWRN_JFIF_MAJOR:
    case JWRN_BOGUS_ICC:
        return true;
    case JWRN_EXTRANEOUS_DATA:
        return scanComplete && error.msg_parm.i[0] <= mostStrayBytes;
    default:
        return false;
    }
}

} // namespace

struct JpegDecoder::State {
    jpeg_decompress_struct info{};
    jpeg_error_mgr errors{};
    std::jmp_buf failed{};
    bool scanComplete = false;

    // libjpeg's error exits and damaging warnings end the decode here.
    [[noreturn]] static void fail(j_common_ptr info) {
        std::longjmp(static_cast<State*>(info->client_data)->failed, 1);
    }
    static void message(j_common_ptr info, int level) {
        auto* self = static_cast<State*>(info->client_data);
        if (level < 0 && !isHarmless(*info->err, self->scanComplete)) {
            std::longjmp(self->failed, 1);
        }
    }

    State() {
        info.err = jpeg_std_error(&errors);
        errors.error_exit = fail;
        errors.emit_message = message;
        info.client_data = this;
        jpeg_create_decompress(&info);
    }
    ~State() { jpeg_destroy_decompress(&info); }
    State(const State&) = delete;
    State& operator=(const State&) = delete;
};

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

FrameCheck checkEncodedFrame(const uchar* data, std::size_t size) {
    if (data == nullptr || size < minimumFrameBytes) {
        return {FrameDamage::TooShort, 0};
    }
    if (data[0] != markerPrefix || data[1] != startOfImage || data[2] != markerPrefix) {
        return {FrameDamage::NotJpeg, 0};
    }
    return findEndMarker(data, size);
}

JpegDecoder::JpegDecoder() : JpegDecoder(Options{}) {}

JpegDecoder::JpegDecoder(Options decodeOptions) : options(decodeOptions) {
    try {
        state = std::make_unique<State>();
    } catch (const std::bad_alloc&) {
        std::cout << "jpeg: cannot start the JPEG decoder" << std::endl;
    }
}

JpegDecoder::~JpegDecoder() = default;

FrameDamage JpegDecoder::decode(const uchar* data, std::size_t size, cv::Size expected,
                                cv::Mat& bgr, bool halfSize) {
    const FrameCheck check = checkEncodedFrame(data, size);
    if (check.damage != FrameDamage::None) {
        return check.damage;
    }
    if (!state) {
        return FrameDamage::Corrupt;
    }
    jpeg_decompress_struct& info = state->info;
    // Nothing between here and the longjmp targets owns resources: libjpeg's own
    // memory is freed by jpeg_abort_decompress.
    state->scanComplete = false;
    if (setjmp(state->failed) != 0) {
        jpeg_abort_decompress(&info);
        return FrameDamage::Corrupt;
    }
    jpeg_mem_src(&info, data, static_cast<unsigned long>(check.length));
    jpeg_read_header(&info, TRUE);
    // Checked before decoding, so a wrong frame never costs a decode or a reallocation.
    if (static_cast<int>(info.image_width) != expected.width ||
        static_cast<int>(info.image_height) != expected.height || info.num_components != 3 ||
        !isColour(info.jpeg_color_space)) {
        jpeg_abort_decompress(&info);
        return FrameDamage::WrongSize;
    }
    info.out_color_space = JCS_EXT_BGR;
    info.dct_method = options.fastDct ? JDCT_IFAST : JDCT_ISLOW;
    info.do_fancy_upsampling = options.fastUpsample ? FALSE : TRUE;
    info.scale_num = 1;
    info.scale_denom = halfSize ? 2 : 1;
    jpeg_start_decompress(&info);
    const cv::Size out(static_cast<int>(info.output_width), static_cast<int>(info.output_height));
    bgr.create(out, CV_8UC3);
    rows.resize(static_cast<std::size_t>(out.height));
    for (int y = 0; y < out.height; ++y) {
        rows[static_cast<std::size_t>(y)] = bgr.ptr(y);
    }
    while (info.output_scanline < info.output_height) {
        jpeg_read_scanlines(&info, rows.data() + info.output_scanline,
                            info.output_height - info.output_scanline);
    }
    state->scanComplete = true;
    jpeg_finish_decompress(&info);
    return FrameDamage::None;
}
