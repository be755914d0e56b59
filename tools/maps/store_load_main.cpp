// brisel-store-load: loads calib_data of the working directory exactly as the application
// does at start-up and prints how long it took (for measuring start-up cost).
#include "calibration_store.h"

#include <chrono>
#include <iostream>

int main() {
    const auto start = std::chrono::steady_clock::now();
    const CalibrationStore& store = CalibrationStore::instance();
    const auto end = std::chrono::steady_clock::now();
    std::cout << "store loaded in "
              << std::chrono::duration_cast<std::chrono::milliseconds>(end - start).count()
              << " ms; lens maps: " << (store.hasLensMaps() ? "yes" : "no")
              << ", board cells: " << store.boardGrids.size() << std::endl;
    return store.hasLensMaps() ? 0 : 1;
}
