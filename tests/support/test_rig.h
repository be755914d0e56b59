#pragma once

// Test support shared by the tests of every module.
//
//   const TestRig& rig = testRig();   // generated once per test process (a few seconds)
//   rig.dir                            // folder holding calib_data/ of the synthetic camera
//   rig.cornerFractions                // true board corners, fractions of the calibration
//                                      // picture, TL, TR, BR, BL (what p1x ... p4y get)
//   rig.frame(rig::Board::White, i)    // frame i of that board's scene, 3840 x 2160 BGR;
//                                      // frames 0 .. still-1 are still, then a presenter
//   rig.truthBoard(rig::Board::White)  // the true straightened board, 1920 x boardHeight
//
//   ScopedWorkDir work("name");        // a fresh empty folder, made the working directory
//   work.linkRigCalibData();           // calib_data/ with the rig's four lens files
//   auto store = CalibrationStoreTestAccess::load();   // a fresh store read from there
//   CalibrationStore& s = loadRigStore();              // the process-wide store on the rig
//
// Everything is deterministic. The generated folder is removed when the process ends
// (kept when the environment variable BRISEL_KEEP_RIG is set).

#include "calibration_store.h"
#include "rig.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <opencv2/core.hpp>

#include <array>
#include <memory>
#include <string>

struct TestRig {
    std::string dir;                            // contains calib_data/
    std::array<cv::Point2f, 4> cornerFractions; // TL, TR, BR, BL
    std::array<cv::Point2f, 4> canvasCorners;   // the same in canvas pixels
    cv::Mat homography;                         // canvas -> board picture (true)
    int canvasWidth = rig::canvasWidth;         // 7440
    int canvasHeight = rig::canvasHeight;       // 2760
    int boardWidth = rig::boardPictureWidth;    // 1920
    int boardHeight = 0;                        // as calibrate chooses it (1280)
    int frames = 16;                            // frames per scene
    int still = 6;                              // still frames before the presenter

    // The scene of one board colour (made on first use, seed 1).
    const rig::Scene& scene(rig::Board board) const;
    cv::Mat frame(rig::Board board, int i) const { return scene(board).frame(i); }
    const cv::Mat& truthBoard(rig::Board board) const { return scene(board).truthBoard(); }
    // Paths of the rig's lens files.
    std::string calibFile(const std::string& name) const { return dir + "/calib_data/" + name; }
};

// The process-wide rig; the first call generates it.
const TestRig& testRig();

// A fresh folder under the test folder that lasts until the process ends, for what a
// test process generates once and several tests read.
std::string processFolder(const std::string& name);

// A fresh folder under the test folder, made the working directory for the scope; the
// previous working directory comes back at the end (the folder is removed).
class ScopedWorkDir {
public:
    explicit ScopedWorkDir(const std::string& name);
    ~ScopedWorkDir();
    ScopedWorkDir(const ScopedWorkDir&) = delete;
    ScopedWorkDir& operator=(const ScopedWorkDir&) = delete;

    const std::string& path() const { return dir; }
    // Creates calib_data/ (empty).
    void makeCalibDir() const;
    // Creates calib_data/ with links to the rig's map1.png, map2.png, intrinsic.xml
    // and distortion.xml.
    void linkRigCalibData() const;
    // Writes calib_data/<name> with the given text (replacing a link).
    void writeCalibFile(const std::string& name, const std::string& text) const;
    // Removes calib_data/<name>.
    void removeCalibFile(const std::string& name) const;

private:
    std::string dir;
    std::string previous;
};

// Makes a folder with the rig's lens files the working directory for the rest of the
// process and loads the process-wide store from it; `calibrated` first calibrates the
// board at the rig's true corners. Later calls return the same store.
CalibrationStore& loadRigStore(bool calibrated = false);

// loadRigStore before the first test of the process:
//   const auto* env = testing::AddGlobalTestEnvironment(new RigStoreEnvironment);
class RigStoreEnvironment : public testing::Environment {
public:
    explicit RigStoreEnvironment(bool calibrated = false) : calibrated(calibrated) {}
    void SetUp() override { loadRigStore(calibrated); }

private:
    bool calibrated;
};

// The test-only seam of CalibrationStore: a fresh store built from the current
// working directory (production code uses CalibrationStore::instance() only).
class CalibrationStoreTestAccess {
public:
    static std::unique_ptr<CalibrationStore> load() {
        return std::unique_ptr<CalibrationStore>(new CalibrationStore());
    }
};
