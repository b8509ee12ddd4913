// Finding modems over real pseudo-terminals: the simulated handsets of every profile and devices
// that are no modem (silent, answering garbage, echoing everything, locked by a live process),
// and the list of the machine's serial devices built from a folder tree of our own.
#include "detect/modemdetect.h"

#include "base/format.h"
#include "comm/comm.h"
#include "modemsim/modemprofiles.h"
#include "modemsim/modemsimulator.h"
#include "modemsim/nonmodemdevice.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <set>
#include <termios.h>
#include <unistd.h>

using namespace kestrel;
namespace fs = std::filesystem;

namespace {

class DetectTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = fs::temp_directory_path() / ("kestrel-detect-" + std::to_string(getpid()) + "-" +
                                           ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
        SetLockDirectory(dir.string());
    }
    void TearDown() override { fs::remove_all(dir); }

    std::string ReadLock(const std::string &device) const
    {
        std::ifstream in(LockFileName(device));
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }

    fs::path dir;
};

// The line settings of a device, as another program would find them.
struct TSettings {
    termios t{};
    explicit TSettings(const std::string &device)
    {
        const int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd >= 0) {
            tcgetattr(fd, &t);
            close(fd);
        }
    }
    bool operator==(const TSettings &o) const
    {
        return t.c_iflag == o.t.c_iflag && t.c_oflag == o.t.c_oflag && t.c_cflag == o.t.c_cflag &&
               t.c_lflag == o.t.c_lflag && cfgetispeed(&t) == cfgetispeed(&o.t) &&
               cfgetospeed(&t) == cfgetospeed(&o.t) && std::equal(t.c_cc, t.c_cc + NCCS, o.t.c_cc);
    }
};

const std::set<std::string> kHarmless = {"AT",        "ATE0",      "ATI",      "AT+CGMI",   "AT+CGMM",
                                         "AT+CGMR",   "AT+CGSN",   "AT+CPIN?", "AT+CMGF=?", "AT+CPMS=?",
                                         "AT+CNMI=?", "AT+CSCS=?", "AT+COPS?"};

TEST_F(DetectTest, EveryProfileIsFoundAndNamedWithoutChangingAnything)
{
    std::vector<std::unique_ptr<TModemSimulator>> sims;
    std::vector<TSerialDevice> devices;
    std::vector<TSettings> before;
    for (const TModemProfile &p : ModemProfiles()) {
        TModemSimulatorOptions o;
        o.equipment = p.name;
        if (std::string(p.name) == "M20")
            o.pin = "1234"; // a SIM that waits for its PIN is found all the same
        sims.push_back(std::make_unique<TModemSimulator>(o));
        devices.push_back({sims.back()->DevicePath(), {}});
        before.emplace_back(devices.back().device);
    }
    const auto results = DetectModems(devices);
    ASSERT_EQ(results.size(), sims.size());
    for (size_t i = 0; i < results.size(); ++i) {
        const TModemProfile &p = ModemProfiles()[i];
        const TDetectResult &r = results[i];
        SCOPED_TRACE(p.name);
        ASSERT_TRUE(r.IsModem()) << r.error;
        ASSERT_TRUE(r.equipment.has_value());
        EXPECT_EQ(*r.equipment, StrToEquipment(p.name));
        EXPECT_EQ(r.device, devices[i].device);
        EXPECT_EQ(r.baud, 115200);
        EXPECT_EQ(r.manufacturer, p.manufacturer);
        EXPECT_EQ(r.model, p.model);
        EXPECT_EQ(r.revision, p.revision.back());
        EXPECT_EQ(r.imei, p.serial);
        EXPECT_EQ(r.pin, std::string(p.name) == "M20" ? "SIM PIN" : "READY");
        std::vector<std::string> formats;
        if (p.pduMode)
            formats.push_back("pdu");
        if (p.textMode)
            formats.push_back("text");
        EXPECT_EQ(r.formats, formats);
        if (std::string(p.name) != "M20") { // the storages want the PIN first
            std::vector<std::string> storages = {"SM", "ME"};
            if (p.combinedMT || p.mtStorage)
                storages.push_back("MT");
            if (p.srStorage)
                storages.push_back("SR");
            EXPECT_EQ(r.storages, storages);
        }
        EXPECT_EQ(r.indications, p.cnmiRanges);
        // The network as the modem has it set (long names), the technology where it gives one;
        // the M20 waits for its PIN and names none.
        const bool pinWanted = std::string(p.name) == "M20";
        EXPECT_EQ(r.operatorName, pinWanted ? "" : "Kestrel Net");
        EXPECT_EQ(r.operatorCode, "");
        EXPECT_EQ(r.technology, p.cereg && !pinWanted ? "LTE" : "");
        for (const std::string &command : sims[i]->ReceivedCommands())
            EXPECT_TRUE(kHarmless.count(command)) << command;
        EXPECT_EQ(sims[i]->ReceivedCommands().front(), "AT");
        EXPECT_FALSE(fs::exists(LockFileName(r.device)));
        EXPECT_TRUE(TSettings(r.device) == before[i]);
    }
}

