#pragma once

#include <QDateTime>
#include <QString>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

// A saved picture's JPEG bytes, shared by the lesson's pages, its rewrites and its viewers.
using JpegBytes = std::shared_ptr<const std::vector<unsigned char>>;

// One page of a lesson PDF: a saved picture, kept as the bytes written to its file
// (the file may be moved or deleted later), and the small caption in its corner.
struct LessonPage {
    QString picture;
    JpegBytes jpeg;
    QString caption;
};

// Writes the pages into `path`, one landscape page a picture scaled to fit, through a
// QSaveFile: the file is replaced only by a complete PDF. The JPEG bytes are embedded
// as they are, never decoded or re-encoded. Pages whose bytes are not a JPEG are left
// out with a console line. False with `error` when nothing was replaced.
bool writeLessonPdf(const QString& path, const std::vector<LessonPage>& pages, QString& error);

// Rewrites a PDF off the calling thread, one rewrite at a time: a newer request
// replaces one still waiting. A failed rewrite prints a console line; the next request
// writes everything again.
class PdfRewriter {
public:
    PdfRewriter();
    // Finishes the running and the waiting rewrite first, so the last PDF is complete.
    ~PdfRewriter();
    PdfRewriter(const PdfRewriter&) = delete;
    PdfRewriter& operator=(const PdfRewriter&) = delete;

    void request(const QString& path, std::vector<LessonPage> pages);
    // Blocks until nothing is running or waiting.
    void waitIdle();
    // Rewrites done and failed so far.
    int written() const;
    int failed() const;

private:
    struct Job {
        QString path;
        std::vector<LessonPage> pages;
    };
    void run();

    mutable std::mutex lock;
    std::condition_variable wake;
    std::condition_variable idle;
    std::optional<Job> waiting;
    bool busy = false;
    bool stopping = false;
    int done = 0;
    int failures = 0;
    std::thread worker;
};

// The lessons of one folder: every saved picture joins the current lesson's PDF, and a
// lesson starts with the first picture after start-up or after 30 minutes without one.
class LessonPdf {
public:
    // `dir` ends with a separator, as the snapshot folder does.
    explicit LessonPdf(const QString& dir = QString());
    void setFolder(const QString& folder) { dir = folder; }

    // A picture was saved at `savedAt` as `jpeg`: it becomes the lesson's next page and
    // the PDF is rewritten in the background from the pages in memory.
    void addPicture(const QString& picture, JpegBytes jpeg, const QDateTime& savedAt);

    QString currentPdf() const { return pdfPath; }
    int pageCount() const { return static_cast<int>(pages.size()); }
    const std::vector<LessonPage>& lessonPages() const { return pages; }
    PdfRewriter& rewriter() { return writer; }

    static constexpr qint64 lessonGapSeconds = 30 * 60;

private:
    QString dir;
    QString pdfPath;
    QDateTime lastSaved;
    std::vector<LessonPage> pages;
    PdfRewriter writer;
};

// "Brisel_lesson_DD.MM.YYYY_hh-mm-ss.pdf" for a local time.
QString lessonPdfName(const QDateTime& local);
