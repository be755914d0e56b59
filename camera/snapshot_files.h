#pragma once

#include <QString>

#include <opencv2/core.hpp>

#include <ctime>
#include <memory>
#include <string>
#include <vector>

// "Brisel_DD.MM.YYYY_hh-mm-ss.jpg" for a local time.
std::string snapshotFileName(const std::tm& local);

// "Brisel_auto_DD.MM.YYYY_hh-mm-ss.jpg": a board saved by itself before an erasure.
std::string autoSaveFileName(const std::tm& local);

// "DD.MM.YYYY_HH:MM:SS", the time stamp of the start banner in log.txt.
std::string logTimestamp(const std::tm& local);

std::tm localTimeNow();

// dir + name, or with "_2", "_3", … before ".jpg" when that file exists already, so
// two snapshots in the same second are both kept.
QString uniqueSnapshotPath(const QString& dir, const QString& name);

// Encodes the picture as JPEG and writes it atomically. Returns the bytes written, or
// null with a console line when nothing was written.
std::shared_ptr<const std::vector<uchar>> writeJpegFile(const cv::Mat& picture,
                                                        const QString& path);

// Appends whole lines to log.txt in the working directory, opening and closing it
// each time; lines are dropped silently when it cannot be opened.
class LogFile {
public:
    LogFile();
    ~LogFile();
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    void writeLine(const std::string& line);

private:
    std::FILE* file = nullptr;
};
