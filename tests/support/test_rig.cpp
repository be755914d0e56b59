#include "test_rig.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <stdexcept>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

fs::path rootDir() {
    static const fs::path root =
        fs::temp_directory_path() / ("brisel-tests-" + std::to_string(::getpid()));
    return root;
}

struct Cleanup {
    // Touch the root path first so that it is destroyed after this object.
    Cleanup() { rootDir(); }
    ~Cleanup() {
        if (!std::getenv("BRISEL_KEEP_RIG")) {
            std::error_code ec;
            fs::remove_all(rootDir(), ec);
        }
    }
};

fs::path writtenRig(const fs::path& dir) {
    fs::create_directories(dir);
    if (!rig::writeCalibData(dir.string())) {
        throw std::runtime_error("the test rig could not write its calib_data");
    }
    return dir;
}

// The rig's calib_data: written by the first test process of a run into the folder
// BRISEL_RIG_CACHE names (a whole folder renamed into place, so no process reads a
// half-written one), else into this process's own folder.
fs::path rigFolder() {
    const char* cache = std::getenv("BRISEL_RIG_CACHE");
    if (!cache || !*cache) {
        return writtenRig(rootDir() / "rig");
    }
    const fs::path shared = fs::path(cache) / "rig";
    if (!fs::is_directory(shared)) {
        const fs::path mine = writtenRig(fs::path(cache) / ("rig-" + std::to_string(::getpid())));
        std::error_code ec;
        fs::rename(mine, shared, ec); // fails when another process was first
        fs::remove_all(mine, ec);
    }
    return shared;
}

} // namespace

const rig::Scene& TestRig::scene(rig::Board board) const {
    static std::mutex lock;
    static std::map<int, std::unique_ptr<rig::Scene>> scenes;
    std::lock_guard<std::mutex> guard(lock);
    auto& slot = scenes[static_cast<int>(board)];
    if (!slot) {
        rig::SceneConfig config;
        config.board = board;
        config.frames = frames;
        config.still = still;
        config.seed = 1;
        slot = std::make_unique<rig::Scene>(config);
    }
    return *slot;
}

const TestRig& testRig() {
    static Cleanup cleanup;
    static const TestRig rigData = [] {
        TestRig r;
        r.dir = rigFolder().string();
        r.cornerFractions = rig::cornerFractions();
        r.canvasCorners = rig::canvasCorners();
        r.homography = rig::trueHomography();
        r.boardHeight = rig::boardPictureHeight();
        return r;
    }();
    return rigData;
}

std::string processFolder(const std::string& name) {
    static Cleanup cleanup;
    const fs::path p = rootDir() / ("process-" + name);
    std::error_code ec;
    fs::remove_all(p, ec);
    fs::create_directories(p);
    return p.string();
}

ScopedWorkDir::ScopedWorkDir(const std::string& name) {
    previous = fs::current_path().string();
    static int counter = 0;
    const fs::path p = rootDir() / ("work-" + name + "-" + std::to_string(++counter));
    std::error_code ec;
    fs::remove_all(p, ec);
    fs::create_directories(p);
    dir = p.string();
    fs::current_path(p);
}

ScopedWorkDir::~ScopedWorkDir() {
    std::error_code ec;
    fs::current_path(previous, ec);
    fs::remove_all(dir, ec);
}

void ScopedWorkDir::makeCalibDir() const {
    fs::create_directories(fs::path(dir) / "calib_data");
}

void ScopedWorkDir::linkRigCalibData() const {
    makeCalibDir();
    const TestRig& r = testRig();
    for (const char* name : {"map1.png", "map2.png", "intrinsic.xml", "distortion.xml"}) {
        const fs::path target = fs::path(dir) / "calib_data" / name;
        std::error_code ec;
        fs::remove(target, ec);
        fs::create_symlink(r.calibFile(name), target);
    }
}

void ScopedWorkDir::writeCalibFile(const std::string& name, const std::string& text) const {
    makeCalibDir();
    const fs::path target = fs::path(dir) / "calib_data" / name;
    std::error_code ec;
    fs::remove(target, ec);
    std::ofstream out(target, std::ios::binary);
    out << text;
}

void ScopedWorkDir::removeCalibFile(const std::string& name) const {
    std::error_code ec;
    fs::remove(fs::path(dir) / "calib_data" / name, ec);
}

CalibrationStore& loadRigStore(bool calibrated) {
    const TestRig& rig = testRig(); // first: its clean-up at exit must outlive the folder
    static ScopedWorkDir work("rig-store");
    static const bool loaded = [&] {
        work.linkRigCalibData();
        return calibrated ? rig::calibrateAtTrueCorners(rig.frame(rig::Board::White, 0))
                          : CalibrationStore::instance().hasLensMaps();
    }();
    if (!loaded) {
        throw std::runtime_error("the process-wide store could not be loaded on the rig");
    }
    return CalibrationStore::instance();
}
