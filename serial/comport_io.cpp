// The port's operations on its device and receive path: open and close of
// the device, the apply steps, transfers and status queries.

#include "serial/comport_parts.h"

#include <algorithm>
#include <cerrno>
#include <utility>

#include <sys/ioctl.h>
#include <termios.h>

#include "serial/ports.h"

namespace serial {

namespace {

TComTransfer& Checked(TComTransfer* transfer) {
    if (!transfer)
        throw EComPort(CError_InvalidAsync);
    return *transfer;
}

// The speeds with a Bnnn code of their own; 0 for any other.
speed_t StandardSpeed(int bps) {
    static constexpr std::pair<int, speed_t> kCodes[] = {
        {110, B110}, {300, B300}, {600, B600}, {1200, B1200}, {2400, B2400},
        {4800, B4800}, {9600, B9600}, {19200, B19200}, {38400, B38400}, {57600, B57600},
        {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600}};
    for (const auto& [speed, code] : kCodes)
        if (speed == bps)
            return code;
    return 0;
}

} // namespace

// --- device -----------------------------------------------------------------

void TCustomComPort::OpenDevice() {
    int drop = 0;
    if (flowControl_.ControlDTR() == dtrDisable)
        drop |= TIOCM_DTR;
    if (flowControl_.ControlRTS() == rtsDisable || flowControl_.ControlRTS() == rtsToggle)
        drop |= TIOCM_RTS;
    parts_->device.Open(DevicePathOf(port_), drop);
    if (const int err = parts_->rx.Attach(parts_->device.Fd(), parts_->device.Device())) {
        parts_->device.Close(LineSpeed());
        throw EComPort(CError_OpenFailed, err);
    }
}

void TCustomComPort::CloseDevice() {
    parts_->rx.Detach();
    parts_->device.Close(LineSpeed());
}

int TCustomComPort::LineSpeed() const {
    return baudRate_ == brCustom ? customBaudRate_ : BaudRateValue(baudRate_);
}

void TCustomComPort::FillTermios(TKernelTermios& t) const {
    // Raw, as cfmakeraw makes it.
    t.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF |
                   IXANY | INPCK | IGNPAR);
    t.c_oflag &= ~OPOST;
    t.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    if (flowControl_.XonXoffOut())
        t.c_iflag |= IXON;
    if (flowControl_.XonXoffIn())
        t.c_iflag |= IXOFF;
    // Errors marked in the data ("\377\0c"), so that the byte itself is kept
    // and can be replaced; a real 0xFF then comes doubled.
    if (parity_.Check())
        t.c_iflag |= INPCK | PARMRK;
    t.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS | HUPCL | CBAUD | CIBAUD);
    t.c_cflag |= CREAD | CLOCAL;
    static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    t.c_cflag |= kSizes[dataBits_];
    switch (parity_.Bits()) {
    case prNone: break;
    case prOdd: t.c_cflag |= PARENB | PARODD; break;
    case prEven: t.c_cflag |= PARENB; break;
    case prMark: t.c_cflag |= PARENB | CMSPAR | PARODD; break;
    case prSpace: t.c_cflag |= PARENB | CMSPAR; break;
    }
    if (stopBits_ != sbOneStopBit)
        t.c_cflag |= CSTOPB; // 1.5 has no termios form: 2
    if (flowControl_.OutCTSFlow() || flowControl_.ControlRTS() == rtsHandshake)
        t.c_cflag |= CRTSCTS;
    if (flowControl_.ControlDTR() != dtrDisable)
        t.c_cflag |= HUPCL;
    t.c_cc[VSTART] = flowControl_.XonChar();
    t.c_cc[VSTOP] = flowControl_.XoffChar();
    // VMIN 1 keeps "no data" (EAGAIN) apart from hang-up (0 bytes).
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    // The input speed field (CIBAUD) stays 0: input at the output speed.
    // Left set from a custom speed, it would keep receiving at that speed.
    const int bps = LineSpeed();
    const speed_t code = StandardSpeed(bps);
    t.c_cflag |= code != 0 ? code : kBOTHER;
    t.c_ispeed = t.c_ospeed = static_cast<std::uint32_t>(std::max(bps, 0));
}

