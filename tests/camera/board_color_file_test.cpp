#include "calibration_files.h"
#include "test_support.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

namespace {

const QString colourFile = QString::fromStdString(calib_files::boardColorXml);

void writeText(const QString& path, const QByteArray& text) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(text);
}

struct CalibrationDirectory {
    CalibrationDirectory() { QDir().mkpath("calib_data"); }
    ~CalibrationDirectory() { QDir("calib_data").removeRecursively(); }
};

} // namespace

TEST(BoardColorFile, BadFilesFallBackToABlackBoardWithAConsoleLine) {
    CalibrationDirectory dir;
    struct Row {
        std::string content;
        int expected;
        bool mentionsFile;
    };
    const std::string xml = "<?xml version=\"1.0\"?>\n<opencv_storage>\n";
    const std::string end = "</opencv_storage>\n";
    const Row rows[] = {
        {xml + "<BoardColor>2</BoardColor>\n" + end, 2, false},
        {xml + "<BoardColor>7</BoardColor>\n" + end, 0, true},
        {xml + "<BoardColor>-1</BoardColor>\n" + end, 0, true},
        {xml + "<BoardColor>1", 0, true},
        {"this is not xml at all", 0, true},
        {xml + end, 0, false},
    };
    for (const Row& row : rows) {
        writeText(colourFile, QByteArray::fromStdString(row.content));
        ConsoleCapture console;
        const int colour = calib_files::readBoardColor();
        const std::string printed = console.take();
        EXPECT_EQ(colour, row.expected) << row.content;
        EXPECT_EQ(printed.find("board_color.xml") != std::string::npos, row.mentionsFile)
            << row.content << " printed: " << printed;
    }
    QFile::remove(colourFile);
    EXPECT_EQ(calib_files::readBoardColor(), 0) << "missing file";
}

TEST(BoardColorFile, AFailedWriteLeavesThePreviousFileWhole) {
    CalibrationDirectory dir;
    ASSERT_TRUE(calib_files::writeBoardColor(2));
    const std::string before = readFile(calib_files::boardColorXml);
    // Block the temporary file with a directory of the same name.
    ASSERT_TRUE(QDir().mkpath(colourFile + ".tmp.xml"));
    EXPECT_FALSE(calib_files::writeBoardColor(1));
    EXPECT_EQ(readFile(calib_files::boardColorXml), before);
    EXPECT_EQ(calib_files::readBoardColor(), 2);
    QDir(colourFile + ".tmp.xml").removeRecursively();
    EXPECT_TRUE(calib_files::writeBoardColor(1));
    EXPECT_EQ(calib_files::readBoardColor(), 1);
    EXPECT_EQ(QDir("calib_data").entryList(QDir::Files), QStringList{"board_color.xml"});
}

TEST(BoardColorFile, WithoutACalibrationDirectoryNothingIsWrittenAndNothingBreaks) {
    QDir("calib_data").removeRecursively();
    EXPECT_FALSE(calib_files::writeBoardColor(1));
    EXPECT_FALSE(QFile::exists(colourFile));
    EXPECT_EQ(calib_files::readBoardColor(), 0);
}
