#include "detect/serialdevices.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <linux/serial.h>
#include <map>
#include <sys/ioctl.h>
#include <unistd.h>

namespace kestrel {

namespace fs = std::filesystem;

namespace {

std::string RealPath(const std::string &path)
{
    std::string result = path;
    if (char *real = realpath(path.c_str(), nullptr)) {
        result = real;
        free(real);
    }
    return result;
}

bool StartsWith(const std::string &s, const char *prefix)
{
    return s.rfind(prefix, 0) == 0;
}

// The driver's word on a legacy serial port: sysfs gives the UART type (0 when there is no
// port at that address); without sysfs the port is asked itself.
bool RealSerialPort(const std::string &device, const std::string &name, const std::string &sysTtyDir)
{
    std::error_code ec;
    if (fs::is_directory(sysTtyDir, ec)) {
        std::ifstream type(sysTtyDir + "/" + name + "/type");
        int value = 0;
        return type && (type >> value) && value != 0;
    }
    const int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    serial_struct info{};
    const bool real = ioctl(fd, TIOCGSERIAL, &info) == 0 && info.type != PORT_UNKNOWN;
    close(fd);
    return real;
}

// by-id link -> the device it names, for every link that resolves.
std::map<std::string, std::string> ByIdLinks(const std::string &devDir)
{
    std::map<std::string, std::string> links;
    std::error_code ec;
    for (const auto &entry : fs::directory_iterator(devDir + "/serial/by-id", ec))
        links.emplace(entry.path().string(), RealPath(entry.path().string()));
    return links;
}

std::string ByIdOf(const std::map<std::string, std::string> &links, const std::string &device)
{
    for (const auto &[link, target] : links)
        if (target == device)
            return link;
    return {};
}

} // namespace

bool NaturalLess(const std::string &a, const std::string &b)
{
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        const bool da = std::isdigit(static_cast<unsigned char>(a[i]));
        const bool db = std::isdigit(static_cast<unsigned char>(b[j]));
        if (da && db) {
            size_t ei = i, ej = j;
            while (ei < a.size() && std::isdigit(static_cast<unsigned char>(a[ei])))
                ++ei;
            while (ej < b.size() && std::isdigit(static_cast<unsigned char>(b[ej])))
                ++ej;
            // Without leading zeros, the longer run is the larger number.
            std::string na = a.substr(i, ei - i), nb = b.substr(j, ej - j);
            na.erase(0, std::min(na.find_first_not_of('0'), na.size()));
            nb.erase(0, std::min(nb.find_first_not_of('0'), nb.size()));
            if (na.size() != nb.size())
                return na.size() < nb.size();
            if (na != nb)
                return na < nb;
            i = ei;
            j = ej;
        } else {
            if (a[i] != b[j])
                return a[i] < b[j];
            ++i;
            ++j;
        }
    }
    return a.size() - i < b.size() - j;
}

std::vector<TSerialDevice> ListSerialDevices(const std::string &devDir, const std::string &sysTtyDir)
{
    const auto links = ByIdLinks(devDir);
    std::vector<std::string> devices;
    for (const auto &[link, target] : links)
        if (std::error_code ec; fs::exists(target, ec))
            devices.push_back(target);
    std::error_code ec;
    for (const auto &entry : fs::directory_iterator(devDir, ec)) {
        const std::string name = entry.path().filename().string();
        const std::string path = entry.path().string();
        if (StartsWith(name, "ttyUSB") || StartsWith(name, "ttyACM"))
            devices.push_back(RealPath(path));
        else if (StartsWith(name, "ttyS") && RealSerialPort(path, name, sysTtyDir))
            devices.push_back(RealPath(path));
    }
    std::sort(devices.begin(), devices.end(), NaturalLess);
    devices.erase(std::unique(devices.begin(), devices.end()), devices.end());
    std::vector<TSerialDevice> result;
    for (const auto &device : devices)
        result.push_back({device, ByIdOf(links, device)});
    return result;
}

TSerialDevice DescribeSerialDevice(const std::string &path, const std::string &devDir)
{
    TSerialDevice d{RealPath(path), {}};
    const std::string byIdDir = devDir + "/serial/by-id/";
    if (StartsWith(path, byIdDir.c_str()))
        d.byId = path;
    else
        d.byId = ByIdOf(ByIdLinks(devDir), d.device);
    return d;
}

} // namespace kestrel
