#include "snapshot_files.h"

#include <QFileInfo>
#include <QSaveFile>

#include <opencv2/imgcodecs.hpp>

#include <cstdio>
#include <iostream>
#include <vector>

namespace {

std::string twoDigits(int value) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%02d", value);
    return buffer;
}

std::string datePart(const std::tm& local) {
    return twoDigits(local.tm_mday) + "." + twoDigits(local.tm_mon + 1) + "." +
           std::to_string(local.tm_year + 1900);
}

} // namespace

std::string snapshotFileName(const std::tm& local) {
    return "Brisel_" + datePart(local) + "_" + twoDigits(local.tm_hour) + "-" +
           twoDigits(local.tm_min) + "-" + twoDigits(local.tm_sec) + ".jpg";
}

std::string autoSaveFileName(const std::tm& local) {
    return "Brisel_auto_" + snapshotFileName(local).substr(std::string("Brisel_").size());
}

std::string logTimestamp(const std::tm& local) {
    return datePart(local) + "_" + twoDigits(local.tm_hour) + ":" + twoDigits(local.tm_min) + ":" +
           twoDigits(local.tm_sec);
}

std::tm localTimeNow() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
#ifdef _WIN32
    localtime_s(&local, &now);
#else
    localtime_r(&now, &local);
#endif
    return local;
}

QString uniqueSnapshotPath(const QString& dir, const QString& name) {
    const QString first = dir + name;
    if (!QFileInfo::exists(first)) {
        return first;
    }
    const QString stem = name.endsWith(".jpg") ? name.chopped(4) : name;
    for (int n = 2;; ++n) {
        const QString candidate = dir + stem + "_" + QString::number(n) + ".jpg";
        if (!QFileInfo::exists(candidate)) {
            return candidate;
        }
    }
}

std::shared_ptr<const std::vector<uchar>> writeJpegFile(const cv::Mat& picture,
                                                        const QString& path) {
    auto encoded = std::make_shared<std::vector<uchar>>();
    if (picture.empty() || !cv::imencode(".jpg", picture, *encoded)) {
        std::cout << "snapshot not saved: the picture could not be encoded" << std::endl;
        return nullptr;
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        std::cout << "snapshot not saved: cannot create " << path.toStdString() << " ("
                  << file.errorString().toStdString() << ")" << std::endl;
        return nullptr;
    }
    const auto size = static_cast<qint64>(encoded->size());
    if (file.write(reinterpret_cast<const char*>(encoded->data()), size) != size ||
        !file.commit()) {
        std::cout << "snapshot not saved: writing " << path.toStdString() << " failed ("
                  << file.errorString().toStdString() << ")" << std::endl;
        file.cancelWriting();
        return nullptr;
    }
    return encoded;
}

LogFile::LogFile() : file(std::fopen("log.txt", "a")) {}

LogFile::~LogFile() {
    if (file != nullptr) {
        std::fclose(file);
    }
}

void LogFile::writeLine(const std::string& line) {
    if (file == nullptr) {
        return;
    }
    std::fputs(line.c_str(), file);
    std::fputc('\n', file);
    std::fflush(file);
}