void TCustomComPort::ApplyLineSettings() {
    if (!ApplyAllowed())
        return;
    if (LineSpeed() <= 0)
        throw EComPort(CError_SetStateFailed, EINVAL);
    const TKernelTermios t = parts_->device.ApplyLine([this](TKernelTermios& k) { FillTermios(k); },
                                               flowControl_.ControlDTR(), flowControl_.ControlRTS());
    const TRxFilterConfig filter{.marks = parity_.Check(), .replace = parity_.Check() && parity_.Replace(),
                                 .replaceChar = parity_.ReplaceChar(), .discardNull = discardNull_};
    parts_->rx.Configure(filter, eventChar_, flowControl_.XonXoffIn() || (t.c_cflag & CRTSCTS) != 0);
}

void TCustomComPort::ApplyTimeoutSettings() {
    // Each transfer reads the timeouts as it starts; nothing to hand over.
}

void TCustomComPort::ApplyBufferSizes() {
    if (!ApplyAllowed())
        return;
    // The output queue is the driver's; the input queue is our own.
    if (buffer_.InputSize() < 0 || buffer_.OutputSize() < 0)
        throw EComPort(CError_SetupComFailed, EINVAL);
    parts_->rx.SetCapacity(std::max(buffer_.InputSize(), kMinInputQueue));
}

// --- transfers --------------------------------------------------------------

TComTransfer* TCustomComPort::NewTransfer() { return new TComTransfer; }

void TCustomComPort::FreeTransfer(TComTransfer*& transfer) {
    if (!transfer)
        return;
    parts_->device.Unregister(*transfer);
    delete transfer;
    transfer = nullptr;
}

void TCustomComPort::AbortTransfers() { parts_->device.AbortTransfers(); }

int TCustomComPort::StartWrite(const void* buffer, int count, TComTransfer* transfer) {
    return parts_->device.StartWrite(buffer, count, Checked(transfer));
}

int TCustomComPort::StartWriteText(const std::string& text, TComTransfer* transfer) {
    return StartWrite(text.data(), static_cast<int>(text.size()), transfer);
}

int TCustomComPort::StartRead(void* buffer, int count, TComTransfer* transfer) {
    return parts_->device.StartRead(buffer, count, Checked(transfer), parts_->rx);
}

int TCustomComPort::StartReadText(std::string& text, int count, TComTransfer* transfer) {
    Checked(transfer);
    text.resize(count > 0 ? static_cast<std::size_t>(count) : 0);
    if (count <= 0) {
        transfer->started = false;
        transfer->done = 0;
        return 0;
    }
    return StartRead(text.data(), count, transfer);
}

int TCustomComPort::AwaitTransfer(TComTransfer* transfer) {
    return parts_->device.AwaitTransfer(Checked(transfer), timeouts_, parts_->rx);
}

namespace {
// Frees the record on every path out of a blocking operation.
struct TransferGuard {
    TCustomComPort& port;
    TComTransfer* transfer;
    ~TransferGuard() { port.FreeTransfer(transfer); }
};
} // namespace

int TCustomComPort::WriteText(const std::string& text) {
    if (text.empty())
        return 0;
    TransferGuard guard{*this, NewTransfer()};
    StartWriteText(text, guard.transfer);
    const int n = AwaitTransfer(guard.transfer);
    if (n > 0)
        Kick();
    return n;
}

int TCustomComPort::ReadText(std::string& text, int count) {
    if (count <= 0) {
        text.clear();
        return 0;
    }
    TransferGuard guard{*this, NewTransfer()};
    int n;
    try {
        StartReadText(text, count, guard.transfer);
        n = AwaitTransfer(guard.transfer);
    } catch (...) {
        text.clear();
        throw;
    }
    text.resize(static_cast<std::size_t>(n));
    return n;
}

int TCustomComPort::ReadBytes(void* buffer, int count) {
    if (count <= 0)
        return 0;
    TransferGuard guard{*this, NewTransfer()};
    StartRead(buffer, count, guard.transfer);
    return AwaitTransfer(guard.transfer);
}

// --- status queries -----------------------------------------------------------

int TCustomComPort::PendingInput() {
    if (!parts_->device.IsOpen())
        throw EComPort(CError_ClearComFailed, EBADF);
    return parts_->rx.Pending();
}

TLineSignals TCustomComPort::ModemSignals() { return parts_->device.ModemSignals(); }

TComErrors TCustomComPort::TakeLineErrors() {
    // The driver's counters, then input that did not fit into the receive queue.
    TComErrors errors = parts_->device.TakeCounterErrors(parity_.Check());
    if (parts_->rx.TakeOverrun())
        errors.Include(ceRxOver);
    return errors;
}

} // namespace serial
