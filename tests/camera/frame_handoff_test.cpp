#include "frame_handoff.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
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
// copying its pixels and takes its number, and one wake-up waits at most.
TEST(FrameHandoff, HoldsOneFrameTheNewestAndWakesOncePerTake) {
    FrameHandoff handoff;
    int wakes = 0;
    handoff.setWake([&wakes] { ++wakes; });
    CameraFrame third = frameNumber(3);
    const uchar* thirdPixels = third.pixels.data;
    EXPECT_EQ(handoff.postFrame(frameNumber(1)), 1u);
    EXPECT_EQ(handoff.postFrame(frameNumber(2)), 1u);
    EXPECT_EQ(handoff.postFrame(std::move(third)), 1u);
    EXPECT_EQ(wakes, 1);
    handoff.takeEvents();
    CameraFrame taken;
    ASSERT_TRUE(handoff.takeFrame(taken));
    EXPECT_EQ(taken.sequence, 1u);
    EXPECT_EQ(taken.pixels.data, thirdPixels);
    EXPECT_FALSE(handoff.takeFrame(taken));
    EXPECT_EQ(handoff.takeCounters().dropped, 2);
    handoff.postFrame(frameNumber(2));
    EXPECT_EQ(wakes, 2);
}

// The decoder gives the GUI thread its patience to take the waiting frame before the
// next replaces it; without patience, or with a GUI thread too slow, it is replaced.
TEST(FrameHandoff, APostWaitsItsPatienceForTheWaitingFrameToBeTaken) {
    struct Row {
        std::chrono::milliseconds patience;
        std::chrono::milliseconds takenAfter;
        bool replaced;
    };
    using std::chrono::milliseconds;
    for (const Row row : {Row{milliseconds(2000), milliseconds(20), false},
                          Row{milliseconds(0), milliseconds(20), true},
                          Row{milliseconds(20), milliseconds(400), true}}) {
        FrameHandoff handoff;
        handoff.postFrame(frameNumber(1));
        std::thread gui([&] {
            std::this_thread::sleep_for(row.takenAfter);
            CameraFrame frame;
            handoff.takeFrame(frame);
        });
        const std::uint64_t number = handoff.postFrame(frameNumber(2), row.patience);
        gui.join();
        EXPECT_EQ(number, row.replaced ? 1u : 2u) << row.patience.count();
        EXPECT_EQ(handoff.takeCounters().dropped, row.replaced ? 1 : 0) << row.patience.count();
    }
}

// Between the reader and the decoder one frame waits at most, the newest. A frame still
// on its way when the stream ends (an unplug, a lost connection, a new source) is
// never handed to the GUI thread, even when the decoder posts it afterwards.
TEST(FrameHandoff, FramesOfAnEndedStreamNeverReachTheGuiThread) {
    FrameHandoff queue;
    queue.queueForDecode(frameNumber(7));
    queue.queueForDecode(frameNumber(8));
    CameraFrame next;
    ASSERT_TRUE(queue.takeForDecode(next, std::chrono::milliseconds(0)));
    EXPECT_EQ(next.sequence, 8u);
    EXPECT_EQ(queue.takeCounters().dropped, 1);
    EXPECT_FALSE(queue.takeForDecode(next, std::chrono::milliseconds(1)));

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
        ASSERT_TRUE(handoff.takeForDecode(inDecoder, std::chrono::milliseconds(0)));
        handoff.queueForDecode(frameNumber(3));
        endings[i](handoff);
        handoff.postFrame(std::move(inDecoder));
        CameraFrame frame;
        EXPECT_FALSE(handoff.takeFrame(frame)) << "ending " << i;
        EXPECT_FALSE(handoff.takeForDecode(frame, std::chrono::milliseconds(0))) << "ending " << i;
        handoff.queueForDecode(frameNumber(4));
        ASSERT_TRUE(handoff.takeForDecode(frame, std::chrono::milliseconds(0)));
        handoff.postFrame(std::move(frame));
        EXPECT_TRUE(handoff.takeFrame(frame)) << "a frame of the new stream goes through";
    }
    FrameHandoff stopped;
    stopped.queueForDecode(frameNumber(1));
    stopped.requestStop();
    EXPECT_FALSE(stopped.takeForDecode(next, std::chrono::milliseconds(0)));
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

// The camera thread posting while the GUI thread takes: every frame is either taken or
// counted as dropped, and the numbers the GUI thread sees count the frames it took, one
// by one, as the decode plan assumes. The ThreadSanitizer build checks the locking.
TEST(FrameHandoff, ConcurrentPostsAndTakesLoseNothingAndKeepTheCount) {
    constexpr int posted = 3000;
    FrameHandoff handoff;
    std::atomic<bool> done{false};
    std::thread camera([&] {
        std::uint64_t sequence = 0;
        for (int i = 0; i < posted; ++i) {
            sequence = handoff.postFrame(frameNumber(sequence + 1));
        }
        done = true;
    });
    std::uint64_t taken = 0;
    for (;;) {
        const bool finished = done;
        CameraFrame frame;
        if (handoff.takeFrame(frame)) {
            ASSERT_EQ(frame.sequence, ++taken);
        } else if (finished) {
            break;
        }
    }
    camera.join();
    EXPECT_EQ(static_cast<int>(taken) + handoff.takeCounters().dropped, posted);
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
