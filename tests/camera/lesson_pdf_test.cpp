// The lesson PDF: pages rendered back with poppler against the saved JPEGs, lessons
// split by a 30-minute gap, atomic replacement, retry after a failure.
#include "lesson_pdf.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

const QDateTime lessonStart(QDate(2026, 3, 5), QTime(9, 7, 3));

// A board-like picture with a dark frame (so its page area can be found) and a
// pattern of its own.
cv::Mat boardPicture(int n) {
    cv::Mat picture(1280, 1920, CV_8UC3, cv::Scalar(235, 238, 236));
    cv::rectangle(picture, cv::Rect(0, 0, 1920, 1280), cv::Scalar(40, 40, 40), 24);
    cv::RNG rng(static_cast<uint64_t>(n) + 1);
    for (int i = 0; i < 12; ++i) {
        const cv::Point a(rng.uniform(100, 1800), rng.uniform(100, 1180));
        cv::rectangle(picture, cv::Rect(a, cv::Size(rng.uniform(80, 300), rng.uniform(60, 200))),
                      cv::Scalar(rng.uniform(0, 200), rng.uniform(0, 200), rng.uniform(0, 200)),
                      cv::FILLED);
    }
    return picture;
}

QString saveJpeg(const QString& dir, int n) {
    const QString path = dir + QString("/Brisel_%1.jpg").arg(n);
    cv::imwrite(path.toStdString(), boardPicture(n));
    return path;
}

QString run(const QString& program, const QStringList& args) {
    QProcess p;
    p.start(program, args);
    p.waitForFinished(60000);
    return QString::fromUtf8(p.readAllStandardOutput());
}

int pdfPages(const QString& pdf) {
    const QString info = run("pdfinfo", {pdf});
    for (const QString& line : info.split('\n')) {
        if (line.startsWith("Pages:")) {
            return line.mid(6).trimmed().toInt();
        }
    }
    return -1;
}

// Page n rendered back, cut to the picture's dark frame.
cv::Mat renderedPicture(const QString& pdf, int page, const QString& scratch) {
    const QString prefix = scratch + "/page";
    run("pdftoppm", {"-r", "60", "-png", "-singlefile", "-f", QString::number(page), "-l",
                     QString::number(page), pdf, prefix});
    const cv::Mat rendered = cv::imread((prefix + ".png").toStdString());
    if (rendered.empty()) {
        return rendered;
    }
    cv::Mat grey;
    cv::cvtColor(rendered, grey, cv::COLOR_BGR2GRAY);
    cv::Mat dark = grey < 90;
    // The caption is small; the frame is the largest dark shape.
    std::vector<std::vector<cv::Point>> contours;
    cv::findContours(dark, contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE);
    cv::Rect best;
    for (const auto& c : contours) {
        const cv::Rect r = cv::boundingRect(c);
        if (r.area() > best.area()) {
            best = r;
        }
    }
    return rendered(best).clone();
}

double similarity(const cv::Mat& rendered, const cv::Mat& original) {
    cv::Mat scaled;
    cv::resize(original, scaled, rendered.size(), 0, 0, cv::INTER_AREA);
    return cv::PSNR(rendered, scaled);
}

TEST(LessonPdf, EveryPageShowsItsPictureInTheOrderSaved) {
    QTemporaryDir dir;
    const QString folder = dir.path() + "//";
    {
        LessonPdf lesson(folder);
        for (int n = 0; n < 3; ++n) {
            lesson.addPicture(saveJpeg(dir.path(), n), lessonStart.addSecs(60 * n));
        }
        lesson.rewriter().waitIdle();
        EXPECT_EQ(lesson.currentPdf(), folder + "Brisel_lesson_05.03.2026_09-07-03.pdf");
    }
    const QString pdf = folder + "Brisel_lesson_05.03.2026_09-07-03.pdf";
    ASSERT_EQ(pdfPages(pdf), 3);
    for (int n = 0; n < 3; ++n) {
        const cv::Mat page = renderedPicture(pdf, n + 1, dir.path());
        ASSERT_FALSE(page.empty());
        EXPECT_NEAR(static_cast<double>(page.cols) / page.rows, 1.5, 0.03) << "aspect kept";
        EXPECT_GT(similarity(page, boardPicture(n)), 22.0) << "page " << n + 1;
        EXPECT_LT(similarity(page, boardPicture((n + 1) % 3)), 16.0) << "page " << n + 1;
    }
    EXPECT_TRUE(QDir(dir.path()).entryList({"*.pdf.*"}, QDir::Files | QDir::Hidden).isEmpty());
}

