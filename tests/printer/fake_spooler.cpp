#include "fake_spooler.h"

#include <map>
#include <stdexcept>

namespace testing_support {
namespace {

int CharWidth(char c)
{
    if (c == '.')
        return 1;
    if (c == '#')
        return FakeSpoolerState::kWideChar;
    return FakeSpoolerState::kCharWidth;
}

class FakeContext : public printer::PrintContext {
public:
    FakeContext(std::shared_ptr<FakeSpoolerState> state, std::string device)
        : state_(std::move(state)), device_(std::move(device))
    {
    }

    int PageWidth() const override { return state_->pageWidth; }
    int PageHeight() const override { return state_->pageHeight; }
    int PixelsPerInchY() const override { return state_->pixelsPerInch; }
    printer::PaperLayout Paper() const override
    {
        const double points = 72.0 / state_->pixelsPerInch;
        return {state_->pageWidth * points, state_->pageHeight * points, 0, 0, 0, 0, {}};
    }

    void SelectFont(const printer::FontRequest& font) override
    {
        if (job_)
            Job().fonts.push_back(font);
    }
    printer::TextMetric Metrics() override
    {
        return {FakeSpoolerState::kCharHeight, FakeSpoolerState::kCharWidth};
    }
    printer::TextSize Extent(std::string_view text) override
    {
        int w = 0;
        for (char c : text)
            w += CharWidth(c);
        return {w, FakeSpoolerState::kCharHeight};
    }
    void TextOut(int x, int y, std::string_view text) override
    {
        if (!job_ || Job().pages.empty())
            throw std::logic_error("text drawn outside a page");
        Job().pages.back().push_back({x, y, std::string(text)});
    }

    void StartDoc(const std::string& title, printer::ProgressCallback progress) override
    {
        progress_ = std::move(progress);
        if (state_->startFailure)
            throw *state_->startFailure;
        state_->jobs.push_back({device_, title, {}, {}, false});
        job_ = state_->jobs.size();
    }
    void StartPage() override
    {
        Job().pages.emplace_back();
        if (Job().pages.size() > 1) {
            if (state_->onNewPage)
                state_->onNewPage();
            if (progress_)
                progress_();
        }
    }
    void EndPage() override {}
    void EndDoc() override
    {
        if (progress_)
            progress_();
        Job().ended = true;
        if (state_->submitFailure)
            throw *state_->submitFailure;
    }

private:
    // By index: callbacks may start other jobs and move the vector.
    FakeJob& Job() { return state_->jobs.at(job_ - 1); }

    std::shared_ptr<FakeSpoolerState> state_;
    std::string device_;
    std::size_t job_ = 0;
    printer::ProgressCallback progress_;
};

} // namespace

std::vector<std::vector<std::string>> FakeSpoolerState::JobLines(std::size_t j) const
{
    std::vector<std::vector<std::string>> pages;
    for (const std::vector<Drawn>& page : jobs.at(j).pages) {
        std::map<int, std::string> byY;
        for (const Drawn& d : page)
            byY[d.y] += d.text;
        std::vector<std::string> lines;
        for (auto& [y, text] : byY)
            lines.push_back(text);
        pages.push_back(lines);
    }
    return pages;
}

std::vector<std::string> FakeSpooler::PrinterNames()
{
    ++state_->listReads;
    if (state_->lookupFailure)
        throw *state_->lookupFailure;
    return state_->printers;
}

std::optional<std::string> FakeSpooler::DefaultPrinter()
{
    ++state_->defaultLookups;
    if (state_->lookupFailure)
        throw *state_->lookupFailure;
    return state_->defaultPrinter;
}

std::unique_ptr<printer::PrintContext> FakeSpooler::MakeContext(const std::string& device, bool drawing)
{
    if (state_->failContexts)
        return nullptr;
    ++state_->contextsMade;
    if (drawing)
        ++state_->drawingContextsMade;
    return std::make_unique<FakeContext>(state_, device);
}

} // namespace testing_support
