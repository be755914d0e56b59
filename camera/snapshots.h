#pragma once

#include "lesson_pdf.h"

#include <QDateTime>
#include <QString>

#include <opencv2/core.hpp>

#include <ctime>
#include <optional>
#include <string>

// A picture written into the snapshot folder: its file, the bytes written and when.
struct SavedPicture {
    QString path;
    JpegBytes jpeg;
    QDateTime savedAt;
};

// The snapshot folder under Documents and the pictures written into it.
class Snapshots {
public:
    using FileName = std::string (*)(const std::tm& local);

    // Makes the folder when it is missing; when it cannot be made, every save says so.
    void createFolder();
    // Ends with "//Brisel//".
    const std::string& folder() const { return dir; }

    // The capture button: the clean board picture of the last frame, once a live
    // picture is shown (`shown` is the last one).
    std::optional<SavedPicture> save(const cv::Mat& shown, const cv::Mat& board) const;

    // False with "<notSaved>: the folder … does not exist" when it was removed.
    bool folderExists(const char* notSaved) const;
    // Writes the picture as JPEG under the name that `fileName` gives the local time,
    // with "_2", "_3", … when that file exists; nothing when the write failed.
    std::optional<SavedPicture> write(const cv::Mat& picture, FileName fileName) const;

private:
    std::string dir;
};
