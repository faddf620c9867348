#include <gtest/gtest.h>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include "counting_port.h"
#include "pty_peer.h"
#include "serial/comport.h"
#include "serial/dispatcher.h"
#include "serial/errors.h"
#include "serial/termios2.h"

using namespace serial;
using namespace serial_test;

namespace {

TEST(Settings, NewComponentHasTheClockLineDefaults) {
    TComPort p;
    EXPECT_FALSE(p.Connected());
    EXPECT_EQ(p.BaudRate(), br9600);
    EXPECT_EQ(p.CustomBaudRate(), 9600);
    EXPECT_EQ(p.Port(), "COM1");
    EXPECT_EQ(p.DataBits(), dbEight);
    EXPECT_EQ(p.StopBits(), sbOneStopBit);
    EXPECT_EQ(p.Parity().Bits(), prNone);
    EXPECT_FALSE(p.Parity().Check());
    EXPECT_EQ(p.Events(), kAllComEvents);
    EXPECT_EQ(p.Events().Bits(), 0x03FFu);
    EXPECT_EQ(p.SyncMethod(), smThreadSync);
    EXPECT_EQ(p.FlowControl().FlowControl(), fcNone);
    EXPECT_EQ(p.FlowControl().ControlDTR(), dtrDisable);
    EXPECT_EQ(p.FlowControl().ControlRTS(), rtsDisable);
    EXPECT_EQ(p.FlowControl().XonChar(), 17);
    EXPECT_EQ(p.FlowControl().XoffChar(), 19);
    EXPECT_EQ(p.Timeouts().ReadInterval(), -1);
    EXPECT_EQ(p.Timeouts().ReadTotalMultiplier(), 0);
    EXPECT_EQ(p.Timeouts().ReadTotalConstant(), 0);
    EXPECT_EQ(p.Timeouts().WriteTotalMultiplier(), 100);
    EXPECT_EQ(p.Timeouts().WriteTotalConstant(), 1000);
    EXPECT_EQ(p.Buffer().InputSize(), 1024);
    EXPECT_EQ(p.Buffer().OutputSize(), 1024);
    EXPECT_EQ(p.Handle(), -1);
}

TEST(Settings, TextForms) {
    EXPECT_EQ(BaudRateToStr(brCustom), "Custom");
    EXPECT_EQ(BaudRateToStr(br256000), "256000");
    EXPECT_EQ(StrToBaudRate("115200"), br115200);
    EXPECT_EQ(StrToBaudRate("custom"), brCustom);
    EXPECT_EQ(StrToBaudRate("9601"), br9600);
    EXPECT_EQ(StrToBaudRate(""), br9600);
    EXPECT_EQ(StopBitsToStr(sbOne5StopBits), "1.5");
    EXPECT_EQ(StrToStopBits("2"), sbTwoStopBits);
    EXPECT_EQ(StrToStopBits("3"), sbOneStopBit);
    EXPECT_EQ(StrToDataBits("7"), dbSeven);
    EXPECT_EQ(StrToDataBits("9"), dbEight);
    EXPECT_EQ(ParityToStr(prMark), "Mark");
    EXPECT_EQ(StrToParity("sPaCe"), prSpace);
    EXPECT_EQ(StrToParity("bogus"), prNone);
    EXPECT_EQ(StrToFlowControl("hardware"), fcHardware);
    EXPECT_EQ(StrToFlowControl("whatever"), fcCustom);
    EXPECT_EQ(StrToDTR("handshake"), dtrHandshake);
    EXPECT_EQ(StrToDTR("x"), dtrDisable);
    EXPECT_EQ(RTSToStr(rtsToggle), "Toggle");
    EXPECT_EQ(StrToRTS("TOGGLE"), rtsToggle);
    EXPECT_EQ(StrToRTS("Handshakes"), rtsDisable);
    EXPECT_EQ(BoolToStr(true), "Yes");
    EXPECT_TRUE(StrToBool("yEs"));
    EXPECT_FALSE(StrToBool("yes "));
    EXPECT_FALSE(StrToBool("true"));
    EXPECT_EQ(CharToStr(13), "#13");
    EXPECT_EQ(CharToStr(65), "A");
    EXPECT_EQ(CharToStr(200), "#200");
    EXPECT_EQ(CharToStr(32), "#32");
    EXPECT_EQ(CharToStr(127), std::string(1, '\x7f'));
    EXPECT_EQ(StrToChar("#13"), 13);
    EXPECT_EQ(StrToChar("#A"), 0);
    EXPECT_EQ(StrToChar("A"), 65);
    EXPECT_EQ(StrToChar(""), 0);
    EXPECT_EQ(StrToChar("#"), '#');
    EXPECT_EQ(StrToChar("#300"), 300 & 0xFF);
    for (int b = 0; b < 256; ++b)
        EXPECT_EQ(StrToChar(CharToStr(static_cast<std::uint8_t>(b))), b);
}

TEST(Settings, EventMaskConversion) {
    EXPECT_EQ(EventsToMask(kAllComEvents), 0x05FFu);
    EXPECT_EQ(EventsToMask({evTxEmpty}), 0x0004u);
    EXPECT_EQ(EventsToMask({evRxFlag}), 0x0002u);
    EXPECT_EQ(EventsToMask({evRLSD, evRing}), 0x0120u);
    EXPECT_EQ(MaskToEvents(0x0400 | 0x0040 | 0x0200 | 0x0800), (TComEvents{evRx80Full, evBreak}));
    for (std::uint32_t bits = 0; bits < 0x400; ++bits) {
        const TComEvents e = TComEvents::FromBits(bits);
        EXPECT_EQ(MaskToEvents(EventsToMask(e)), e);
    }
}

TEST(Settings, FlowControlPreset) {
    TComFlowControl f;
    f.SetControlDTR(dtrEnable);
    f.SetOutDSRFlow(true);
    f.SetDSRSensitivity(true);
    f.SetTxContinueOnXoff(true);
    f.SetXonChar(1);
    f.SetXoffChar(2);
    f.SetFlowControl(fcHardware);
    EXPECT_EQ(f.FlowControl(), fcHardware);
    EXPECT_EQ(f.ControlRTS(), rtsHandshake);
    EXPECT_TRUE(f.OutCTSFlow());
    EXPECT_EQ(f.ControlDTR(), dtrEnable);
    EXPECT_TRUE(f.OutDSRFlow());
    EXPECT_TRUE(f.DSRSensitivity());
    EXPECT_TRUE(f.TxContinueOnXoff());
    EXPECT_EQ(f.XonChar(), 1);
    EXPECT_EQ(f.XoffChar(), 2);
    f.SetFlowControl(fcSoftware);
    EXPECT_EQ(f.FlowControl(), fcSoftware);
    EXPECT_EQ(f.ControlRTS(), rtsDisable);
    EXPECT_FALSE(f.OutCTSFlow());
    EXPECT_TRUE(f.XonXoffIn() && f.XonXoffOut());
    f.SetFlowControl(fcCustom);
    EXPECT_EQ(f.FlowControl(), fcSoftware);
    f.SetFlowControl(fcNone);
    EXPECT_EQ(f.FlowControl(), fcNone);
    f.SetControlRTS(rtsEnable);
    EXPECT_EQ(f.FlowControl(), fcCustom);
    f.SetControlRTS(rtsDisable);
    f.SetXonXoffIn(true);
    EXPECT_EQ(f.FlowControl(), fcCustom);
}

TEST(Settings, SubObjectAssignment) {
    TComPort p;
    TComParity par;
    par.SetBits(prEven);
    par.SetCheck(true);
    par.SetReplaceChar('?');
    p.SetParity(par);
    EXPECT_EQ(p.Parity().Bits(), prEven);
    EXPECT_TRUE(p.Parity().Check());
    EXPECT_EQ(p.Parity().ReplaceChar(), '?');
    EXPECT_NE(&p.Parity(), &par);

    try {
        p.Parity().Assign(nullptr);
        FAIL();
    } catch (const EConvertError& e) {
        EXPECT_STREQ(e.what(), "Cannot assign a nil to a TComParity");
    }
    try {
        p.Timeouts().Assign(&par);
        FAIL();
    } catch (const EConvertError& e) {
        EXPECT_STREQ(e.what(), "Cannot assign a TComParity to a TComTimeouts");
    }
    EXPECT_EQ(p.Timeouts().WriteTotalConstant(), 1000);

    TComBuffer b;
    b.SetInputSize(4095);
    EXPECT_EQ(b.InputSize(), 4094);
    p.SetBuffer(b);
    EXPECT_EQ(p.Buffer().InputSize(), 4094);
}

TEST(Settings, AGroupReportsEachChangeThroughItsCallback) {
    int changes = 0;
    TComTimeouts t([&] { ++changes; });
    t.SetReadInterval(5);
    t.SetReadInterval(5); // the same value: nothing
    TComFlowControl f([&] { ++changes; });
    f.SetFlowControl(fcNone); // the preset always reports
    EXPECT_EQ(changes, 2);
    TComTimeouts copy(t); // a copy belongs to nobody
    copy.SetReadInterval(6);
    EXPECT_EQ(changes, 2);
}

TEST(Settings, BufferSizesLowerOddValues) {
    TComBuffer b;
    b.SetInputSize(1025);
    EXPECT_EQ(b.InputSize(), 1024);
    b.SetOutputSize(1);
    EXPECT_EQ(b.OutputSize(), 0);
    b.SetOutputSize(-3);
    EXPECT_EQ(b.OutputSize(), -3);
}

TEST(Settings, LineSettingsAsTermios) {
    TComPort p;
    TKernelTermios t{};
    t.c_cflag = kBOTHER | (kBOTHER << kIBSHIFT); // left by a custom speed
    t.c_ispeed = 250000;
    p.FillTermios(t);
    EXPECT_EQ(t.c_cflag & CSIZE, tcflag_t(CS8));
    EXPECT_FALSE(t.c_cflag & (PARENB | CSTOPB | CRTSCTS | HUPCL));
    EXPECT_TRUE(t.c_cflag & CLOCAL);
    EXPECT_FALSE(t.c_iflag & (IXON | IXOFF | INPCK | PARMRK));
    // A standard speed by its code; the input speed follows the output.
    EXPECT_EQ(t.c_cflag & CBAUD, tcflag_t(B9600));
    EXPECT_EQ(t.c_cflag & CIBAUD, 0u);
    EXPECT_EQ(t.c_ispeed, 9600u);
    EXPECT_EQ(t.c_ospeed, 9600u);
    EXPECT_EQ(t.c_cc[VMIN], 1);
    p.SetBaudRate(brCustom);
    p.SetCustomBaudRate(250000);
    p.FillTermios(t);
    EXPECT_EQ(t.c_cflag & (CBAUD | CIBAUD), kBOTHER);
    EXPECT_EQ(t.c_ospeed, 250000u);
    EXPECT_EQ(t.c_ispeed, 250000u);
    p.SetBaudRate(br9600);
    p.Parity().SetCheck(true);
    p.FillTermios(t);
    EXPECT_EQ(t.c_iflag & (INPCK | PARMRK), tcflag_t(INPCK | PARMRK));
    p.Parity().SetCheck(false);

    p.SetDataBits(dbFive);
    p.Parity().SetBits(prOdd);
    p.FillTermios(t);
    EXPECT_EQ(t.c_cflag & CSIZE, tcflag_t(CS5));
    EXPECT_EQ(t.c_cflag & (PARENB | PARODD | CMSPAR), tcflag_t(PARENB | PARODD));
    p.SetDataBits(dbSeven);
    p.Parity().SetBits(prEven);
    p.FillTermios(t);
    EXPECT_EQ(t.c_cflag & CSIZE, tcflag_t(CS7));
    EXPECT_EQ(t.c_cflag & (PARENB | PARODD | CMSPAR), tcflag_t(PARENB));
    p.Parity().SetBits(prMark);
    p.FillTermios(t);
    EXPECT_EQ(t.c_cflag & (PARENB | PARODD | CMSPAR), tcflag_t(PARENB | PARODD | CMSPAR));
    p.Parity().SetBits(prSpace);
    p.FillTermios(t);
    EXPECT_EQ(t.c_cflag & (PARENB | PARODD | CMSPAR), tcflag_t(PARENB | CMSPAR));
    p.SetDataBits(dbSix);
    p.FillTermios(t);
    EXPECT_EQ(t.c_cflag & CSIZE, tcflag_t(CS6));

    p.FlowControl().SetControlDTR(dtrEnable);
    p.FlowControl().SetOutCTSFlow(true);
    p.FlowControl().SetXonXoffIn(true);
    p.FlowControl().SetXoffChar(0x7E);
    p.FillTermios(t);
    EXPECT_TRUE(t.c_cflag & HUPCL);
    EXPECT_TRUE(t.c_cflag & CRTSCTS);
    EXPECT_TRUE(t.c_iflag & IXOFF);
    EXPECT_FALSE(t.c_iflag & IXON);
    EXPECT_EQ(t.c_cc[VSTOP], 0x7E);

    EXPECT_EQ(p.LineSpeed(), 9600);
    p.SetCustomBaudRate(31250);
    EXPECT_EQ(p.LineSpeed(), 9600);
    p.SetBaudRate(brCustom);
    EXPECT_EQ(p.LineSpeed(), 31250);
    p.SetBaudRate(br256000);
    EXPECT_EQ(p.LineSpeed(), 256000);
}

class OpenSettings : public ::testing::Test {
protected:
    void SetUp() override {
        port.SetDispatcher(&dispatcher);
        port.SetPort(pty.Path());
        port.SetEvents({});
        port.SetConnected(true);
        port.ResetCounts();
    }
    termios Attr() {
        termios t{};
        EXPECT_EQ(::tcgetattr(port.Handle(), &t), 0);
        return t;
    }

