// The lesson PDF: pages rendered back with poppler against the saved JPEGs, lessons
// split by a 30-minute gap, atomic replacement, retry after a failure, pages that
// outlive their files.
#include "lesson_pdf.h"
#include "test_support.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <sys/resource.h>
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

struct Saved {
    QString path;
    JpegBytes jpeg;
};

Saved saveJpeg(const QString& dir, int n) {
    const QString path = dir + QString("/Brisel_%1.jpg").arg(n);
    auto bytes = std::make_shared<std::vector<uchar>>();
    cv::imencode(".jpg", boardPicture(n), *bytes);
    QFile file(path);
    if (file.open(QIODevice::WriteOnly)) {
        file.write(reinterpret_cast<const char*>(bytes->data()),
                   static_cast<qint64>(bytes->size()));
    }
    return {path, bytes};
}

void add(LessonPdf& lesson, const Saved& saved, const QDateTime& at) {
    lesson.addPicture(saved.path, saved.jpeg, at);
}

LessonPage page(const Saved& saved, const QString& caption) {
    return {saved.path, saved.jpeg, caption};
}

int pagesOf(const QString& pdf) {
    return pdfPages(pdf.toStdString());
}

// Page n rendered back, cut to the picture's dark frame.
cv::Mat renderedPicture(const QString& pdf, int page, const QString& scratch) {
    const QString prefix = scratch + "/page";
    runTool("pdftoppm -r 60 -png -singlefile -f " + std::to_string(page) + " -l " +
            std::to_string(page) + " '" + pdf.toStdString() + "' '" + prefix.toStdString() + "'");
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
            const Saved saved = saveJpeg(dir.path(), n);
            add(lesson, saved, lessonStart.addSecs(60 * n));
            lesson.rewriter().waitIdle();
            // A teacher moves the saved picture away: its page stays in later rewrites.
            ASSERT_TRUE(QFile::remove(saved.path));
        }
        EXPECT_EQ(lesson.currentPdf(), folder + "Brisel_lesson_05.03.2026_09-07-03.pdf");
    }
    const QString pdf = folder + "Brisel_lesson_05.03.2026_09-07-03.pdf";
    ASSERT_EQ(pagesOf(pdf), 3);
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
        add(lesson, saveJpeg(dir.path(), 0), lessonStart);
        add(lesson, saveJpeg(dir.path(), 1), lessonStart.addSecs(row.gapSeconds));
        lesson.rewriter().waitIdle();
        const QStringList pdfs = QDir(dir.path()).entryList({"Brisel_lesson_*.pdf"}, QDir::Files);
        ASSERT_EQ(pdfs.size(), row.pdfs) << "gap " << row.gapSeconds;
        EXPECT_EQ(pagesOf(dir.path() + "/" + pdfs.first()), 3 - row.pdfs);
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
    add(lesson, saveJpeg(dir.path(), 0), lessonStart);
    lesson.rewriter().waitIdle();
    EXPECT_EQ(lesson.currentPdf(), dir.path() + "//Brisel_lesson_05.03.2026_09-07-03_2.pdf");
    EXPECT_TRUE(readFile(taken.toStdString()) == "another lesson");
}

TEST(LessonPdf, AFailedRewriteSaysSoAndTheNextSaveWritesEveryPage) {
    QTemporaryDir dir;
    const QString folder = dir.path() + "/Brisel";
    QDir().mkpath(folder);
    LessonPdf lesson(folder + "//");
    add(lesson, saveJpeg(folder, 0), lessonStart);
    const Saved second = saveJpeg(folder, 1);
    lesson.rewriter().waitIdle();
    // The folder cannot take a file for a while (taken away, a file in its place).
    ASSERT_TRUE(QDir().rename(folder, folder + ".away"));
    ASSERT_TRUE(QFile(folder).open(QIODevice::WriteOnly));
    ConsoleCapture console;
    add(lesson, second, lessonStart.addSecs(60));
    lesson.rewriter().waitIdle();
    const std::string printed = console.take();
    EXPECT_NE(printed.find("lesson PDF not written"), std::string::npos) << printed;
    EXPECT_EQ(lesson.rewriter().failed(), 1);
    ASSERT_TRUE(QFile::remove(folder));
    ASSERT_TRUE(QDir().rename(folder + ".away", folder));
    EXPECT_EQ(pagesOf(lesson.currentPdf()), 1);
    add(lesson, saveJpeg(folder, 2), lessonStart.addSecs(120));
    lesson.rewriter().waitIdle();
    EXPECT_EQ(pagesOf(lesson.currentPdf()), 3);
}

// A rewrite that dies halfway (a crash, a power cut) or whose writes fail (a full
// disk) leaves the previous complete PDF. The file-size limit makes both happen
// mid-write: unhandled, its signal kills the writer; ignored, the write fails.
TEST(LessonPdf, ARewriteThatDiesOrFailsKeepsThePreviousPdf) {
    QTemporaryDir dir;
    const QString pdf = dir.path() + "/lesson.pdf";
    const Saved picture = saveJpeg(dir.path(), 0);
    QString error;
    ASSERT_TRUE(writeLessonPdf(pdf, {page(picture, "first")}, error));
    const std::string before = readFile(pdf.toStdString());

    for (const bool killed : {true, false}) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            const rlimit limit{static_cast<rlim_t>(before.size() * 3),
                               static_cast<rlim_t>(before.size() * 3)};
            setrlimit(RLIMIT_FSIZE, &limit);
            std::signal(SIGXFSZ, killed ? SIG_DFL : SIG_IGN);
            QString childError;
            const bool written = writeLessonPdf(
                pdf, std::vector<LessonPage>(20, page(picture, "again")), childError);
            _exit(written ? 0 : 3);
        }
        int status = 0;
        waitpid(child, &status, 0);
        if (killed) {
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ) << status;
        } else {
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 3)
                << "a failed write reported as written: " << status;
        }
        EXPECT_TRUE(readFile(pdf.toStdString()) == before) << (killed ? "killed" : "failed");
    }
    EXPECT_EQ(pagesOf(pdf), 1);
}

TEST(PdfRewriter, ANewerRequestReplacesAWaitingOne) {
    QTemporaryDir dir;
    const Saved picture = saveJpeg(dir.path(), 0);
    const QString pdf = dir.path() + "/lesson.pdf";
    PdfRewriter rewriter;
    rewriter.request(pdf, std::vector<LessonPage>(40, page(picture, "slow")));
    for (int pages = 1; pages <= 5; ++pages) {
        rewriter.request(pdf, std::vector<LessonPage>(pages, page(picture, "newer")));
    }
    rewriter.waitIdle();
    EXPECT_LE(rewriter.written(), 2);
    EXPECT_EQ(rewriter.failed(), 0);
    EXPECT_EQ(pagesOf(pdf), 5);
}

} // namespace
