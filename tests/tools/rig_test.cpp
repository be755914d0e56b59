// The synthetic rig: consistent geometry, and a brisel-rig command line it cannot use
// writes nothing. What it writes is read by the end-to-end run and the lens tests.
#include "rig.h"
#include "test_rig.h"

#include <gtest/gtest.h>

#include <filesystem>

#ifndef BRISEL_RIG_PATH
#error "BRISEL_RIG_PATH must name the brisel-rig executable"
#endif

namespace {

int runRig(const std::string& args) {
    return runTool(std::string(BRISEL_RIG_PATH) + " " + args).status;
}

} // namespace

TEST(Rig, BoardCellsStayInsideTheirSourceWindowsAndBothMapsShowOneView) {
    std::string report;
    EXPECT_TRUE(rig::verifyGeometry(report)) << report;
    EXPECT_NE(report.find(" 0 outside their source window"), std::string::npos) << report;
}

TEST(RigCommandLine, RejectsBadArguments) {
    ScopedWorkDir work("rig-bad");
    for (const char* args :
         {"", "--out", "--out x --board blue", "--out x --frames 0", "--out x --frames many",
          "--out x --still -1", "--out x --bogus", "--out x --video --quality 0",
          "--out x --video --damage-every 0", "--out x --video --video-noise -1"}) {
        EXPECT_NE(runRig(args), 0) << args;
    }
    EXPECT_FALSE(std::filesystem::exists("x"));
}
