#pragma once
// A byte source/sink that keeps the clock link's port contracts: reads
// return at once with what has "arrived", writes are recorded whole.

#include <stdexcept>
#include <string>
#include <vector>

#include "clocklink/port_ops.h"

namespace testing_support {

class FakeClockPort : public clocklink::ClockPortOps {
public:
    void Arrive(const std::string& bytes) { incoming_ += bytes; }
    int Pending() const { return static_cast<int>(incoming_.size()); }

    int WriteText(const std::string& text) override
    {
        if (failWrites)
            throw std::runtime_error("WriteFile function failed");
        writes.push_back(text);
        return static_cast<int>(text.size());
    }

    int ReadText(std::string& text, int count) override
    {
        const std::size_t n = count <= 0 ? 0 : std::min<std::size_t>(count, incoming_.size());
        text.assign(incoming_, 0, n);
        incoming_.erase(0, n);
        return static_cast<int>(n);
    }

    std::vector<std::string> writes;
    bool failWrites = false;

private:
    std::string incoming_;
};

} // namespace testing_support
