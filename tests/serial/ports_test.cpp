#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <tuple>

#include "serial/errors.h"
#include "serial/ports.h"

using namespace serial;
namespace fs = std::filesystem;

namespace {

// A fake /sys/class/tty and /dev.
class PortsTest : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = fs::temp_directory_path() /
                ("qp_ports_" + std::to_string(::getpid()) + "_" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root_);
        fs::create_directories(Sys());
        fs::create_directories(Dev());
        fs::create_directories(root_ / "devices" / "uart");
    }
    void TearDown() override { fs::remove_all(root_); }

    std::string Sys() const { return (root_ / "sys").string(); }
    std::string Dev() const { return (root_ / "dev").string(); }

    // type < 0: no type attribute (USB, ACM); withDevice false: a virtual tty.
    void AddTty(const std::string& name, bool withDevice = true, int type = -1, bool node = true) {
        const fs::path entry = fs::path(Sys()) / name;
        fs::create_directories(entry);
        if (withDevice)
            fs::create_directory_symlink(root_ / "devices" / "uart", entry / "device");
        if (type >= 0)
            std::ofstream(entry / "type") << type << "\n";
        if (node)
            std::ofstream(fs::path(Dev()) / name).put('\0');
    }

    fs::path root_;
};

TEST_F(PortsTest, ListsDevicePortsSortedWithoutPlaceholders) {
    AddTty("ttyUSB2");
    AddTty("ttyUSB10");
    AddTty("ttyS0", true, 4);     // a real 16550A
    AddTty("ttyS1", true, 0);     // 8250 placeholder without a UART
    AddTty("ttyS2", true, 0);
    AddTty("tty1", false);        // virtual console
    AddTty("ptmx", false);
    AddTty("ttyACM0");
    AddTty("ttyacm1");
    AddTty("ttyGone", true, -1, false); // no device node
    std::vector<std::string> ports{"stale"};
    ListComPorts(ports, Sys(), Dev());
    EXPECT_EQ(ports, (std::vector<std::string>{"ttyACM0", "ttyacm1", "ttyS0", "ttyUSB10", "ttyUSB2"}));
}

TEST_F(PortsTest, EmptyTreeGivesEmptyList) {
    std::vector<std::string> ports{"old"};
    ListComPorts(ports, Sys(), Dev());
    EXPECT_TRUE(ports.empty());
}

TEST_F(PortsTest, MissingTreeIsTheRegistryErrorAndLeavesTheListAlone) {
    std::vector<std::string> ports{"keep"};
    try {
        ListComPorts(ports, Sys() + "/nope", Dev());
        FAIL() << "no error";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.PortErrorCode(), 23);
        EXPECT_EQ(e.SystemErrorCode(), 2);
        EXPECT_STREQ(e.what(), "Registry error (win error code: 2)");
    }
    EXPECT_EQ(ports, std::vector<std::string>{"keep"});
}

TEST_F(PortsTest, UnreadableEntryIsTheRegistryError) {
    AddTty("ttyUSB0");
    AddTty("ttyS0");
    fs::create_directory(fs::path(Sys()) / "ttyS0" / "type"); // reading it fails: EISDIR
    std::vector<std::string> ports{"keep"};
    try {
        ListComPorts(ports, Sys(), Dev());
        FAIL() << "no error";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.PortErrorCode(), 23);
        EXPECT_EQ(e.SystemErrorCode(), EISDIR);
    }
    EXPECT_EQ(ports, std::vector<std::string>{"keep"});
}

TEST_F(PortsTest, GlobalRootsServeListingAndDevicePaths) {
    AddTty("ttyFAKE0");
    const ComPortRoots saved = GetComPortRoots();
    SetComPortRoots(Sys(), Dev());
    std::vector<std::string> ports;
    ListComPorts(ports);
    EXPECT_EQ(ports, std::vector<std::string>{"ttyFAKE0"});
    EXPECT_EQ(DevicePathOf("ttyFAKE0"), Dev() + "/ttyFAKE0");
    EXPECT_EQ(DevicePathOf("/dev/pts/3"), "/dev/pts/3");
    SetComPortRoots(saved.sysRoot, saved.devRoot);
    EXPECT_EQ(DevicePathOf("COM1"), saved.devRoot + "/COM1");
}

