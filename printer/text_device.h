#pragma once
// The printer text device: a write-only text stream on the printer object.
// Opening it begins a job; text is laid out line after line from the top-left
// corner of the printable area, wrapped at the page width, with a new page
// when the current one is full; closing it ends the job. A new sheet of paper
// starts only when there is something to put on it.
//
// Text is bytes in the system's 8-bit code page; every byte is one character.

#include "printer/printer.h"

#include <array>
#include <cstddef>
#include <string_view>

namespace printer {

class PrinterTextDevice {
public:
    static constexpr std::size_t kBufferSize = 128;
    enum class Mode { Closed, Input, Output };

    PrinterTextDevice() = default;
    // A device still open for output ends its job, so none is left open.
    ~PrinterTextDevice();
    PrinterTextDevice(const PrinterTextDevice&) = delete;
    PrinterTextDevice& operator=(const PrinterTextDevice&) = delete;

    // Binds the device to the process's printer (made if there is none
    // yet), or to the given one; the device is closed with an empty buffer
    // afterwards.
    void Attach();
    void Attach(TPrinter& printer);
    // Begins a job and its first page. If the job cannot begin the device
    // stays closed and the printer's error is thrown.
    void OpenForOutput();
    // Accepted; every read yields nothing.
    void OpenForInput();
    void Write(std::string_view text);
    // A single line feed, then everything buffered goes to the layout.
    void LineEnd();
    void WriteLine(std::string_view text)
    {
        Write(text);
        LineEnd();
    }
    std::size_t Read(char* buffer, std::size_t size);
    // Lays out what is buffered and ends the job.
    void Close();

    Mode GetMode() const { return mode_; }

    // The layout cursor, for inspection.
    int X() const { return x_; }
    int Y() const { return y_; }
    int LineHeight() const { return lineHeight_; }

private:
    void Flush();
    void Layout(std::string_view piece);
    void DrawRun(std::string_view run);
    void NewLine();
    void NewPage();
    void StartPendingPage();
    TPrinter& Bound();

    TPrinter* printer_ = nullptr;
    Mode mode_ = Mode::Closed;
    std::array<char, kBufferSize> buffer_{};
    std::size_t buffered_ = 0;
    int x_ = 0;
    int y_ = 0;
    int rightLimit_ = 0;
    int bottomLimit_ = 0;
    int lineHeight_ = 0;
    // The page is full (or a form feed ended it), but the next sheet of
    // paper begins only when something is drawn on it.
    bool pagePending_ = false;
};

} // namespace printer
