#pragma once
// The machine's serial ports: the entries of /sys/class/tty that belong to a
// device, less the 8250 placeholders that have no UART. Nothing is opened.

#include <string>
#include <vector>

namespace serial {

// Where ports are listed and where a bare port name is opened. The program
// uses /sys/class/tty and /dev; the environment variables QP_SERIAL_SYSFS and
// QP_SERIAL_DEV, read at the first use, or SetComPortRoots, point the whole
// program at another tree (tests, the clock simulator).
struct ComPortRoots {
    std::string sysRoot;
    std::string devRoot;
};
ComPortRoots GetComPortRoots();
void SetComPortRoots(const std::string& sysRoot, const std::string& devRoot);

// Replaces ports with the sorted names (bare, e.g. "ttyUSB0"); on failure
// raises EComPort 23 "Registry error" with the errno and leaves ports alone.
void ListComPorts(std::vector<std::string>& ports);
void ListComPorts(std::vector<std::string>& ports, const std::string& sysRoot,
                  const std::string& devRoot);

// The device path that the port name opens: the name itself when it starts
// with "/", else devRoot + "/" + name.
std::string DevicePathOf(const std::string& port);

// What the system says a port is, from its entry under the sysfs root: for
// a USB adapter its vendor, product and serial number (empty when it has
// none), so that the same adapter is known again in another socket; for any
// other device the device's own sysfs path. A port whose entry is missing or
// has no `device` link (a pseudo-terminal, a console) is not described.
struct ComPortDescription {
    bool described = false;
    std::string vendor, product, serial; // USB adapters
    std::string device;                  // other devices
    friend bool operator==(const ComPortDescription&, const ComPortDescription&) = default;
};

// The port is a name or a path as DevicePathOf takes it; a path reaches its
// entry when it is, or links on to, a node directly in the device root
// (/dev/serial/by-id/... -> ../../ttyUSB0). Never raises: what cannot be
// read is not described.
ComPortDescription DescribeComPort(const std::string& port);
ComPortDescription DescribeComPort(const std::string& port, const std::string& sysRoot,
                                   const std::string& devRoot);

// Case-insensitive, byte by byte in the current locale: "ttyUSB10" < "ttyUSB2".
bool PortNameLess(const std::string& a, const std::string& b);

} // namespace serial