TEST_F(DetectTest, DevicesThatAreNoModemAreReportedAndLeftAlone)
{
    TModemSimulatorOptions o;
    o.equipment = "Generic";
    TModemSimulator locked(o), silent(o), staleLocked(o);
    silent.SetSilent(true);
    TNonModemDevice echo(TNonModemDevice::Echo), garbage(TNonModemDevice::Garbage);
    // The parent process is alive for the whole test; the stale lock names no process.
    const std::string live = Format("%10d\n", static_cast<int>(getppid()));
    std::ofstream(LockFileName(locked.DevicePath())) << live;
    std::ofstream(LockFileName(staleLocked.DevicePath())) << "  99999999\n";
    const TSettings echoBefore(echo.DevicePath());

    const struct {
        std::string device;
        std::string error; // empty: a modem
    } cases[] = {
        {locked.DevicePath(), Format("Device \"%s\" is locked", locked.DevicePath().c_str())},
        {silent.DevicePath(), "no answer to AT at 115200, 57600, 19200 or 9600 baud"},
        {echo.DevicePath(), "echoes what it is sent and answers nothing: no modem"},
        {garbage.DevicePath(), "answers AT with no result code at any speed: no modem"},
        {staleLocked.DevicePath(), ""},
        {"/dev/null", "not a serial device"},
        {(dir / "ttyUSB9").string(), "cannot open the device: No such file or directory"},
    };
    std::vector<TSerialDevice> devices;
    for (const auto &c : cases)
        devices.push_back({c.device, {}});
    const auto results = DetectModems(devices);
    ASSERT_EQ(results.size(), std::size(cases));
    for (size_t i = 0; i < results.size(); ++i) {
        SCOPED_TRACE(cases[i].device);
        EXPECT_EQ(results[i].error, cases[i].error);
        EXPECT_EQ(results[i].IsModem(), cases[i].error.empty());
    }
    EXPECT_EQ(results[0].lockedBy, static_cast<long>(getppid()));
    EXPECT_EQ(results[1].lockedBy, 0);
    EXPECT_EQ(results[4].equipment, eqGeneric);
    // Locked: not a byte sent, the lock as it was. The others: our locks gone.
    EXPECT_TRUE(locked.Transcript().empty());
    EXPECT_EQ(ReadLock(locked.DevicePath()), live);
    for (const std::string &device :
         {silent.DevicePath(), echo.DevicePath(), garbage.DevicePath(), staleLocked.DevicePath()})
        EXPECT_FALSE(fs::exists(LockFileName(device))) << device;
    // The silent one was asked at every speed and nothing else.
    EXPECT_EQ(silent.ReceivedCommands(), std::vector<std::string>(4, "AT"));
    EXPECT_TRUE(TSettings(echo.DevicePath()) == echoBefore);
}

