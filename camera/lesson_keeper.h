#pragma once

#include "lesson_pdf.h"
#include "snapshots.h"

#include <QString>

#include <functional>

class FrameProcessor;

// The lesson as the camera object keeps it: every saved picture joins the lesson's PDF,
// and when the pipeline sees the board erased, the board from before is saved first.
class LessonKeeper {
public:
    struct Hooks {
        // A saved picture joined the lesson whose PDF is `pdf`.
        std::function<void(const SavedPicture& saved, const QString& pdf)> joined;
        // The board kept before an erasure was written (true) or could not be (false).
        std::function<void(bool saved)> autoSaved;
    };

    explicit LessonKeeper(Hooks hooks) : hooks(std::move(hooks)) {}

    // `folder` ends with a separator, as the snapshot folder does.
    void setFolder(const QString& folder) { pdf.setFolder(folder); }
    // The kept board is what viewers see, so the pipeline watches for erasures while
    // sharing too.
    void followErasures(FrameProcessor& processor, bool autoSave, bool sharing) const;
    // A snapshot was saved: it becomes the lesson's next page.
    void add(const SavedPicture& saved);
    // After every finished frame.
    void frameFinished(const FrameProcessor& processor, bool autoSave, const Snapshots& snapshots);

    // Writes the board kept before an erasure like a snapshot, as the next page, and says
    // whether it was saved; an empty picture means none was kept.
    void saveBoard(const cv::Mat& board, const Snapshots& snapshots);

    LessonPdf& lesson() { return pdf; }

private:
    Hooks hooks;
    LessonPdf pdf;
};
