// The synthetic rig's geometry holds together. What brisel-rig writes is read by the
// end-to-end run and the lens tests.
#include "rig.h"
#include "test_rig.h"

#include <gtest/gtest.h>

TEST(Rig, BoardCellsStayInsideTheirSourceWindowsAndBothMapsShowOneView) {
    std::string report;
    EXPECT_TRUE(rig::verifyGeometry(report)) << report;
    EXPECT_NE(report.find(" 0 outside their source window"), std::string::npos) << report;
}
