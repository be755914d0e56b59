// brisel-process end to end on a short rig recording.

#include "frame_processor.h"
#include "test_rig.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <sstream>
#include <string>

namespace fs = std::filesystem;

namespace {

constexpr int recordedFrames = 3;

ToolRun runProcess(const std::string& arguments) {
    return runTool(std::string(BRISEL_PROCESS_PATH) + " " + arguments);
}

// A working folder with only the rig's lens files, and a short white-board recording.
class ProcessTool : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        const TestRig& rig = testRig();
        root = fs::current_path() / "process-tool";
        fs::remove_all(root);
        fs::create_directories(root / "calib" / "calib_data");
        fs::create_directories(root / "recording");
        for (const char* name : {"map1.png", "map2.png", "intrinsic.xml", "distortion.xml"}) {
            fs::create_symlink(rig.calibFile(name), root / "calib" / "calib_data" / name);
        }
        for (int i = 0; i < recordedFrames; ++i) {
            char name[32];
            std::snprintf(name, sizeof(name), "f_%04d.png", i);
            cv::imwrite((root / "recording" / name).string(), rig.frame(rig::Board::White, i));
        }
        cv::imwrite((root / "small.png").string(), cv::Mat(40, 60, CV_8UC3, cv::Scalar(1, 2, 3)));
    }

    static std::string corners() {
        std::ostringstream text;
        const auto& c = testRig().cornerFractions;
        text.precision(9);
        text << c[0].x << "," << c[0].y << "," << c[1].x << "," << c[1].y << "," << c[2].x << ","
             << c[2].y << "," << c[3].x << "," << c[3].y;
        return text.str();
    }

    static fs::path root;
};

fs::path ProcessTool::root;

TEST_F(ProcessTool, CalibratesAndCleansARecording) {
    const fs::path out = root / "out";
    const ToolRun run = runProcess(
        "--input " + (root / "recording" / "f_%04d.png").string() + " --output " + out.string() +
        " --calib " + (root / "calib").string() + " --corners " + corners() +
        " --board white --display --every 2 --video " + (out / "lesson.avi").string());
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_NE(run.out.find("processed 3 frames"), std::string::npos) << run.out;
    EXPECT_TRUE(fs::exists(root / "calib" / "calib_data" / "board_corners.xml"));
    EXPECT_TRUE(fs::exists(root / "calib" / "calib_data" / "calib_perspective.xml"));
    for (const char* name : {"board_000000.png", "board_000002.png", "display_000000.png",
                             "display_000002.png", "lesson.avi"}) {
        EXPECT_TRUE(fs::exists(out / name)) << name;
    }
    EXPECT_FALSE(fs::exists(out / "board_000001.png")) << "--every 2";
    cv::VideoCapture video((out / "lesson.avi").string());
    int frames = 0;
    cv::Mat picture;
    while (video.read(picture)) {
        ++frames;
        EXPECT_EQ(picture.size(), cv::Size(testRig().boardWidth, testRig().boardHeight));
    }
    EXPECT_EQ(frames, recordedFrames);

    // The same calibration in this process gives the same clean board picture.
    FrameProcessor processor;
    processor.setBoardColor(static_cast<int>(rig::Board::White));
    ConsoleCapture console;
    const cv::Mat expected = processor.processFrame(testRig().frame(rig::Board::White, 0))[0];
    console.take();
    const cv::Mat written = cv::imread((out / "board_000000.png").string());
    ASSERT_EQ(written.size(), expected.size());
    EXPECT_EQ(cv::norm(written, expected, cv::NORM_INF), 0.0);
}

struct BadRun {
    const char* name;
    std::string arguments;
    int status;
};

TEST_F(ProcessTool, BadInputExitsWithAMessageAndLeavesNothingBehind) {
    const std::string calib = " --calib " + (root / "calib").string();
    const fs::path out = root / "bad-out";
    const std::string output = " --output " + out.string();
    const std::string recording = " --input " + (root / "recording" / "f_%04d.png").string();
    const std::vector<BadRun> cases{
        {"missing input", " --input " + (root / "none.avi").string() + output + calib, 2},
        {"wrong frame size", " --input " + (root / "small.png").string() + output + calib, 1},
        {"refused corners",
         recording + output + calib + " --corners 0.3,0.3,0.7,0.3,0.3,0.3,0.3,0.7", 1},
        {"no calib_data", recording + output + " --calib " + root.string(), 2},
        {"PDF in a missing folder",
         recording + output + calib + " --pdf " + (root / "none" / "x.pdf").string(), 1},
    };
    for (const BadRun& c : cases) {
        const ToolRun run = runProcess(c.arguments);
        EXPECT_EQ(run.status, c.status) << c.name << ": " << run.out;
        EXPECT_NE(run.out.find("brisel-process: "), std::string::npos) << c.name;
        EXPECT_FALSE(fs::exists(out)) << c.name << ": nothing half-written";
    }
}

} // namespace
