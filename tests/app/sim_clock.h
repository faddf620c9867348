#pragma once
// A simulated clock on its own pty, served by a thread while it lives.

#include <atomic>
#include <string>
#include <thread>
#include <utility>

#include "tools/clock_sim.h"

class SimClock {
public:
    explicit SimClock(clocksim::Options options = {}) : line_(clocksim::Line::CreatePty()), sim_(line_, std::move(options))
    {
        thread_ = std::thread([this] { sim_.Run(stop_); });
    }
    ~SimClock()
    {
        stop_ = true;
        thread_.join();
    }
    const std::string& Path() const { return line_.Path(); }
    clocksim::Stats Stats() const { return sim_.Snapshot(); }

private:
    clocksim::Line line_;
    clocksim::ClockSimulator sim_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};
