#include "frame_handoff.h"
#include "loop_stats.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>

namespace {

const auto none = std::chrono::milliseconds(0);

CameraFrame frameNumber(std::uint64_t sequence, std::uint64_t stream = 0) {
    CameraFrame frame;
    frame.sequence = sequence;
    frame.stream = stream;
    frame.pixels = cv::Mat(2, 2, CV_8UC3, cv::Scalar::all(static_cast<double>(sequence)));
    return frame;
}

// A frame of the current stream through the decoder's slot, good.
bool postGoodFrame(FrameHandoff& handoff, std::uint64_t sequence = 1) {
    handoff.queueForDecode(frameNumber(sequence, handoff.currentStream()));
    CameraFrame frame;
    const bool taken = handoff.takeForDecode(frame, none);
    handoff.postFrame(std::move(frame));
    return taken;
}

} // namespace

// One slot leads to the GUI thread. The decoder takes a frame only into the empty
// slot, where it gets its number before its decode is decided; a decoded frame is never
// replaced unread, newer reads replace the undecoded one instead, and a damaged frame
// leaves its number to the next. One wake-up waits at most.
TEST(FrameHandoff, TheSlotNumbersFramesAsTheyEnterAndNeverDropADecodedOne) {
    FrameHandoff handoff;
    int wakes = 0;
    handoff.setWake([&wakes] { ++wakes; });
    CameraFrame inDecoder;
    CameraFrame taken;
    handoff.queueForDecode(frameNumber(101));
    ASSERT_TRUE(handoff.takeForDecode(inDecoder, none));
    EXPECT_EQ(inDecoder.sequence, 1u);
    handoff.queueForDecode(frameNumber(102));
    handoff.queueForDecode(frameNumber(103));
    EXPECT_FALSE(handoff.takeForDecode(taken, none)) << "the slot is the decoder's";
    handoff.postFrame(std::move(inDecoder));
    EXPECT_FALSE(handoff.takeForDecode(taken, none)) << "the decoded frame waits unread";
    EXPECT_EQ(wakes, 1);
    handoff.takeEvents();
    ASSERT_TRUE(handoff.takeFrame(taken));
    EXPECT_EQ(taken.sequence, 1u);

    ASSERT_TRUE(handoff.takeForDecode(inDecoder, none));
    EXPECT_EQ(inDecoder.pixels.at<cv::Vec3b>(0, 0)[0], 103) << "the newest read";
    EXPECT_EQ(inDecoder.sequence, 2u);
    handoff.postFrame(std::move(inDecoder), false);
    EXPECT_FALSE(handoff.takeFrame(taken)) << "a damaged frame never reaches the GUI thread";
    handoff.queueForDecode(frameNumber(104));
    ASSERT_TRUE(handoff.takeForDecode(inDecoder, none));
    EXPECT_EQ(inDecoder.sequence, 2u) << "the damaged frame's number goes to the next";
    handoff.postFrame(std::move(inDecoder));
    ASSERT_TRUE(handoff.takeFrame(taken));
    EXPECT_EQ(taken.sequence, 2u);
    EXPECT_EQ(wakes, 2);
    EXPECT_EQ(handoff.takeCounters().dropped, 1) << "only the undecoded 102 was dropped";
}

