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

struct BadArgs {
    const char* name;
    const char* args;
    const char* message;
};

class BriselMapsBadInput : public testing::TestWithParam<BadArgs> {};

TEST_P(BriselMapsBadInput, FailsWithAMessage) {
    ScopedWorkDir work("maps-bad");
    work.makeCalibDir();
    std::filesystem::copy_file(testRig().calibFile("distortion.xml"), "calib_data/distortion.xml");
    work.writeCalibFile("garbage.xml", "<?xml version=\"1.0\"?>\n<opencv_storage><Cam");
    work.writeCalibFile("two.xml",
                        "<?xml version=\"1.0\"?>\n<opencv_storage>\n<Camera_Matrix "
                        "type_id=\"opencv-matrix\"><rows>2</rows><cols>2</cols><dt>d"
                        "</dt><data>1 0 0 1</data></Camera_Matrix>\n</opencv_storage>\n");
    const ToolRun failed = run(GetParam().args);
    EXPECT_NE(failed.status, 0);
    EXPECT_NE(failed.out.find(GetParam().message), std::string::npos) << failed.out;
    EXPECT_FALSE(std::filesystem::exists("calib_data/map1.png"));
}

INSTANTIATE_TEST_SUITE_P(
    BriselMaps, BriselMapsBadInput,
    testing::Values(BadArgs{"NoLensFiles", "", "calib_data/intrinsic.xml is missing"},
                    BadArgs{"UnknownArgument", "--frobnicate", "unknown argument --frobnicate"},
                    BadArgs{"Malformed", "--intrinsic calib_data/garbage.xml", "garbage.xml"},
                    BadArgs{"WrongSize", "--intrinsic calib_data/two.xml",
                            "two.xml: Camera_Matrix is not a 3 x 3 matrix"}),
    [](const testing::TestParamInfo<BadArgs>& i) { return std::string(i.param.name); });
