#include "lesson_pdf.h"

#include <QFileInfo>
#include <QSaveFile>

#include <cairo-pdf.h>
#include <cairo.h>
#include <turbojpeg.h>

#include <algorithm>
#include <iostream>

namespace {

// A4 landscape, in PDF points.
constexpr double pageWidth = 841.89;
constexpr double pageHeight = 595.28;
constexpr double pageMargin = 8.0 / 25.4 * 72.0;
constexpr double captionPoints = 7.0;
constexpr double captionHeight = captionPoints * 1.8;

struct Owned {
    cairo_surface_t* surface = nullptr;
    cairo_t* context = nullptr;
    tjhandle jpeg = nullptr;
    ~Owned() {
        if (context != nullptr) {
            cairo_destroy(context);
        }
        if (surface != nullptr) {
            cairo_surface_destroy(surface);
        }
        if (jpeg != nullptr) {
            tjDestroy(jpeg);
        }
    }
};

cairo_status_t writeToFile(void* file, const unsigned char* data, unsigned int length) {
    const auto size = static_cast<qint64>(length);
    return static_cast<QSaveFile*>(file)->write(reinterpret_cast<const char*>(data), size) == size
               ? CAIRO_STATUS_SUCCESS
               : CAIRO_STATUS_WRITE_ERROR;
}

// One page: the JPEG embedded as its own bytes (cairo takes the MIME data instead of
// the surface's pixels, which stay a shared blank), fitted above the caption.
void drawPage(cairo_t* context, const LessonPage& page, cairo_surface_t* picture, int width,
              int height) {
    const double areaWidth = pageWidth - 2 * pageMargin;
    const double areaHeight = pageHeight - 2 * pageMargin - captionHeight;
    const double scale = std::min(areaWidth / width, areaHeight / height);
    cairo_save(context);
    cairo_translate(context, pageMargin + (areaWidth - width * scale) / 2,
                    pageMargin + (areaHeight - height * scale) / 2);
    cairo_scale(context, scale, scale);
    cairo_set_source_surface(context, picture, 0, 0);
    cairo_paint(context);
    cairo_restore(context);

    const QByteArray caption = page.caption.toUtf8();
    cairo_set_font_size(context, captionPoints);
    cairo_text_extents_t extents;
    cairo_text_extents(context, caption.constData(), &extents);
    cairo_set_source_rgb(context, 0, 0, 0);
    cairo_move_to(context, pageWidth - pageMargin - extents.x_advance,
                  pageHeight - pageMargin - captionPoints * 0.3);
    cairo_show_text(context, caption.constData());
    cairo_show_page(context);
}

} // namespace

QString lessonPdfName(const QDateTime& local) {
    return QStringLiteral("Brisel_lesson_") +
           local.toString(QStringLiteral("dd.MM.yyyy_hh-mm-ss")) + QStringLiteral(".pdf");
}

bool writeLessonPdf(const QString& path, const std::vector<LessonPage>& pages, QString& error) {
    struct Picture {
        const LessonPage* page;
        int width;
        int height;
    };
    Owned owned;
    owned.jpeg = tjInitDecompress();
    std::vector<Picture> pictures;
    size_t largest = 0;
    for (const LessonPage& page : pages) {
        int width = 0;
        int height = 0;
        int subsampling = 0;
        int colours = 0;
        if (!page.jpeg || page.jpeg->empty() || owned.jpeg == nullptr ||
            tjDecompressHeader3(owned.jpeg, page.jpeg->data(),
                                static_cast<unsigned long>(page.jpeg->size()), &width, &height,
                                &subsampling, &colours) != 0) {
            std::cout << "lesson PDF: " << page.picture.toStdString()
                      << " is not a readable JPEG, its page is left out" << std::endl;
            continue;
        }
        pictures.push_back({&page, width, height});
        largest = std::max(largest, static_cast<size_t>(width) * height);
    }
    if (pictures.empty()) {
        error = QStringLiteral("no picture of the lesson could be read");
        return false;
    }

    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        error = file.errorString();
        return false;
    }
    owned.surface = cairo_pdf_surface_create_for_stream(writeToFile, &file, pageWidth, pageHeight);
    cairo_pdf_surface_set_metadata(owned.surface, CAIRO_PDF_METADATA_CREATOR, "Brisel");
    cairo_pdf_surface_set_metadata(owned.surface, CAIRO_PDF_METADATA_TITLE,
                                   QFileInfo(path).completeBaseName().toUtf8().constData());
    owned.context = cairo_create(owned.surface);
    // Never drawn from: the PDF takes each page's JPEG bytes instead.
    std::vector<unsigned char> blank(largest * 4);
    for (const Picture& picture : pictures) {
        const int stride = picture.width * 4;
        cairo_surface_t* surface = cairo_image_surface_create_for_data(
            blank.data(), CAIRO_FORMAT_RGB24, picture.width, picture.height, stride);
        const std::vector<unsigned char>& bytes = *picture.page->jpeg;
        cairo_surface_set_mime_data(surface, CAIRO_MIME_TYPE_JPEG, bytes.data(), bytes.size(),
                                    nullptr, nullptr);
        drawPage(owned.context, *picture.page, surface, picture.width, picture.height);
        cairo_surface_destroy(surface);
    }
    cairo_surface_finish(owned.surface);
    const cairo_status_t status = cairo_surface_status(owned.surface);
    if (status != CAIRO_STATUS_SUCCESS) {
        error = file.error() != QFileDevice::NoError ? file.errorString()
                                                     : QString(cairo_status_to_string(status));
        file.cancelWriting();
        return false;
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

void LessonPdf::addPicture(const QString& picture, JpegBytes jpeg, const QDateTime& savedAt) {
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
    pages.push_back(
        {picture, std::move(jpeg), savedAt.toString(QStringLiteral("dd.MM.yyyy hh:mm:ss"))});
    writer.request(pdfPath, pages);
}
