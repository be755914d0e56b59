#include "snapshots.h"

#include "snapshot_files.h"

#include <QDir>
#include <QStandardPaths>

#include <cstdio>
#include <iostream>

void Snapshots::createFolder() {
    const QString path =
        QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation) + "//Brisel//";
    if (!QDir(path).exists()) {
        const QString absolute = QDir(path).absolutePath();
        std::printf("Debug image directory does not exists, creating: %s\n",
                    absolute.toUtf8().constData());
        std::fflush(stdout);
        if (!QDir().mkpath(absolute)) {
            std::cout << "cannot create the snapshot folder " << absolute.toStdString()
                      << ": snapshots cannot be saved" << std::endl;
        }
    }
    dir = path.toUtf8().toStdString();
}

std::optional<SavedPicture> Snapshots::save(const cv::Mat& shown, const cv::Mat& board) const {
    if (shown.empty() || board.empty()) {
        std::cout << "snapshot not saved: there is no board picture yet" << std::endl;
        return std::nullopt;
    }
    if (!folderExists("snapshot not saved")) {
        return std::nullopt;
    }
    return write(board, snapshotFileName);
}

bool Snapshots::folderExists(const char* notSaved) const {
    if (QDir(QString::fromStdString(dir)).exists()) {
        return true;
    }
    std::cout << notSaved << ": the folder " << dir << " does not exist" << std::endl;
    return false;
}

std::optional<SavedPicture> Snapshots::write(const cv::Mat& picture, FileName fileName) const {
    const QDateTime now = QDateTime::currentDateTime();
    const QString name = QString::fromStdString(fileName(localTimeNow()));
    const QString fullPath = uniqueSnapshotPath(QString::fromStdString(dir), name);
    std::cout << "filename : " << fullPath.toStdString() << std::endl;
    JpegBytes written = writeJpegFile(picture, fullPath);
    if (!written) {
        return std::nullopt;
    }
    return SavedPicture{fullPath, std::move(written), now};
}
