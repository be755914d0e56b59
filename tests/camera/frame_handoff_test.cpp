#include "frame_handoff.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

CameraFrame frameNumber(std::uint64_t sequence) {
    CameraFrame frame;
    frame.sequence = sequence;
    frame.pixels = cv::Mat(2, 2, CV_8UC3, cv::Scalar::all(static_cast<double>(sequence)));
    return frame;
}

} // namespace

// A slow GUI thread never queues frames: the newest replaces the waiting one without
// copying its pixels, and one wake-up waits at most.
TEST(FrameHandoff, HoldsOneFrameTheNewestAndWakesOncePerTake) {
    FrameHandoff handoff;
    int wakes = 0;
    handoff.setWake([&wakes] { ++wakes; });
    CameraFrame third = frameNumber(3);
    const uchar* thirdPixels = third.pixels.data;
    handoff.postFrame(frameNumber(1));
    handoff.postFrame(frameNumber(2));
    handoff.postFrame(std::move(third));
    EXPECT_EQ(wakes, 1);
    handoff.takeEvents();
    CameraFrame taken;
    ASSERT_TRUE(handoff.takeFrame(taken));
    EXPECT_EQ(taken.sequence, 3u);
    EXPECT_EQ(taken.pixels.data, thirdPixels);
    EXPECT_FALSE(handoff.takeFrame(taken));
    EXPECT_EQ(handoff.takeCounters().dropped, 2);
    handoff.postFrame(frameNumber(4));
    EXPECT_EQ(wakes, 2);
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
        handoff.postFrame(frameNumber(1));
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
    handoff.postFrame(frameNumber(1));
    EXPECT_TRUE(handoff.reportUnplugged());
    EXPECT_FALSE(handoff.reportUnplugged()) << "an unplug is reported once";
    EXPECT_FALSE(handoff.hasFrame());
    EXPECT_EQ(handoff.takeEvents().size(), 1u);
}

TEST(FrameHandoff, DecodePlanCoversTheComingFramesAndFollowsBeyondAfterThem) {
    const DecodePlan plan{10, 0b0101u, false};
    struct Row {
        std::uint64_t sequence;
        bool wanted;
    };
    for (const Row row : {Row{10, true}, Row{11, true}, Row{12, false}, Row{13, true},
                          Row{14, false}, Row{42, false}, Row{43, false}}) {
        EXPECT_EQ(plan.wantsPixels(row.sequence), row.wanted) << row.sequence;
    }
    EXPECT_TRUE((DecodePlan{10, 0u, true}.wantsPixels(43)));
    EXPECT_TRUE(DecodePlan{}.wantsPixels(1)) << "before any plan every frame is decoded";
}

// The camera thread posting while the GUI thread takes: every frame is either taken or
// counted as dropped, in order, and the newest is never lost. The ThreadSanitizer build
// checks the locking.
TEST(FrameHandoff, ConcurrentPostsAndTakesLoseNothingAndKeepTheOrder) {
    constexpr std::uint64_t posted = 3000;
    FrameHandoff handoff;
    std::thread camera([&handoff] {
        for (std::uint64_t i = 1; i <= posted; ++i) {
            handoff.postFrame(frameNumber(i));
        }
    });
    std::uint64_t last = 0;
    int taken = 0;
    while (last < posted) {
        CameraFrame frame;
        if (handoff.takeFrame(frame)) {
            ASSERT_GT(frame.sequence, last);
            last = frame.sequence;
            ++taken;
        }
    }
    camera.join();
    EXPECT_EQ(taken + handoff.takeCounters().dropped, static_cast<int>(posted));
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
