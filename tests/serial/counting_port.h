#pragma once
// A TComPort that counts the apply steps that reach an open device.

#include "serial/comport.h"

namespace serial_test {

class CountingPort : public serial::TComPort {
public:
    int lineApplied = 0;
    int timeoutsApplied = 0;
    int buffersApplied = 0;

    void ApplyLineSettings() override {
        if (Handle() >= 0 && !Loading())
            ++lineApplied;
        TComPort::ApplyLineSettings();
    }
    void ApplyTimeoutSettings() override {
        if (Handle() >= 0 && !Loading())
            ++timeoutsApplied;
        TComPort::ApplyTimeoutSettings();
    }
    void ApplyBufferSizes() override {
        if (Handle() >= 0 && !Loading())
            ++buffersApplied;
        TComPort::ApplyBufferSizes();
    }
    void ResetCounts() { lineApplied = timeoutsApplied = buffersApplied = 0; }
};

} // namespace serial_test
