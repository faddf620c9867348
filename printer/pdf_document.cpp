#include "printer/pdf_document.h"

#include "codepage/cp1252.h"
#include "printer/errors.h"

#include <QLocale>
#include <QPageLayout>
#include <QPageSize>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace printer {
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

PaperLayout LocalePaper()
{
    const bool us = QLocale::system().measurementSystem() == QLocale::ImperialUSSystem;
    const QSizeF size = QPageSize(us ? QPageSize::Letter : QPageSize::A4).size(QPageSize::Point);
    return {size.width(), size.height(), 10, 10, 10, 10};
}

PdfDocument::PdfDocument(const PaperLayout& paper) : paper_(paper)
{
    // Not drawn into until Begin; until then it answers for sizes and fonts.
    writer_ = std::make_unique<QPdfWriter>(&file_);
    writer_->setResolution(kResolution);
    writer_->setPageLayout(ToPageLayout(paper_));
    writer_->setCreator(QStringLiteral("Quillprint"));
}

PdfDocument::~PdfDocument()
{
    if (painter_.isActive())
        painter_.end();
}

int PdfDocument::OpenFile(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        const int err = errno;
        throw EOSError(err, std::strerror(err));
    }
    return fd;
}

void PdfDocument::Begin(int fd)
{
    touched_ = true;
    if (!file_.open(fd, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        throw EOSError(EBADF, file_.errorString().toStdString());
    }
    if (!painter_.begin(writer_.get())) {
        const std::string reason = file_.errorString().toStdString();
        file_.close();
        throw EOSError(file_.error() == QFileDevice::NoError ? 0 : EIO, reason);
    }
    painter_.setFont(font_);
    painter_.setPen(Qt::black);
}

void PdfDocument::NewPage()
{
    if (painter_.isActive())
        writer_->newPage();
}

void PdfDocument::End()
{
    if (!painter_.isActive())
        return;
    const bool written = painter_.end();
    const bool flushed = file_.flush();
    const QString reason = file_.errorString();
    file_.close();
    if (!written || !flushed)
        throw EOSError(EIO, reason.toStdString());
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
