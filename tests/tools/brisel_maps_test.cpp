// brisel-maps: the maps it writes are the rig's maps for the rig's lens files, and bad
// input ends with a message and a non-zero exit.
#include "lens_maps.h"
#include "test_rig.h"

#include <gtest/gtest.h>

#include <filesystem>

#ifndef BRISEL_MAPS_PATH
#error "BRISEL_MAPS_PATH must name the brisel-maps executable"
#endif

namespace {

ToolRun run(const std::string& args) {
    return runTool(std::string(BRISEL_MAPS_PATH) + " " + args);
}

} // namespace

// The intrinsics by default from calib_data of the working directory.
TEST(BriselMaps, WritesTheMapsOfTheRigFromItsLensModel) {
    ScopedWorkDir work("maps");
    work.makeCalibDir();
    const TestRig& rig = testRig();
    std::filesystem::copy_file(rig.calibFile("intrinsic.xml"), "calib_data/intrinsic.xml");
    std::filesystem::copy_file(rig.calibFile("distortion.xml"), "calib_data/distortion.xml");
    const ToolRun made = run("--distortion calib_data/distortion.xml --out made");
    ASSERT_EQ(made.status, 0) << made.out;
    cv::Mat made1, made2, rig1, rig2;
    std::string why;
    ASSERT_TRUE(lens_maps::readMapPngs("made/map1.png", "made/map2.png", made1, made2, why)) << why;
    ASSERT_TRUE(lens_maps::readMapPngs(rig.calibFile("map1.png"), rig.calibFile("map2.png"), rig1,
                                       rig2, why))
        << why;
    EXPECT_EQ(made1.size(), cv::Size(7440, 2660));
    EXPECT_EQ(cv::norm(made1, rig1, cv::NORM_INF), 0.0);
    EXPECT_EQ(cv::norm(made2, rig2, cv::NORM_INF), 0.0);
}

// The model files are read by the same code as at start-up, whose bad inputs the store's
// tests cover; here only that the tool stops with the reason and writes no maps.
TEST(BriselMaps, BadLensFilesEndWithTheReasonAndNoMaps) {
    ScopedWorkDir work("maps-bad");
    work.makeCalibDir();
    std::filesystem::copy_file(testRig().calibFile("distortion.xml"), "calib_data/distortion.xml");
    work.writeCalibFile("garbage.xml", "<?xml version=\"1.0\"?>\n<opencv_storage><Cam");
    for (const auto& [args, message] :
         {std::pair{"", "calib_data/intrinsic.xml is missing"},
          std::pair{"--intrinsic calib_data/garbage.xml", "garbage.xml"}}) {
        const ToolRun failed = run(args);
        EXPECT_NE(failed.status, 0) << args;
        EXPECT_NE(failed.out.find(message), std::string::npos) << failed.out;
        EXPECT_FALSE(std::filesystem::exists("calib_data/map1.png"));
    }
}
