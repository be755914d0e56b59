// The process-wide store on the rig's calib_data, the calibration picture and the whole
// calibration: a rig frame, lens-corrected and straightened with the true corners,
// matches the true board picture.
#include "board_calibrator.h"
#include "calibration_files.h"
#include "calibration_store.h"
#include "test_rig.h"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include <iostream>

namespace {

// Minimum agreement of the straightened rig frame with the true board picture.
constexpr double minimumPsnr = 30.0;

std::vector<cv::Point2f> trueClicks() {
    const std::array<cv::Point2f, 4> f = testRig().cornerFractions;
    // Clicked in a scrambled order: BR, TL, BL, TR.
    return {f[2], f[0], f[3], f[1]};
}

cv::Mat straighten(const cv::Mat& canvas, const CalibrationStore& s) {
    cv::Mat board;
    cv::warpPerspective(canvas, board, s.homography,
                        cv::Size(s.homographyWidth, s.homographyHeight), cv::INTER_LINEAR,
                        cv::BORDER_CONSTANT, 0);
    return board;
}

// The board picture minus a thin border, where the bilinear warp mixes in the frame.
cv::Rect inner(const cv::Mat& board) {
    return cv::Rect(8, 8, board.cols - 16, board.rows - 16);
}

} // namespace

TEST(CalibrationFlow, CalibrationPictureIsTheWholeCanvas) {
    const cv::Mat frame = testRig().frame(rig::Board::White, 0);
    BoardCalibrator calibrator;
    ConsoleCapture console;
    const cv::Mat picture = calibrator.undistortForCalibration(frame);
    EXPECT_EQ(console.take(), "calibrating from initialize!!!\n");
    EXPECT_EQ(picture.size(), cv::Size(7440, 2760));
    EXPECT_EQ(picture.type(), frame.type());
    EXPECT_EQ(calibrator.imageWidth, 7440);
    EXPECT_EQ(calibrator.imageHeight, 2760);
    // The padding rows take the colour of the frame's pixel (0, 0).
    const cv::Vec3b origin = frame.at<cv::Vec3b>(0, 0);
    for (const cv::Rect band : {cv::Rect(0, 0, 7440, 50), cv::Rect(0, 2710, 7440, 50)}) {
        cv::Mat diff;
        cv::absdiff(picture(band), cv::Scalar(origin[0], origin[1], origin[2]), diff);
        EXPECT_EQ(cv::countNonZero(diff.reshape(1)), 0);
    }
}

// The maps fit only the camera's colour frame: another frame is shown as it is, and
// corners clicked on it are refused.
TEST(CalibrationFlow, AnotherFrameIsShownRawAndItsCornersRefused) {
    cv::Mat grey;
    cv::cvtColor(testRig().frame(rig::Board::White, 0), grey, cv::COLOR_BGR2GRAY);
    cv::Mat half;
    cv::resize(testRig().frame(rig::Board::White, 0), half, cv::Size(1920, 1080));
    for (const cv::Mat& frame : {half, grey}) {
        BoardCalibrator calibrator;
        ConsoleCapture console;
        const cv::Mat picture = calibrator.undistortForCalibration(frame);
        EXPECT_FALSE(calibrator.calibrate(trueClicks()));
        const std::string out = console.take();
        EXPECT_EQ(picture.size(), frame.size());
        EXPECT_EQ(picture.type(), CV_8UC3);
        EXPECT_NE(out.find("calibration refused: the calibration picture is"), std::string::npos)
            << out;
    }
}

TEST(CalibrationFlow, TrueCornersStraightenTheRigFrameIntoTheTrueBoard) {
    CalibrationStore& store = CalibrationStore::instance();
    const TestRig& rig = testRig();
    const cv::Mat frame = rig.frame(rig::Board::White, 0);
    BoardCalibrator calibrator;
    ConsoleCapture console;
    const cv::Mat picture = calibrator.undistortForCalibration(frame);
    ASSERT_TRUE(calibrator.calibrate(trueClicks()));
    store.reload();
    const std::string out = console.take();
    ASSERT_TRUE(store.hasCalibration()) << out;
    EXPECT_EQ(store.homographyWidth, rig.boardWidth);
    EXPECT_EQ(store.homographyHeight, rig.boardHeight);
    const cv::Mat& truth = rig.truthBoard(rig::Board::White);
    ASSERT_EQ(truth.size(), cv::Size(store.homographyWidth, store.homographyHeight));

    // Whole-frame correction, as the calibration picture.
    const cv::Mat board = straighten(picture, store);
    const double wholePsnr = rig::psnr(board(inner(board)), truth(inner(truth)));

    // Cell by cell from the tiles of the board cells, as the pipeline does.
    cv::Mat canvas = cv::Mat::zeros(store.canvasHeight, store.canvasWidth, CV_8UC3);
    for (int c : store.boardGrids) {
        cv::Mat cell;
        cv::remap(frame, cell, store.fisheyeMaps1[c], store.fisheyeMaps2[c], cv::INTER_LINEAR,
                  cv::BORDER_CONSTANT, 0);
        cell.copyTo(canvas(store.canvasCells[c]));
    }
    const cv::Mat cellBoard = straighten(canvas, store);
    const double cellPsnr = rig::psnr(cellBoard(inner(cellBoard)), truth(inner(truth)));
    std::cout << "straightened rig frame against the true board: PSNR " << wholePsnr
              << " dB (whole frame), " << cellPsnr << " dB (board cells)" << std::endl;
    RecordProperty("psnr_whole_frame", std::to_string(wholePsnr));
    RecordProperty("psnr_board_cells", std::to_string(cellPsnr));
    EXPECT_GT(wholePsnr, minimumPsnr);
    EXPECT_DOUBLE_EQ(cellPsnr, wholePsnr);
}

// The process-wide store is made once, on the rig's lens files.
const ::testing::Environment* const rigStoreLoaded =
    ::testing::AddGlobalTestEnvironment(new RigStoreEnvironment);
