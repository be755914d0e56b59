#include "lesson_keeper.h"

#include "frame_processor.h"
#include "snapshot_files.h"

#include <iostream>

void LessonKeeper::followErasures(FrameProcessor& processor, bool autoSave, bool sharing) const {
    processor.setEraseDetection(autoSave || sharing);
}

void LessonKeeper::add(const SavedPicture& saved) {
    pdf.addPicture(saved.path, saved.jpeg, saved.savedAt);
    hooks.joined(saved, pdf.currentPdf());
}

void LessonKeeper::frameFinished(const FrameProcessor& processor, bool autoSave,
                                 const Snapshots& snapshots) {
    if (processor.hasKeyFrame() && autoSave) {
        // The board from before the erasure, as "Color" renders it without the overlay.
        saveBoard(processor.renderKeyFrame(), snapshots);
    }
}

void LessonKeeper::saveBoard(const cv::Mat& board, const Snapshots& snapshots) {
    constexpr const char* notSaved = "board not saved before erasing";
    bool saved = false;
    if (board.empty()) {
        std::cout << notSaved << ": no picture of it was kept" << std::endl;
    } else if (snapshots.folderExists(notSaved)) {
        const std::optional<SavedPicture> written = snapshots.write(board, autoSaveFileName);
        saved = written.has_value();
        if (saved) {
            add(*written);
        } else {
            std::cout << notSaved << std::endl;
        }
    }
    hooks.autoSaved(saved);
}