TEST(LessonPdf, ALessonEndsAfterThirtyMinutesWithoutAPicture) {
    struct Row {
        qint64 gapSeconds;
        int pdfs;
    };
    for (const Row& row : {Row{29 * 60 + 59, 1}, Row{30 * 60, 2}}) {
        QTemporaryDir dir;
        LessonPdf lesson(dir.path() + "//");
        lesson.addPicture(saveJpeg(dir.path(), 0), lessonStart);
        lesson.addPicture(saveJpeg(dir.path(), 1), lessonStart.addSecs(row.gapSeconds));
        lesson.rewriter().waitIdle();
        const QStringList pdfs = QDir(dir.path()).entryList({"Brisel_lesson_*.pdf"}, QDir::Files);
        ASSERT_EQ(pdfs.size(), row.pdfs) << "gap " << row.gapSeconds;
        EXPECT_EQ(pdfPages(dir.path() + "/" + pdfs.first()), 3 - row.pdfs);
    }
}

TEST(LessonPdf, AnExistingPdfOfTheSameNameIsNeverReplaced) {
    QTemporaryDir dir;
    const QString taken = dir.path() + "//Brisel_lesson_05.03.2026_09-07-03.pdf";
    QFile file(taken);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("another lesson");
    file.close();
    LessonPdf lesson(dir.path() + "//");
    lesson.addPicture(saveJpeg(dir.path(), 0), lessonStart);
    lesson.rewriter().waitIdle();
    EXPECT_EQ(lesson.currentPdf(), dir.path() + "//Brisel_lesson_05.03.2026_09-07-03_2.pdf");
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), QByteArray("another lesson"));
}

TEST(LessonPdf, AFailedRewriteSaysSoAndTheNextSaveWritesEveryPage) {
    QTemporaryDir dir;
    const QString folder = dir.path() + "/Brisel";
    QDir().mkpath(folder);
    LessonPdf lesson(folder + "//");
    lesson.addPicture(saveJpeg(folder, 0), lessonStart);
    const QString second = saveJpeg(folder, 1);
    lesson.rewriter().waitIdle();
    // The folder cannot take a file for a while (taken away, a file in its place).
    ASSERT_TRUE(QDir().rename(folder, folder + ".away"));
    QFile blocker(folder);
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    testing::internal::CaptureStdout();
    lesson.addPicture(second, lessonStart.addSecs(60));
    lesson.rewriter().waitIdle();
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_NE(printed.find("lesson PDF not written"), std::string::npos) << printed;
    EXPECT_EQ(lesson.rewriter().failed(), 1);
    ASSERT_TRUE(QFile::remove(folder));
    ASSERT_TRUE(QDir().rename(folder + ".away", folder));
    EXPECT_EQ(pdfPages(lesson.currentPdf()), 1);
    lesson.addPicture(saveJpeg(folder, 2), lessonStart.addSecs(120));
    lesson.rewriter().waitIdle();
    EXPECT_EQ(pdfPages(lesson.currentPdf()), 3);
}

// A rewrite killed halfway (a crash, a power cut) leaves the previous complete PDF.
TEST(LessonPdf, AnInterruptedRewriteKeepsThePreviousPdf) {
    QTemporaryDir dir;
    const QString pdf = dir.path() + "/lesson.pdf";
    const QString picture = saveJpeg(dir.path(), 0);
    QString error;
    ASSERT_TRUE(writeLessonPdf(pdf, {{picture, "first"}}, error));
    QFile file(pdf);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray before = file.readAll();
    file.close();

    std::vector<LessonPage> many(200, LessonPage{picture, "again"});
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        QString childError;
        writeLessonPdf(pdf, many, childError);
        _exit(0);
    }
    // Killed while it is still writing.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    int status = 0;
    const bool running = waitpid(child, &status, WNOHANG) == 0;
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
    ASSERT_TRUE(running) << "the rewrite ended before it could be interrupted";
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), before);
    EXPECT_EQ(pdfPages(pdf), 1);
}

TEST(PdfRewriter, ANewerRequestReplacesAWaitingOne) {
    QTemporaryDir dir;
    const QString picture = saveJpeg(dir.path(), 0);
    const QString pdf = dir.path() + "/lesson.pdf";
    PdfRewriter rewriter;
    rewriter.request(pdf, std::vector<LessonPage>(40, LessonPage{picture, "slow"}));
    for (int pages = 1; pages <= 5; ++pages) {
        rewriter.request(pdf, std::vector<LessonPage>(pages, LessonPage{picture, "newer"}));
    }
    rewriter.waitIdle();
    EXPECT_LE(rewriter.written(), 2);
    EXPECT_EQ(rewriter.failed(), 0);
    EXPECT_EQ(pdfPages(pdf), 5);
}

} // namespace
