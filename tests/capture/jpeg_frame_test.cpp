#include "jpeg_frame.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <gtest/gtest.h>

#include <functional>
#include <vector>

namespace {

using Bytes = std::vector<uchar>;

const cv::Size frameSize(320, 240);

// A textured colour picture, so that the scan data is long and every byte matters.
cv::Mat picture(cv::Size size) {
    cv::Mat pic(size, CV_8UC3);
    cv::randu(pic, cv::Scalar::all(0), cv::Scalar::all(255));
    cv::GaussianBlur(pic, pic, cv::Size(5, 5), 0);
    cv::circle(pic, {size.width / 2, size.height / 2}, size.height / 3, {20, 200, 90}, 9);
    return pic;
}

Bytes encode(const cv::Mat& pic, int restartInterval = 0) {
    Bytes jpeg;
    cv::imencode(".jpg", pic, jpeg,
                 {cv::IMWRITE_JPEG_QUALITY, 90, cv::IMWRITE_JPEG_RST_INTERVAL, restartInterval});
    return jpeg;
}

Bytes intact() {
    return encode(picture(frameSize));
}

Bytes withRestarts() {
    return encode(picture(frameSize), 4);
}

// Offset of the first byte of the entropy-coded data (after the start-of-scan header).
std::size_t scanStart(const Bytes& jpeg) {
    for (std::size_t i = 2; i + 3 < jpeg.size(); i += 2 + ((jpeg[i + 2] << 8) | jpeg[i + 3])) {
        if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xDA) {
            return i + 2 + ((jpeg[i + 2] << 8) | jpeg[i + 3]);
        }
    }
    return 0;
}

// Offset of the first marker `code` after `from`.
std::size_t markerAt(const Bytes& jpeg, uchar code, std::size_t from = 2) {
    for (std::size_t i = from; i + 1 < jpeg.size(); ++i) {
        if (jpeg[i] == 0xFF && jpeg[i + 1] == code) {
            return i;
        }
    }
    return 0;
}

// Motion JPEG leaves out the Huffman tables: the decoder uses the standard ones.
Bytes withoutHuffmanTables(Bytes jpeg) {
    for (std::size_t at = markerAt(jpeg, 0xC4); at != 0; at = markerAt(jpeg, 0xC4)) {
        const std::size_t length = 2 + ((jpeg[at + 2] << 8) | jpeg[at + 3]);
        jpeg.erase(jpeg.begin() + static_cast<long>(at),
                   jpeg.begin() + static_cast<long>(at + length));
    }
    return jpeg;
}

Bytes withEndMarker(Bytes jpeg) {
    jpeg.insert(jpeg.end(), {0xFF, 0xD9});
    return jpeg;
}

// The first `tenths` tenths of a JPEG, less `bytes`.
Bytes cut(Bytes jpeg, int tenths, std::size_t bytes = 0) {
    jpeg.resize(jpeg.size() * tenths / 10 - bytes);
    return jpeg;
}

using Make = std::function<Bytes()>;
using Offset = std::function<std::size_t(const Bytes&)>;
enum class Edit { insert, overwrite };

// What `make` gives with `bytes`, `times` over, inserted at the offset `at` finds in it
// or written over the bytes from there.
Make edited(Make make, Offset at, Edit edit, Bytes bytes, int times = 1) {
    return [=] {
        Bytes j = make();
        for (std::size_t i = 0, from = at(j); i < static_cast<std::size_t>(times); ++i) {
            const auto to = j.begin() + static_cast<long>(from + i * bytes.size());
            if (edit == Edit::insert) {
                j.insert(to, bytes.begin(), bytes.end());
            } else {
                std::copy(bytes.begin(), bytes.end(), to);
            }
        }
        return j;
    };
}

struct Row {
    const char* name;
    Make make;
    FrameDamage check;  // what the cheap check says
    FrameDamage decode; // what a decode says
};

