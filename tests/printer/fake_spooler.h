#pragma once
// A spooler with a measuring device of fixed metrics: every character is
// kCharWidth pixels wide (except '.', 1 pixel, and '#', wider than any
// page) and kCharHeight high. It records every job, page and text run.

#include "printer/errors.h"
#include "printer/spooler.h"

#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace testing_support {

struct Drawn {
    int x = 0;
    int y = 0;
    std::string text;
    bool operator==(const Drawn&) const = default;
};

inline void PrintTo(const Drawn& d, std::ostream* os)
{
    *os << "(" << d.x << "," << d.y << ",\"" << d.text << "\")";
}

struct FakeJob {
    std::string device;
    std::string title;
    std::vector<std::vector<Drawn>> pages;
    std::vector<printer::FontRequest> fonts;
    bool ended = false;
};

struct FakeSpoolerState {
    static constexpr int kCharWidth = 10;
    static constexpr int kCharHeight = 20;
    static constexpr int kWideChar = 100000;

    std::vector<std::string> printers{"Office", "Label"};
    std::optional<std::string> defaultPrinter{"Office"};
    int pageWidth = 200;   // 20 characters
    int pageHeight = 300;
    int pixelsPerInch = 600;
    bool failContexts = false;
    std::optional<printer::EOSError> lookupFailure;   // thrown by both lookups
    std::optional<printer::EOSError> submitFailure;   // thrown by EndDoc
    std::optional<printer::EOSError> startFailure;    // thrown by StartDoc
    std::function<void()> onNewPage;  // besides the printer's progress callback

    int contextsMade = 0;
    int drawingContextsMade = 0;
    int defaultLookups = 0;
    int listReads = 0;
    std::vector<FakeJob> jobs;

    // Lines drawn per page of job j, each line the runs at one y joined.
    std::vector<std::vector<std::string>> JobLines(std::size_t j) const;
};

class FakeSpooler : public printer::PrintSpooler {
public:
    explicit FakeSpooler(std::shared_ptr<FakeSpoolerState> state) : state_(std::move(state)) {}

    std::vector<std::string> PrinterNames() override;
    std::optional<std::string> DefaultPrinter() override;
    std::unique_ptr<printer::PrintContext> MakeContext(const std::string& device, bool drawing) override;

private:
    std::shared_ptr<FakeSpoolerState> state_;
};

} // namespace testing_support
