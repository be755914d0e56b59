#include "lesson_pdf.h"

#include <QFileInfo>
#include <QImageReader>
#include <QPageLayout>
#include <QPageSize>
#include <QPainter>
#include <QPdfWriter>
#include <QSaveFile>

#include <iostream>

namespace {

constexpr int pdfResolution = 300; // dots per inch of the page's coordinates
constexpr double pageMarginMm = 8.0;
constexpr int captionPoints = 7;

} // namespace

QString lessonPdfName(const QDateTime& local) {
    return QStringLiteral("Brisel_lesson_") +
           local.toString(QStringLiteral("dd.MM.yyyy_hh-mm-ss")) + QStringLiteral(".pdf");
}

bool writeLessonPdf(const QString& path, const std::vector<LessonPage>& pages, QString& error) {
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        error = file.errorString();
        return false;
    }
    {
        QPdfWriter pdf(&file);
        pdf.setCreator(QStringLiteral("Brisel"));
        pdf.setTitle(QFileInfo(path).completeBaseName());
        pdf.setResolution(pdfResolution);
        pdf.setPageLayout(
            QPageLayout(QPageSize(QPageSize::A4), QPageLayout::Landscape,
                        QMarginsF(pageMarginMm, pageMarginMm, pageMarginMm, pageMarginMm),
                        QPageLayout::Millimeter));
        QPainter painter;
        bool first = true;
        for (const LessonPage& page : pages) {
            QImageReader reader(page.picture);
            const QImage picture = reader.read();
            if (picture.isNull()) {
                std::cout << "lesson PDF: " << page.picture.toStdString()
                          << " cannot be read, its page is left out" << std::endl;
                continue;
            }
            if (first) {
                if (!painter.begin(&pdf)) {
                    error = QStringLiteral("the PDF could not be started");
                    file.cancelWriting();
                    return false;
                }
                first = false;
            } else {
                pdf.newPage();
            }
            const QRect area = painter.viewport();
            QFont font = painter.font();
            font.setPointSize(captionPoints);
            painter.setFont(font);
            const int captionHeight = painter.fontMetrics().height() * 3 / 2;
            const QRect pictureArea(area.x(), area.y(), area.width(),
                                    area.height() - captionHeight);
            const QSize fitted = picture.size().scaled(pictureArea.size(), Qt::KeepAspectRatio);
            const QRect target(pictureArea.x() + (pictureArea.width() - fitted.width()) / 2,
                               pictureArea.y() + (pictureArea.height() - fitted.height()) / 2,
                               fitted.width(), fitted.height());
            painter.drawImage(target, picture);
            painter.drawText(
                QRect(area.x(), area.bottom() - captionHeight, area.width(), captionHeight),
                Qt::AlignRight | Qt::AlignBottom, page.caption);
        }
        if (first) {
            error = QStringLiteral("no picture of the lesson could be read");
            file.cancelWriting();
            return false;
        }
        painter.end();
    }
    if (!file.commit()) {
        error = file.errorString();
        return false;
    }
    return true;
}

PdfRewriter::PdfRewriter() : worker([this] { run(); }) {}

PdfRewriter::~PdfRewriter() {
    {
        std::lock_guard<std::mutex> guard(lock);
        stopping = true;
    }
    wake.notify_all();
    worker.join();
}

void PdfRewriter::request(const QString& path, std::vector<LessonPage> pages) {
    // The writer thread gets strings of its own: Qt's shared reference counts, counted
    // inside Qt, are invisible to the thread checker, and then so are real races.
    const auto own = [](const QString& text) { return QString(text.constData(), text.size()); };
    for (LessonPage& page : pages) {
        page.picture = own(page.picture);
        page.caption = own(page.caption);
    }
    {
        std::lock_guard<std::mutex> guard(lock);
        waiting = Job{own(path), std::move(pages)};
    }
    wake.notify_all();
}

void PdfRewriter::waitIdle() {
    std::unique_lock<std::mutex> guard(lock);
    idle.wait(guard, [this] { return !busy && !waiting; });
}

int PdfRewriter::written() const {
    std::lock_guard<std::mutex> guard(lock);
    return done;
}

int PdfRewriter::failed() const {
    std::lock_guard<std::mutex> guard(lock);
    return failures;
}

void PdfRewriter::run() {
    std::unique_lock<std::mutex> guard(lock);
    for (;;) {
        wake.wait(guard, [this] { return stopping || waiting.has_value(); });
        if (!waiting) {
            return; // stopping with nothing left to write
        }
        Job job = std::move(*waiting);
        waiting.reset();
        busy = true;
        guard.unlock();
        QString error;
        const bool ok = writeLessonPdf(job.path, job.pages, error);
        if (!ok) {
            std::cout << "lesson PDF not written: " << job.path.toStdString() << " ("
                      << error.toStdString() << "); the next saved picture tries again"
                      << std::endl;
        }
        guard.lock();
        busy = false;
        ++(ok ? done : failures);
        idle.notify_all();
    }
}

LessonPdf::LessonPdf(const QString& folder) : dir(folder) {}

void LessonPdf::addPicture(const QString& picture, const QDateTime& savedAt) {
    if (pages.empty() || !lastSaved.isValid() || lastSaved.secsTo(savedAt) >= lessonGapSeconds) {
        pages.clear();
        pdfPath = dir + lessonPdfName(savedAt);
        // A PDF of that name from another run is never overwritten.
        const QString stem = pdfPath.chopped(4);
        for (int n = 2; QFileInfo::exists(pdfPath); ++n) {
            pdfPath = stem + "_" + QString::number(n) + ".pdf";
        }
    }
    lastSaved = savedAt;
    pages.push_back({picture, savedAt.toString(QStringLiteral("dd.MM.yyyy hh:mm:ss"))});
    writer.request(pdfPath, pages);
}
