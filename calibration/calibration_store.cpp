#include "calibration_store.h"

#include "calibration_files.h"

// Minimal store: board colour only; the lens maps and cell tables follow.
CalibrationStore& CalibrationStore::instance() {
    static CalibrationStore* store = new CalibrationStore();
    return *store;
}

CalibrationStore::CalibrationStore() {
    loadBoardColor();
}

void CalibrationStore::reload() {
    loadBoardColor();
}

bool CalibrationStore::hasLensMaps() const {
    return false;
}
bool CalibrationStore::hasCalibration() const {
    return false;
}

void CalibrationStore::loadFisheyeMaps() {}
void CalibrationStore::loadSmallMapsAndHomography() {}
void CalibrationStore::loadBoardCorners() {}
void CalibrationStore::loadBoardColor() {
    boardColor = calib_files::readBoardColor();
}
void CalibrationStore::buildRoisMapSmall() {}
void CalibrationStore::buildGaussianWindows() {}
