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

    LessonPdf& lesson() { return pdf; }

private:
    void saveKeyFrame(const FrameProcessor& processor, const Snapshots& snapshots);

    Hooks hooks;
    LessonPdf pdf;
};