// A frame still on its way when the stream ends (an unplug, a lost connection, a new
// source) is never handed to the GUI thread, even when the decoder posts it afterwards.
TEST(FrameHandoff, FramesOfAnEndedStreamNeverReachTheGuiThread) {
    const std::vector<std::function<void(FrameHandoff&)>> endings = {
        [](FrameHandoff& h) { h.endStreaming(); },
        [](FrameHandoff& h) { h.reportUnplugged(); },
        [](FrameHandoff& h) { h.postConnection(false, -1); },
    };
    for (std::size_t i = 0; i < endings.size(); ++i) {
        FrameHandoff handoff;
        handoff.beginStreaming();
        handoff.queueForDecode(frameNumber(1));
        handoff.queueForDecode(frameNumber(2));
        CameraFrame inDecoder;
        ASSERT_TRUE(handoff.takeForDecode(inDecoder, none));
        handoff.queueForDecode(frameNumber(3));
        // A read that started before the ending and returns after it.
        CameraFrame readAcross = frameNumber(5, handoff.currentStream());
        endings[i](handoff);
        handoff.queueForDecode(std::move(readAcross));
        handoff.postFrame(std::move(inDecoder));
        CameraFrame frame;
        EXPECT_FALSE(handoff.takeFrame(frame)) << "ending " << i;
        EXPECT_FALSE(handoff.takeForDecode(frame, none)) << "ending " << i;
        ASSERT_TRUE(postGoodFrame(handoff, 4));
        EXPECT_TRUE(handoff.takeFrame(frame)) << "a frame of the new stream goes through";
    }
    FrameHandoff stopped;
    stopped.queueForDecode(frameNumber(1));
    stopped.requestStop();
    CameraFrame next;
    EXPECT_FALSE(stopped.takeForDecode(next, none));
}

// Lines and connection changes arrive in order; a lost connection clears the waiting
// frame, so no stale picture follows the placeholder.
TEST(FrameHandoff, ALostConnectionClearsTheWaitingFrameAndEventsKeepTheirOrder) {
    struct Row {
        bool connected;
        int index;
        bool frameKept;
    };
    for (const Row row : {Row{false, -1, false}, Row{true, -1, false}, Row{true, 0, true}}) {
        FrameHandoff handoff;
        postGoodFrame(handoff);
        handoff.postLine("first", true);
        handoff.postConnection(row.connected, row.index);
        handoff.postLine("last");
        const std::vector<CameraEvent> events = handoff.takeEvents();
        ASSERT_EQ(events.size(), 3u);
        EXPECT_EQ(events[0].line, "first");
        EXPECT_EQ(events[0].kind, CameraEvent::Kind::ConsoleAndLog);
        EXPECT_EQ(events[1].kind, CameraEvent::Kind::Connection);
        EXPECT_EQ(events[1].index, row.index);
        EXPECT_EQ(events[2].kind, CameraEvent::Kind::Console);
        CameraFrame frame;
        EXPECT_EQ(handoff.takeFrame(frame), row.frameKept) << row.connected << row.index;
    }
    FrameHandoff handoff;
    handoff.beginStreaming();
    postGoodFrame(handoff);
    EXPECT_TRUE(handoff.reportUnplugged());
    EXPECT_FALSE(handoff.reportUnplugged()) << "an unplug is reported once";
    EXPECT_FALSE(handoff.hasFrame());
    EXPECT_EQ(handoff.takeEvents().size(), 1u);
}

TEST(FrameHandoff, DecodePlanCoversTheComingFramesAndFollowsBeyondAfterThem) {
    const DecodePlan plan{10, 0b0101u, false, 0b0110u};
    struct Row {
        std::uint64_t sequence;
        bool wanted;
        bool halfSize;
    };
    for (const Row row :
         {Row{10, true, false}, Row{11, true, false}, Row{12, false, false}, Row{13, true, true},
          Row{14, false, false}, Row{42, false, false}, Row{43, false, false}}) {
        EXPECT_EQ(plan.wantsPixels(row.sequence), row.wanted) << row.sequence;
        EXPECT_EQ(plan.wantsHalfSize(row.sequence), row.halfSize) << row.sequence;
    }
    EXPECT_TRUE((DecodePlan{10, 0u, true, ~0u}.wantsPixels(43)));
    EXPECT_FALSE((DecodePlan{10, 0u, true, ~0u}.wantsHalfSize(43))) << "whole beyond the plan";
    EXPECT_TRUE(DecodePlan{}.wantsPixels(1)) << "before any plan every frame is decoded";
}