    PtyPeer pty;
    TPlainDispatcher dispatcher;
    CountingPort port;
};

TEST_F(OpenSettings, SetterRulesOnAnOpenPort) {
    port.SetBaudRate(br9600);
    port.SetDataBits(dbEight);
    port.Parity().SetBits(prNone);
    port.FlowControl().SetXonChar(17);
    EXPECT_EQ(port.lineApplied, 0);

    port.SetBaudRate(br19200);
    EXPECT_EQ(port.lineApplied, 1);
    termios t = Attr();
    EXPECT_EQ(::cfgetospeed(&t), speed_t(B19200));

    port.SetDataBits(dbSeven);
    port.Parity().SetBits(prOdd);
    port.SetStopBits(sbTwoStopBits);
    EXPECT_EQ(port.lineApplied, 4);
    // A pty keeps 8 bits without parity whatever it is given; the stop bits
    // reach it.
    t = Attr();
    EXPECT_TRUE(t.c_cflag & CSTOPB);
    EXPECT_FALSE(t.c_lflag & (ICANON | ECHO));
    EXPECT_EQ(t.c_cc[VMIN], 1);

    port.Parity().SetCheck(true);
    EXPECT_TRUE(Attr().c_iflag & INPCK);

    const int beforeCustom = port.lineApplied;
    port.FlowControl().SetFlowControl(fcCustom); // always re-applies
    EXPECT_EQ(port.lineApplied, beforeCustom + 1);
    port.FlowControl().SetFlowControl(fcSoftware);
    t = Attr();
    EXPECT_TRUE(t.c_iflag & IXON);
    EXPECT_TRUE(t.c_iflag & IXOFF);
    port.FlowControl().SetXonChar(0x12);
    EXPECT_EQ(Attr().c_cc[VSTART], 0x12);
    port.FlowControl().SetFlowControl(fcHardware);
    EXPECT_TRUE(Attr().c_cflag & CRTSCTS);
    port.FlowControl().SetFlowControl(fcNone);
    EXPECT_FALSE(Attr().c_cflag & CRTSCTS);

    // CustomBaudRate re-applies whatever BaudRate is, but is the speed only
    // for brCustom.
    const int before = port.lineApplied;
    port.SetCustomBaudRate(57600);
    EXPECT_EQ(port.lineApplied, before + 1);
    t = Attr();
    EXPECT_EQ(::cfgetospeed(&t), speed_t(B19200));
    port.SetBaudRate(brCustom);
    t = Attr();
    EXPECT_EQ(::cfgetospeed(&t), speed_t(B57600));
    // A speed without a Bnnn constant goes through termios2 and still opens.
    port.SetCustomBaudRate(250000);
    EXPECT_TRUE(port.Connected());
    port.SetBaudRate(br14400);
    EXPECT_TRUE(port.Connected());
}

TEST_F(OpenSettings, LeavingACustomSpeedLeavesNoInputSpeedBehind) {
    port.SetBaudRate(brCustom);
    port.SetCustomBaudRate(250000);
    TKernelTermios t;
    ASSERT_EQ(GetKernelTermios(port.Handle(), t), 0);
    EXPECT_EQ(t.c_ospeed, 250000u);
    EXPECT_EQ(t.c_ispeed, 250000u);
    port.SetBaudRate(br9600);
    ASSERT_EQ(GetKernelTermios(port.Handle(), t), 0);
    EXPECT_EQ(t.c_ospeed, 9600u);
    EXPECT_EQ(t.c_ispeed, 9600u);
    // Also for the next program that opens the line.
    port.SetConnected(false);
    const int fd = ::open(pty.Path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(GetKernelTermios(fd, t), 0);
    ::close(fd);
    EXPECT_EQ(t.c_ispeed, 9600u);
    // RTS raised while sending: a pty has no RTS line to raise, no error.
    port.FlowControl().SetControlRTS(rtsToggle);
    port.SetConnected(true);
    EXPECT_TRUE(port.Connected());
}

TEST_F(OpenSettings, TimeoutAndBufferGroups) {
    port.Timeouts().SetWriteTotalConstant(1000);
    EXPECT_EQ(port.timeoutsApplied, 0);
    port.Timeouts().SetWriteTotalConstant(500);
    EXPECT_EQ(port.timeoutsApplied, 1);
    TComTimeouts t;
    port.SetTimeouts(t); // whole sub-object: always re-applies
    EXPECT_EQ(port.timeoutsApplied, 2);
    EXPECT_EQ(port.Timeouts().WriteTotalConstant(), 1000);

    port.Buffer().SetInputSize(1025);
    EXPECT_EQ(port.Buffer().InputSize(), 1024);
    EXPECT_EQ(port.buffersApplied, 1);
    port.Buffer().SetInputSize(1024);
    EXPECT_EQ(port.buffersApplied, 1);
    EXPECT_EQ(port.lineApplied, 0);
}

TEST_F(OpenSettings, SyncMethodIsRefusedWhileOpen) {
    port.SetSyncMethod(smThreadSync); // same value: nothing
    try {
        port.SetSyncMethod(smNone);
        FAIL();
    } catch (const EComPort& e) {
        EXPECT_EQ(e.PortErrorCode(), 14);
        EXPECT_EQ(e.SystemErrorCode(), -1);
        EXPECT_STREQ(e.what(), "Cannot set property while connected");
    }
    EXPECT_EQ(port.SyncMethod(), smThreadSync);
    port.SetConnected(false);
    port.SetSyncMethod(smWindowSync);
    EXPECT_EQ(port.SyncMethod(), smWindowSync);
}

TEST_F(OpenSettings, RefusedLineSettingKeepsTheValueStored) {
    port.SetBaudRate(brCustom);
    try {
        port.SetCustomBaudRate(0);
        FAIL();
    } catch (const EComPort& e) {
        EXPECT_EQ(e.PortErrorCode(), 7);
        EXPECT_EQ(e.SystemErrorCode(), EINVAL);
    }
    EXPECT_EQ(port.CustomBaudRate(), 0);
    EXPECT_TRUE(port.Connected());
}

TEST(SettingsClosed, ChangesWhileClosedAreUsedAtTheNextOpen) {
    PtyPeer pty;
    TPlainDispatcher d;
    CountingPort port;
    port.SetDispatcher(&d);
    port.SetPort(pty.Path());
    port.SetEvents({});
    port.SetBaudRate(br4800);
    port.SetStopBits(sbOne5StopBits);
    EXPECT_EQ(port.lineApplied, 0);
    port.SetConnected(true);
    termios t{};
    ASSERT_EQ(::tcgetattr(port.Handle(), &t), 0);
    EXPECT_EQ(::cfgetospeed(&t), speed_t(B4800));
    EXPECT_TRUE(t.c_cflag & CSTOPB);
    // ConfigurePort applied each group once.
    EXPECT_EQ(port.lineApplied, 1);
    EXPECT_EQ(port.timeoutsApplied, 1);
    EXPECT_EQ(port.buffersApplied, 1);
}

TEST(SettingsLoading, ConnectedIsStoredUntilLoaded) {
    PtyPeer pty;
    TPlainDispatcher d;
    CountingPort port;
    port.SetDispatcher(&d);
    port.BeginLoading();
    port.SetPort(pty.Path());
    port.SetConnected(true);
    EXPECT_EQ(port.Handle(), -1);
    EXPECT_TRUE(port.Connected());
    port.Loaded();
    EXPECT_TRUE(port.Connected());
    EXPECT_GE(port.Handle(), 0);

    // A failing open after loading goes to the error report, not to the caller.
    TComPort bad;
    bad.SetDispatcher(&d);
    std::string shown;
    bad.OnDeferredError = [&](TComPort&, const std::string& m) { shown = m; };
    bad.BeginLoading();
    bad.SetPort("/nonexistent/ttyQP");
    bad.SetConnected(true);
    EXPECT_NO_THROW(bad.Loaded());
    EXPECT_FALSE(bad.Connected());
    EXPECT_EQ(shown, "Unable to open com port (win error code: 2)");
}

} // namespace
