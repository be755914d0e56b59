#include "snapshot_files.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <opencv2/imgcodecs.hpp>

#include <gtest/gtest.h>

namespace {

std::tm makeTime(int year, int month, int day, int hour, int minute, int second) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    return t;
}

} // namespace

TEST(SnapshotNames, FileNameAndLogStampArePaddedAndOrderedDayFirst) {
    struct Row {
        std::tm time;
        const char* fileName;
        const char* logStamp;
    };
    const Row rows[] = {
        {makeTime(2024, 3, 5, 9, 7, 3), "Brisel_05.03.2024_09-07-03.jpg", "05.03.2024_09:07:03"},
        {makeTime(2025, 12, 31, 23, 59, 59), "Brisel_31.12.2025_23-59-59.jpg",
         "31.12.2025_23:59:59"},
        {makeTime(2026, 1, 1, 0, 0, 0), "Brisel_01.01.2026_00-00-00.jpg", "01.01.2026_00:00:00"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(snapshotFileName(row.time), row.fileName);
        EXPECT_EQ("Brisel_auto_" + std::string(row.fileName).substr(7), autoSaveFileName(row.time));
        EXPECT_EQ(logTimestamp(row.time), row.logStamp);
    }
}

TEST(SnapshotNames, TakenNamesGetANumberBeforeTheExtension) {
    QTemporaryDir dir;
    const QString folder = dir.path() + "//";
    const QString name = "Brisel_05.03.2024_09-07-03.jpg";
    EXPECT_EQ(uniqueSnapshotPath(folder, name), folder + name);
    QFile(folder + name).open(QIODevice::WriteOnly);
    EXPECT_EQ(uniqueSnapshotPath(folder, name), folder + "Brisel_05.03.2024_09-07-03_2.jpg");
    QFile(folder + "Brisel_05.03.2024_09-07-03_2.jpg").open(QIODevice::WriteOnly);
    EXPECT_EQ(uniqueSnapshotPath(folder, name), folder + "Brisel_05.03.2024_09-07-03_3.jpg");
}

TEST(SnapshotWrite, WritesADecodableJpegAndReportsFailures) {
    QTemporaryDir dir;
    const cv::Mat picture(120, 160, CV_8UC3, cv::Scalar(10, 200, 30));
    const QString path = dir.path() + "/shot.jpg";
    ASSERT_TRUE(writeJpegFile(picture, path));
    const cv::Mat back = cv::imread(path.toStdString());
    ASSERT_EQ(back.size(), picture.size());
    EXPECT_NEAR(back.at<cv::Vec3b>(60, 80)[1], 200, 3);
    EXPECT_TRUE(QDir(dir.path()).entryList({"*.tmp*", ".*shot*"}, QDir::Files).isEmpty());

    EXPECT_FALSE(writeJpegFile(cv::Mat(), dir.path() + "/empty.jpg"));
    EXPECT_FALSE(QFile::exists(dir.path() + "/empty.jpg"));
    EXPECT_FALSE(writeJpegFile(picture, dir.path() + "/missing-folder/shot.jpg"));
}
