#pragma once
// One PDF document drawn with Qt: the pages of a print job before they go to
// the spooler, or the printout saved as a file. Sizes are device pixels at
// kResolution; (0, 0) is the top-left corner of the printable area.
//
// Needs the Qt GUI application (fonts).

#include "printer/spooler.h"

#include <QFont>
#include <QFontMetrics>
#include <QPainter>
#include <QPdfWriter>

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace printer {

class FdDevice;

class PdfDocument {
public:
    static constexpr int kResolution = 1200;

    explicit PdfDocument(const PaperLayout& paper);
    ~PdfDocument();
    PdfDocument(const PdfDocument&) = delete;
    PdfDocument& operator=(const PdfDocument&) = delete;

    // Starts drawing into the open descriptor (taken over): the document and
    // its first page. Throws EOSError with the platform's reason.
    void Begin(int fd);
    bool Begun() const { return painter_.isActive(); }
    void NewPage();
    // Finishes and closes the file, first flushed to the disk when sync is
    // set; throws EOSError with the code and text of the error that stopped
    // it.
    void End(bool sync = false);

    int PageWidth() const;
    int PageHeight() const;
    const PaperLayout& Paper() const { return paper_; }

    void SelectFont(const FontRequest& request);
    TextMetric Metrics();
    TextSize Extent(std::string_view text);
    // Does nothing before Begin.
    void TextOut(int x, int y, std::string_view text);

private:
    const QFontMetrics& FontMetrics();

    PaperLayout paper_;
    std::unique_ptr<FdDevice> file_;
    std::unique_ptr<QPdfWriter> writer_;
    QPainter painter_;
    QFont font_;
    std::optional<QFontMetrics> metrics_;
};

} // namespace printer
