#include "printer/pdf_document.h"

#include "codepage/cp1252.h"
#include "printer/errors.h"

#include <QIODevice>
#include <QLocale>
#include <QPageLayout>
#include <QPageSize>

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace printer {

// Plain writes into a descriptor: a failure keeps the system's own code, so
// the message and the code always tell of the same error.
class FdDevice final : public QIODevice {
public:
    void Attach(int fd)
    {
        fd_ = fd;
        error_ = 0;
        open(QIODevice::WriteOnly | QIODevice::Unbuffered);
    }
    // Closes the descriptor; the first error met on the way, or 0.
    int Finish(bool sync)
    {
        if (fd_ < 0)
            return error_;
        if (sync && !error_ && ::fdatasync(fd_) != 0)
            error_ = errno;
        if (::close(fd_) != 0 && !error_ && errno != EINTR)
            error_ = errno;
        fd_ = -1;
        QIODevice::close();
        return error_;
    }
    ~FdDevice() override { Finish(false); }

protected:
    qint64 readData(char*, qint64) override { return -1; }
    qint64 writeData(const char* data, qint64 size) override
    {
        if (error_)
            return -1;
        qint64 done = 0;
        while (done < size) {
            const ssize_t n = ::write(fd_, data + done, static_cast<std::size_t>(size - done));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                error_ = errno;
                setErrorString(QString::fromLocal8Bit(std::strerror(error_)));
                return -1;
            }
            done += n;
        }
        return done;
    }

private:
    int fd_ = -1;
    int error_ = 0;
};

namespace {

QString Decode(std::string_view bytes)
{
    QString text(static_cast<qsizetype>(bytes.size()), Qt::Uninitialized);
    QChar* out = text.data();
    for (unsigned char b : bytes)
        *out++ = QChar(codepage::ToUnicode(b));
    return text;
}

QPageLayout ToPageLayout(const PaperLayout& paper)
{
    const QPageSize size(QSizeF(paper.width, paper.height), QPageSize::Point, QString(),
                         QPageSize::FuzzyMatch);
    return QPageLayout(size, QPageLayout::Portrait,
                       QMarginsF(paper.left, paper.top, paper.right, paper.bottom), QPageLayout::Point);
}

} // namespace

PaperLayout LocalePaper(double margin)
{
    const bool us = QLocale::system().measurementSystem() == QLocale::ImperialUSSystem;
    // Exact sizes, not Qt's whole points: the paper is named to the printer.
    if (us)
        return {612, 792, margin, margin, margin, margin, "na_letter_8.5x11in"};
    return {210 * 72 / 25.4, 297 * 72 / 25.4, margin, margin, margin, margin, "iso_a4_210x297mm"};
}

PdfDocument::PdfDocument(const PaperLayout& paper) : paper_(paper), file_(std::make_unique<FdDevice>())
{
    // Not drawn into until Begin; until then it answers for sizes and fonts.
    writer_ = std::make_unique<QPdfWriter>(file_.get());
    writer_->setResolution(kResolution);
    writer_->setPageLayout(ToPageLayout(paper_));
    writer_->setCreator(QStringLiteral("Quillprint"));
}

PdfDocument::~PdfDocument()
{
    if (painter_.isActive())
        painter_.end();
}

void PdfDocument::Begin(int fd)
{
    file_->Attach(fd);
    if (!painter_.begin(writer_.get())) {
        const int error = file_->Finish(false);
        throw EOSError(error, error ? std::strerror(error) : "");
    }
    painter_.setFont(font_);
    painter_.setPen(Qt::black);
}

void PdfDocument::NewPage()
{
    if (painter_.isActive())
        writer_->newPage();
}

void PdfDocument::End(bool sync)
{
    if (!painter_.isActive())
        return;
    const bool written = painter_.end();
    int error = file_->Finish(sync);
    if (!written && !error)
        error = EIO;
    if (error)
        throw EOSError(error, std::strerror(error));
}

int PdfDocument::PageWidth() const
{
    return writer_->width();
}

int PdfDocument::PageHeight() const
{
    return writer_->height();
}

void PdfDocument::SelectFont(const FontRequest& request)
{
    // No style hint: with one Qt would pick another face than the
    // metric-compatible substitute fontconfig offers.
    font_ = QFont(QString::fromUtf8(request.name.data(), static_cast<qsizetype>(request.name.size())));
    font_.setPixelSize(std::max(1, request.pixelHeight));
    metrics_.emplace(font_, writer_.get());
    if (painter_.isActive())
        painter_.setFont(font_);
}

const QFontMetrics& PdfDocument::FontMetrics()
{
    if (!metrics_)
        metrics_.emplace(font_, writer_.get());
    return *metrics_;
}

TextMetric PdfDocument::Metrics()
{
    const QFontMetrics& fm = FontMetrics();
    return {fm.height(), fm.averageCharWidth()};
}

TextSize PdfDocument::Extent(std::string_view text)
{
    const QFontMetrics& fm = FontMetrics();
    return {fm.horizontalAdvance(Decode(text)), fm.height()};
}

void PdfDocument::TextOut(int x, int y, std::string_view text)
{
    if (painter_.isActive())
        painter_.drawText(QPoint(x, y + FontMetrics().ascent()), Decode(text));
}

} // namespace printer
