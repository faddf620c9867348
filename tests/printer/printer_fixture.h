#pragma once
// Puts a printer object on the fake spooler in place for each test and
// restores the previous one afterwards.

#include "fake_spooler.h"
#include "printer/printer.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace testing_support {

class FakePrinterTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        state = std::make_shared<FakeSpoolerState>();
        previous_ = printer::SetPrinter(
            std::make_unique<printer::TPrinter>(std::make_unique<FakeSpooler>(state)));
        printer::Printer().SetProgressCallback({});
    }
    void TearDown() override { printer::SetPrinter(std::move(previous_)); }

    printer::TPrinter& Prn() { return printer::Printer(); }

    std::shared_ptr<FakeSpoolerState> state;

private:
    std::unique_ptr<printer::TPrinter> previous_;
};

// The message of the exception fn throws, or "" when it throws none.
template <typename Fn>
std::string ErrorOf(Fn&& fn)
{
    try {
        fn();
    } catch (const std::exception& e) {
        return e.what();
    }
    return {};
}

} // namespace testing_support