// Reader, decoder and GUI thread at once: every read is either taken by the GUI thread
// or dropped before its decode, never after it, and the numbers the GUI thread sees
// count the frames it took, one by one, as the decode plan assumes. The ThreadSanitizer
// build checks the locking.
TEST(FrameHandoff, ConcurrentReadsDecodesAndTakesLoseNoDecodeAndKeepTheCount) {
    constexpr int reads = 3000;
    FrameHandoff handoff;
    std::atomic<int> decoded{0};
    std::thread reader([&] {
        for (int i = 0; i < reads; ++i) {
            handoff.queueForDecode(frameNumber(0, handoff.currentStream()));
            // Paced, so that frames are taken as well as dropped.
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
    });
    std::thread decoder([&] {
        CameraFrame frame;
        while (!handoff.stopRequested()) {
            if (handoff.takeForDecode(frame, std::chrono::milliseconds(5))) {
                ++decoded;
                handoff.postFrame(std::move(frame));
            }
        }
    });
    std::uint64_t taken = 0;
    int dropped = 0;
    while (static_cast<int>(taken) + dropped < reads) {
        CameraFrame frame;
        if (handoff.takeFrame(frame)) {
            ASSERT_EQ(frame.sequence, ++taken);
        }
        dropped += handoff.takeCounters().dropped;
    }
    reader.join();
    handoff.requestStop();
    decoder.join();
    EXPECT_EQ(decoded, static_cast<int>(taken));
}

// Damage is reported per window of 5 s counted from the start of the stream, once the
// window has ended and with its own count; windows without damage say nothing.
TEST(DamageReport, EachWindowWithDamageIsReportedOnceAfterItEnds) {
    struct Row {
        double at;         // seconds since the stream started
        bool damaged;      // a damaged frame arrives, or the decoder just looks
        const char* count; // the count in the line due, "" for none
    };
    const Row rows[] = {
        {0.5, true, ""},    {1.0, true, ""},    {4.9, true, ""},   {5.4, false, "3"},
        {6.0, false, ""},   {10.5, false, ""},  {12.0, true, ""},  {14.9, false, ""},
        {15.2, false, "1"}, {31.0, true, ""},   {36.0, true, "1"}, {40.2, true, "1"},
        {44.0, false, ""},  {45.1, false, "1"},
    };
    DamageReport report;
    const auto start = DamageReport::Clock::time_point() + std::chrono::hours(1);
    EXPECT_FALSE(report.start(start));
    for (const Row& row : rows) {
        const auto now = start + std::chrono::milliseconds(static_cast<int>(row.at * 1000));
        const auto line = row.damaged ? report.count(now) : report.due(now);
        const std::string expected = *row.count ? std::string("camera: ") + row.count +
                                                      " damaged frames dropped in the last 5 s"
                                                : "";
        EXPECT_EQ(line.value_or(""), expected) << "at " << row.at << " s";
    }
}

// Buffers come back for reuse once released, and one still held is never handed out.
TEST(PictureRing, ReusesOnlyBuffersNobodyElseHolds) {
    PictureRing ring(2);
    auto fill = [](cv::Mat& buffer) {
        buffer.create(4, 4, CV_8UC3);
        return buffer;
    };
    cv::Mat first = fill(ring.freeBuffer());
    cv::Mat second = fill(ring.freeBuffer());
    EXPECT_NE(first.data, second.data);
    const uchar* firstPixels = first.data;
    first.release();
    cv::Mat again = fill(ring.freeBuffer());
    EXPECT_EQ(again.data, firstPixels) << "a released buffer is reused";
    // Both held: a fresh buffer, the held ones untouched.
    cv::Mat& third = ring.freeBuffer();
    EXPECT_TRUE(third.empty());
    EXPECT_NE(fill(third).data, again.data);
    EXPECT_EQ(again.data, firstPixels);
}