TEST_F(PortsTest, DescribesAUsbAdapterByItsIdsAndNothingThatIsNotInTheTree) {
    // A USB adapter as sysfs shows it: the port's device is the usb-serial
    // port, below the interface, below the USB device with the ids.
    const fs::path usb = root_ / "devices" / "usb1";
    const fs::path adapter = usb / "1-2";
    fs::create_directories(adapter / "1-2:1.0" / "ttyUSB0");
    for (const auto& [dir, file, value] : {std::tuple{usb, "idVendor", "1d6b"}, {usb, "idProduct", "0002"},
                                           {adapter, "idVendor", "0403"}, {adapter, "idProduct", "6001"},
                                           {adapter, "serial", "A9XK3"}})
        std::ofstream(dir / file) << value << "\n";
    AddTty("ttyUSB0", false);
    fs::create_directory_symlink(adapter / "1-2:1.0" / "ttyUSB0", fs::path(Sys()) / "ttyUSB0" / "device");
    AddTty("ttyS0", true, 4);
    AddTty("ttyGone", false, -1, false);
    // A by-id link and a link to it lead to the kernel's node.
    fs::create_directories(Dev() + "/serial/by-id");
    fs::create_symlink("../../ttyUSB0", Dev() + "/serial/by-id/usb-FTDI-if00");
    fs::create_symlink(Dev() + "/serial/by-id/usb-FTDI-if00", root_ / "clock");

    ComPortDescription ftdi;
    ftdi.described = true;
    ftdi.vendor = "0403";
    ftdi.product = "6001";
    ftdi.serial = "A9XK3";
    for (const std::string& port : {std::string("ttyUSB0"), Dev() + "/ttyUSB0", Dev() + "/serial/by-id/usb-FTDI-if00",
                                    (root_ / "clock").string()}) {
        SCOPED_TRACE(port);
        EXPECT_EQ(DescribeComPort(port, Sys(), Dev()), ftdi);
    }
    const ComPortDescription uart = DescribeComPort("ttyS0", Sys(), Dev());
    EXPECT_TRUE(uart.described);
    EXPECT_EQ(uart.device, fs::canonical(root_ / "devices" / "uart").string());
    EXPECT_TRUE(uart.vendor.empty());

    // Without its serial number the adapter is still described, by its ids.
    fs::remove(adapter / "serial");
    ftdi.serial.clear();
    EXPECT_EQ(DescribeComPort("ttyUSB0", Sys(), Dev()), ftdi);

    // Not in the tree: a pseudo-terminal, a link to one, a name without an
    // entry, an entry without a device, a node in a folder below the root.
    fs::create_symlink("/dev/pts/0", root_ / "pty-link");
    std::ofstream(Dev() + "/tty1").put('\0');
    AddTty("tty1", false);
    fs::create_directories(Dev() + "/pts");
    std::ofstream(Dev() + "/pts/3").put('\0');
    for (const std::string& port : {std::string("/dev/pts/0"), (root_ / "pty-link").string(), std::string("ttyNone"),
                                    std::string("ttyGone"), std::string("tty1"), std::string("pts/3")}) {
        SCOPED_TRACE(port);
        EXPECT_FALSE(DescribeComPort(port, Sys(), Dev()).described);
    }
}

TEST(PortNames, CompareCaseInsensitivelyCharacterByCharacter) {
    EXPECT_TRUE(PortNameLess("COM20", "COM3"));
    EXPECT_TRUE(PortNameLess("com3", "COM4"));
    EXPECT_FALSE(PortNameLess("COM3", "com3"));
    EXPECT_FALSE(PortNameLess("com3", "COM3"));
    EXPECT_TRUE(PortNameLess("COM", "COM1"));
}

} // namespace