const std::vector<Row>& rows() {
    using D = FrameDamage;
    const Offset end = [](const Bytes& j) { return j.size(); };
    const Offset endMarker = [](const Bytes& j) { return j.size() - 2; };
    const Offset midScan = [](const Bytes& j) {
        return scanStart(j) + (j.size() - scanStart(j)) / 2;
    };
    const Offset secondRestart = [](const Bytes& j) { return markerAt(j, 0xD2, scanStart(j)); };
    const Offset start = [](const Bytes&) { return 0; };
    const Make garbage = [] { return Bytes(4000, 0x5A); };
    const Make empty = [] { return Bytes(); };
    static const std::vector<Row> table{
        {"intact", intact, D::None, D::None},
        {"stray bytes before the end marker",
         edited(intact, endMarker, Edit::insert,
                {0x00, 0x17, 0x42, 0x00, 0x08, 0x2A, 0x11, 0x5C, 0x03, 0x00, 0x7E, 0x21}),
         D::None, D::None},
        {"1 MB of zeros after the end marker", edited(intact, end, Edit::insert, Bytes(1 << 20, 0)),
         D::None, D::None},
        {"no Huffman tables", [] { return withoutHuffmanTables(intact()); }, D::None, D::None},
        {"restart markers", withRestarts, D::None, D::None},
        {"a restart marker out of turn",
         edited(withRestarts, secondRestart, Edit::overwrite, {0xFF, 0xD5}), D::None, D::Corrupt},
        {"stray bytes before a restart marker",
         edited(withRestarts, secondRestart, Edit::insert, {0x13, 0x37, 0x55, 0x21, 0x42, 0x17}),
         D::None, D::Corrupt},
        {"bad Huffman code", edited(intact, midScan, Edit::overwrite, {0xFF, 0x00}, 32), D::None,
         D::Corrupt},
        {"cut short", [] { return cut(intact(), 6); }, D::NoEndMarker, D::NoEndMarker},
        {"cut by one byte", [] { return cut(intact(), 10, 1); }, D::NoEndMarker, D::NoEndMarker},
        {"cut short, end marker appended", [] { return withEndMarker(cut(intact(), 6)); }, D::None,
         D::Corrupt},
        {"header cut, end marker appended",
         [] {
             Bytes j = intact();
             j.resize(scanStart(j) - 40);
             return withEndMarker(j);
         },
         D::NoEndMarker, D::NoEndMarker},
        {"stray marker in the scan", edited(intact, midScan, Edit::overwrite, {0xFF, 0xC8}),
         D::None, D::Corrupt},
        {"garbage", garbage, D::NotJpeg, D::NotJpeg},
        {"garbage between the markers",
         edited(edited(garbage, start, Edit::overwrite, {0xFF, 0xD8, 0xFF}), end, Edit::insert,
                {0xFF, 0xD9}),
         D::NoEndMarker, D::NoEndMarker},
        {"bare markers", edited(empty, end, Edit::insert, {0xFF, 0xD8, 0xFF, 0xD9}), D::TooShort,
         D::TooShort},
        {"empty", empty, D::TooShort, D::TooShort},
        {"one pixel narrower", [] { return encode(picture(frameSize - cv::Size(1, 0))); }, D::None,
         D::WrongSize},
        {"grey picture",
         [] {
             cv::Mat grey;
             cv::cvtColor(picture(frameSize), grey, cv::COLOR_BGR2GRAY);
             return encode(grey);
         },
         D::None, D::WrongSize},
    };
    return table;
}

} // namespace

TEST(JpegFrame, DamagedFramesAreRecognisedAndIntactOnesDecodeLikeOpenCV) {
    JpegDecoder decoder;
    for (const Row& row : rows()) {
        SCOPED_TRACE(row.name);
        const Bytes jpeg = row.make();
        const FrameCheck check = checkEncodedFrame(jpeg.data(), jpeg.size());
        EXPECT_EQ(frameDamageText(check.damage), std::string(frameDamageText(row.check)));
        if (check.damage == FrameDamage::None) {
            EXPECT_EQ(jpeg[check.length - 2], 0xFF);
            EXPECT_EQ(jpeg[check.length - 1], 0xD9) << "the length ends at the end marker";
        }
        cv::Mat bgr;
        EXPECT_EQ(frameDamageText(decoder.decode(jpeg.data(), jpeg.size(), frameSize, bgr)),
                  std::string(frameDamageText(row.decode)));
        cv::Mat half;
        EXPECT_EQ(frameDamageText(decoder.decode(jpeg.data(), jpeg.size(), frameSize, half, true)),
                  std::string(frameDamageText(row.decode)))
            << "at half size";
        if (row.decode == FrameDamage::None) {
            const cv::Mat reference = cv::imdecode(jpeg, cv::IMREAD_COLOR);
            ASSERT_EQ(bgr.size(), reference.size());
            EXPECT_EQ(cv::norm(bgr, reference, cv::NORM_INF), 0.0);
            // Half the size in each direction, close to the average of 2 x 2 blocks.
            ASSERT_EQ(half.size(), cv::Size((frameSize.width + 1) / 2, (frameSize.height + 1) / 2));
            cv::Mat averaged;
            cv::resize(reference, averaged, half.size(), 0, 0, cv::INTER_AREA);
            EXPECT_GT(cv::PSNR(half, averaged), 30.0);
        }
    }
}

TEST(JpegFrame, DecodingReusesThePictureAndRecoversAfterDamage) {
    JpegDecoder decoder({true, true});
    const Bytes good = intact();
    const Bytes damaged = withEndMarker(cut(good, 5));
    cv::Mat bgr;
    ASSERT_EQ(decoder.decode(good.data(), good.size(), frameSize, bgr), FrameDamage::None);
    const cv::Mat first = bgr; // keeps the first buffer from being handed out again
    EXPECT_EQ(decoder.decode(damaged.data(), damaged.size(), frameSize, bgr), FrameDamage::Corrupt);
    ASSERT_EQ(decoder.decode(good.data(), good.size(), frameSize, bgr), FrameDamage::None);
    EXPECT_EQ(bgr.data, first.data);
    // Fast DCT and upsampling stay close to the exact decode.
    EXPECT_GT(cv::PSNR(bgr, cv::imdecode(good, cv::IMREAD_COLOR)), 30.0);
}
