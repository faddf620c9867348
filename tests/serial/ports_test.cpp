#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

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

TEST(PortNames, CompareCaseInsensitivelyCharacterByCharacter) {
    EXPECT_TRUE(PortNameLess("COM20", "COM3"));
    EXPECT_TRUE(PortNameLess("com3", "COM4"));
    EXPECT_FALSE(PortNameLess("COM3", "com3"));
    EXPECT_FALSE(PortNameLess("com3", "COM3"));
    EXPECT_TRUE(PortNameLess("COM", "COM1"));
}

} // namespace
