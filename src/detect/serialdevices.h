// The serial devices of the machine that may have a modem behind them.
#pragma once

#include <string>
#include <vector>

namespace kestrel {

struct TSerialDevice {
    std::string device; // the device itself, symbolic links resolved ("/dev/ttyUSB2")
    std::string byId;   // its name under /dev/serial/by-id (the same across plug-ins), or empty
};

// The devices a modem may sit behind: what /dev/serial/by-id links to, /dev/ttyUSB*, /dev/ttyACM*,
// and /dev/ttyS* where the driver reports a port there (its type in sysfs is not 0, "unknown").
// Each device once, in natural order (ttyUSB2 before ttyUSB10). The folders are parameters so
// that tests can build a tree of their own.
std::vector<TSerialDevice> ListSerialDevices(const std::string &devDir = "/dev",
                                             const std::string &sysTtyDir = "/sys/class/tty");

// A device named by the user: its real path (the name as given when it does not resolve) and the
// by-id link that points to it, if any.
TSerialDevice DescribeSerialDevice(const std::string &path, const std::string &devDir = "/dev");

// True when a sorts before b with runs of digits compared as numbers.
bool NaturalLess(const std::string &a, const std::string &b);

} // namespace kestrel
