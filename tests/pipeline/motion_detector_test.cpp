#include "motion_detector.h"
#include "tiny_store.h"

#include <opencv2/imgproc.hpp>

#include <gtest/gtest.h>

#include <set>
#include <vector>

namespace {

constexpr int smallWidth = 1240;
constexpr int smallHeight = 460;
constexpr int cellW = 31;
constexpr int cellH = 23;

int cellAt(int x, int y) {
    return (y / cellH) * 40 + x / cellW;
}

class MotionDetectorTest : public ::testing::Test {
protected:
    void SetUp() override {
        tiny::enterScratchDirectory();
        CalibrationStore& store = CalibrationStore::instance();
        tiny::layOutStore(store);
        store.roisMapSmall.clear();
        store.boardGrids.clear();
        for (int k = 0; k < 800; ++k) {
            store.roisMapSmall.emplace_back((k % 40) * cellW, (k / 40) * cellH, cellW, cellH);
            store.boardGrids.push_back(k);
        }
        store.homographyWidth = 1920; // margins: x > 38.4, y > 25.6
        store.homographyHeight = 1280;
    }

    static cv::Mat still() {
        return cv::Mat(smallHeight, smallWidth, CV_8UC3, cv::Scalar::all(100));
    }

    // Still picture, then the same with the rectangles raised to `level`.
    std::set<int> marksAfter(const std::vector<cv::Rect>& blobs, int level = 200) {
        cv::Mat moved = still();
        for (const cv::Rect& blob : blobs) {
            moved(blob).setTo(cv::Scalar::all(level));
        }
        detector.update(still());
        detector.update(moved);
        std::set<int> marked;
        for (int k = 0; k < 800; ++k) {
            if (detector.marks[k] != 0) {
                marked.insert(k);
            }
        }
        return marked;
    }

    MotionDetector detector;
};

TEST_F(MotionDetectorTest, FirstDetectionAndAStillSceneMarkNothing) {
    cv::Mat picture(smallHeight, smallWidth, CV_8UC3);
    cv::randu(picture, 0, 256);
    detector.update(picture);
    EXPECT_EQ(cv::countNonZero(detector.marks), 0);
    detector.update(picture);
    EXPECT_EQ(cv::countNonZero(detector.marks), 0);
}

// A 21 x 13 block inside cell (10, 5), clear of its edges even after dilation.
TEST_F(MotionDetectorTest, GreyDifferenceMustExceedTwenty) {
    const cv::Rect block(315, 118, 21, 13);
    EXPECT_TRUE(marksAfter({block}, 120).empty());
    MotionDetector fresh;
    detector = fresh;
    EXPECT_EQ(marksAfter({block}, 121), (std::set<int>{cellAt(320, 120)}));
}

TEST_F(MotionDetectorTest, DilationReachesTheNeighbouringCell) {
    // Right edge at x 339 after the median; dilation by 2 crosses into column 11 at 341.
    EXPECT_EQ(marksAfter({cv::Rect(320, 118, 21, 13)}),
              (std::set<int>{cellAt(320, 120), cellAt(341, 120)}));
}

TEST_F(MotionDetectorTest, CellsOutsideTheBoardAreNeverMarked) {
    CalibrationStore::instance().boardGrids = {0, 1, 2};
    detector.marks[5] = 1;
    EXPECT_EQ(marksAfter({cv::Rect(315, 118, 21, 13)}), (std::set<int>{5}))
        << "update neither marks off-board cells nor clears a mark";
}

// Five 5 x 6 blobs each give six contour points after the median blur (area 12, so
// only points inside the margin count). The cell between them is covered only when
// the hull of 31 or more points is filled in.
struct HullCase {
    const char* name;
    std::vector<cv::Rect> extra;
    bool hull;
};

TEST_F(MotionDetectorTest, HullNeedsThirtyOneCollectedPoints) {
    const std::vector<cv::Rect> five{
        {200, 100, 5, 6}, {600, 100, 5, 6}, {1000, 100, 5, 6}, {200, 350, 5, 6}, {1000, 350, 5, 6}};
    const int between = cellAt(600, 240);
    const std::vector<HullCase> cases{
        {"30 points", {}, false},
        // at y 21 only its lowest point (y 26) lies inside the 0.02 x 1280 margin
        {"one more point below the top margin", {{600, 21, 5, 6}}, true},
        {"blob fully in the top margin", {{600, 20, 5, 6}}, false},
        {"blob in the left margin", {{30, 200, 5, 6}}, false},
        {"same blob inside the margin", {{45, 200, 5, 6}}, true},
        // area above 20: all its eight points count, margin or not
        {"large blob in the left margin", {{10, 200, 9, 9}}, true},
        // area 7: ignored
        {"tiny blob", {{300, 200, 4, 6}}, false},
    };
    for (const HullCase& c : cases) {
        detector = MotionDetector();
        std::vector<cv::Rect> blobs = five;
        blobs.insert(blobs.end(), c.extra.begin(), c.extra.end());
        const std::set<int> marked = marksAfter(blobs);
        EXPECT_EQ(marked.count(between) == 1, c.hull) << c.name;
        for (const cv::Rect& blob : blobs) {
            EXPECT_EQ(marked.count(cellAt(blob.x + 2, blob.y + 2)), 1u)
                << c.name << ": its own pixels still mark their cell";
        }
    }
}

// The reference picture is the 5 x 5 median of the whole frame, rows at the seam
// between the two halves included.
TEST_F(MotionDetectorTest, ReferenceIsTheMedianOfTheWholeFrame) {
    for (const cv::Size& size : {cv::Size(smallWidth, smallHeight), cv::Size(31, 7)}) {
        cv::Mat picture(size, CV_8UC3);
        cv::randu(picture, 0, 256);
        detector.update(picture);
        cv::Mat expected;
        cv::medianBlur(picture, expected, 5);
        ASSERT_EQ(detector.previousSmall.size(), size);
        EXPECT_EQ(cv::norm(detector.previousSmall, expected, cv::NORM_INF), 0.0) << size;
    }
}

TEST_F(MotionDetectorTest, ResizedSmallFrameStartsANewReference) {
    detector.update(still());
    cv::Mat other(200, 300, CV_8UC3, cv::Scalar::all(0));
    detector.update(other);
    EXPECT_EQ(cv::countNonZero(detector.marks), 0);
}

} // namespace