TEST_F(DetectTest, SerialDevicesOfTheMachine)
{
    const fs::path dev = dir / "dev", sys = dir / "sys";
    fs::create_directories(dev / "serial" / "by-id");
    for (const char *name : {"ttyUSB0", "ttyUSB10", "ttyUSB2", "ttyACM0", "ttyS0", "ttyS1", "tty0", "null"})
        std::ofstream(dev / name) << "";
    // The by-id names of a USB modem's ports, and one left behind by a modem unplugged.
    fs::create_symlink("../../ttyUSB2", dev / "serial" / "by-id" / "usb-Kestrel_KW-L400-if02-port0");
    fs::create_symlink("../../ttyUSB7", dev / "serial" / "by-id" / "usb-Gone-if00-port0");
    // ttyS0 has a UART behind it, ttyS1 none (type 0).
    fs::create_directories(sys / "ttyS0");
    fs::create_directories(sys / "ttyS1");
    std::ofstream(sys / "ttyS0" / "type") << "4\n";
    std::ofstream(sys / "ttyS1" / "type") << "0\n";

    const auto devices = ListSerialDevices(dev.string(), sys.string());
    const auto real = [&](const char *name) { return fs::canonical(dev / name).string(); };
    const std::string byId = (dev / "serial" / "by-id" / "usb-Kestrel_KW-L400-if02-port0").string();
    const std::vector<std::pair<std::string, std::string>> expected = {
        {real("ttyACM0"), ""},   {real("ttyS0"), ""},    {real("ttyUSB0"), ""},
        {real("ttyUSB2"), byId}, {real("ttyUSB10"), ""},
    };
    ASSERT_EQ(devices.size(), expected.size());
    for (size_t i = 0; i < devices.size(); ++i) {
        EXPECT_EQ(devices[i].device, expected[i].first);
        EXPECT_EQ(devices[i].byId, expected[i].second) << devices[i].device;
    }
    // Named by the user either way, the device is the same one.
    for (const std::string &given : {byId, (dev / "ttyUSB2").string()}) {
        const TSerialDevice d = DescribeSerialDevice(given, dev.string());
        EXPECT_EQ(d.device, real("ttyUSB2"));
        EXPECT_EQ(d.byId, byId);
    }
    EXPECT_EQ(DescribeSerialDevice("/nonexistent/ttyUSB3", dev.string()).device, "/nonexistent/ttyUSB3");
}

TEST(Detect, NaturalOrder)
{
    const struct {
        const char *a, *b;
        bool less;
    } cases[] = {
        {"ttyUSB2", "ttyUSB10", true}, {"ttyUSB10", "ttyUSB2", false}, {"ttyACM0", "ttyS0", true},
        {"ttyS1", "ttyUSB0", true},    {"ttyUSB02", "ttyUSB2", false}, {"ttyUSB2", "ttyUSB02", false},
        {"ttyUSB", "ttyUSB0", true},   {"ttyUSB0", "ttyUSB0", false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(NaturalLess(c.a, c.b), c.less) << c.a << " < " << c.b;
}

TEST(Detect, SuggestionByMakerAndModel)
{
    const std::vector<std::string> pdu = {"pdu"};
    const struct {
        const char *maker, *model;
        std::vector<std::string> formats;
        std::optional<TGSMEquipment> suggested;
    } cases[] = {
        {"SIEMENS", "TC35i", pdu, eqTC35},
        {"SIEMENS", "M20T", pdu, eqM20},
        {"SIEMENS", "MC35i", pdu, eqGeneric}, // not a model of the list: the plain type
        {"ERICSSON", "GM12 GSM Module", pdu, eqGM12},
        {"Nokia Mobile Phones", "Nokia 6210", pdu, eqNokia6210},
        {"Nokia", "Nokia 9110", {"text"}, eqNokia9110},
        {"Motorola", "T260", pdu, eqT260},
        {"WAVECOM MODEM", "MULTIBAND  900E  1800", pdu, eqFasttrack},
        {"WAVECOM MODEM", "900P", pdu, eqWaveCom},
        {"Kestrel Wireless", "KW-L400", {"pdu", "text"}, eqGeneric},
        {"Some Maker", "LTE module", {"text"}, eqGeneric},
        {"Some Maker", "GPS receiver", {}, std::nullopt}, // answers AT, no short messages
        {"", "", {}, std::nullopt},
    };
    for (const auto &c : cases)
        EXPECT_EQ(SuggestEquipment(c.maker, c.model, c.formats), c.suggested) << c.maker << " / " << c.model;
}

} // namespace
