// Faults around the program rather than on the line: another program holds the device, and the
// settings file cannot be read or is damaged.
#include "faultrig.h"

#include "appcore/datamodule.h"
#include "base/format.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

extern char **environ;

using namespace kestrel;
using namespace std::string_literals;
using namespace kestrel::test;

namespace {

std::string ReadWhole(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// A live process of another program, ended and reaped at scope exit.
class TOtherProgram {
public:
    TOtherProgram()
    {
        const char *argv[] = {"sleep", "60", nullptr};
        if (posix_spawnp(&m_pid, "sleep", nullptr, nullptr, const_cast<char **>(argv), environ) != 0)
            m_pid = -1;
    }
    ~TOtherProgram() { End(); }
    TOtherProgram(const TOtherProgram &) = delete;
    TOtherProgram &operator=(const TOtherProgram &) = delete;
    pid_t Pid() const { return m_pid; }
    void End()
    {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
            m_pid = -1;
        }
    }

private:
    pid_t m_pid = -1;
};

TEST(DeviceLockedByAnotherProgram, OpenFailsAndTheLockStays)
{
    TMessagingRig rig(Handset("M20"));
    TOtherProgram other;
    ASSERT_GT(other.Pid(), 0);
    const std::string lockFile = LockFileName(rig.sim.DevicePath());
    const std::string content = Format("%10d\n", static_cast<int>(other.Pid()));
    std::ofstream(lockFile, std::ios::binary) << content;
    struct stat before {};
    ASSERT_EQ(stat(lockFile.c_str(), &before), 0);

    const TOutcome open = Outcome([&] { rig.gsm.Open(); });
    ASSERT_TRUE(open.raised);
    EXPECT_EQ(open.message, "Device \"" + rig.sim.DevicePath() + "\" is locked");
    EXPECT_FALSE(rig.gsm.Active());
    EXPECT_FALSE(rig.comm.Active());
    EXPECT_FALSE(rig.gsm.Busy());
    EXPECT_EQ(ReadWhole(lockFile), content) << "another program's lock is never touched";
    struct stat after {};
    ASSERT_EQ(stat(lockFile.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_TRUE(rig.sim.ReceivedCommands().empty()) << "nothing was written to a device in use";

    // Once the other program is gone its lock is stale: the open takes the device over.
    other.End();
    ASSERT_NO_THROW(rig.gsm.Open());
    EXPECT_EQ(ReadWhole(lockFile), Format("%10d\n", static_cast<int>(getpid())));
    rig.gsm.Close();
    EXPECT_FALSE(std::filesystem::exists(lockFile)) << "our own lock goes with the close";
}

// ---- the settings file

// What the data module's settings are, as the user would check them in the window.
struct TSettings {
    std::string device, equipment, pin, sca, gsmLog, smsLog;
    int format = 0, indications = 0, recTimeout = 0, baud = 0;
    bool operator==(const TSettings &) const = default;
};

std::ostream &operator<<(std::ostream &os, const TSettings &s)
{
    return os << s.device << " " << s.equipment << " pin=" << s.pin << " sca=" << s.sca << " fmt=" << s.format
              << " ind=" << s.indications << " rec=" << s.recTimeout << " baud=" << s.baud << " " << s.gsmLog
              << " " << s.smsLog;
}

TSettings SettingsOf(const TGSMDataModule &dm)
{
    return {dm.Comm1.DeviceName(), GSMEquipmentNames[dm.GSM.Equipment()],
            dm.GSM.PIN(),          dm.GSM.SCA(),
            dm.GSMLogName,         dm.SMSLogName,
            dm.GSM.SMSFormat(),    dm.GSM.UnsolicitedIndication(),
            dm.GSM.RecTimeout(),   static_cast<int>(dm.Comm1.Baudrate())};
}

class SettingsFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = std::filesystem::temp_directory_path() /
              ("kestrel-faults-ini-" + std::to_string(getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
        ini = (dir / "gsm.ini").string();
        logs = dir.string() + "/";
        // The defaults: what a first start without any settings file gives.
        TGSMDataModule fresh((dir / "none.ini").string(), logs);
        defaults = SettingsOf(fresh);
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    std::filesystem::path dir;
    std::string ini, logs;
    TSettings defaults;
};

struct TDamagedCase {
    const char *name;
    std::string content;
    // Settings that are still read; every other one keeps its default.
    std::function<void(TSettings &)> readable;
};

const TDamagedCase kDamagedCases[] = {
    {"GarbageBytes", "\x00\xff\xfe[\x01Modem\x7f]\n\x80\x81=\x82\r\r\n\x00=\x00\n"s, {}},
    {"MissingEquals", "[Modem]\nDevice WaveCom\nPIN\nSCA +4917\nBaud=19200\n",
     [](TSettings &s) { s.baud = static_cast<int>(br19200); }},
    {"HugeLines",
     "[Modem]\n" + std::string(4 << 20, 'x') + "\nPIN=" + std::string(1 << 20, '7') + "\nDevice=TC35\n",
     [](TSettings &s) {
         s.equipment = "TC35";
         s.pin = std::string(1 << 20, '7');
         s.baud = static_cast<int>(br19200); // the equipment's own speed
     }},
    {"BadNumbers",
     "[Modem]\nSMSFormat=abc\nUnsolicitedIndication=99999999999999999999999\nRecTimeout=-5\nBaud=12x\n"
     "[Modem.Files]\nGSMLog=/tmp/g.log\n",
     [](TSettings &s) { s.gsmLog = "/tmp/g.log"; }},
    {"NumbersOutOfRange",
     "[Modem]\nSMSFormat=7\nUnsolicitedIndication=-1\nRecTimeout=99999999999\nBaud=123456\n",
     [](TSettings &s) { s.indications = 0x0F; }},
};

class DamagedSettingsFile : public SettingsFile, public ::testing::WithParamInterface<TDamagedCase> {};

TEST_P(DamagedSettingsFile, StartsWithDefaultsForWhatItCannotRead)
{
    const TDamagedCase &c = GetParam();
    std::ofstream(ini, std::ios::binary) << c.content;
    TSettings expected = defaults;
    if (c.readable)
        c.readable(expected);
    std::unique_ptr<TGSMDataModule> dm;
    ASSERT_NO_THROW(dm = std::make_unique<TGSMDataModule>(ini, logs));
    EXPECT_EQ(SettingsOf(*dm), expected);
    // Leaving writes a settings file that reads back the same.
    dm.reset();
    TGSMDataModule again(ini, logs);
    EXPECT_EQ(SettingsOf(again), expected);
}

// The one setting that stops the start: an equipment the program does not know is refused with
// its own message rather than guessed.
TEST_F(SettingsFile, UnknownEquipmentIsRefusedWithItsMessage)
{
    std::ofstream(ini, std::ios::binary) << "[Modem]\nDevice=Brick 3000\n";
    try {
        TGSMDataModule dm(ini, logs);
        ADD_FAILURE() << "started with an unknown equipment";
    } catch (const EGSMError &e) {
        EXPECT_STREQ(e.what(), "Bad equipment name");
    }
}

INSTANTIATE_TEST_SUITE_P(Faults, DamagedSettingsFile, ::testing::ValuesIn(kDamagedCases),
                         [](const auto &info) { return std::string(info.param.name); });

// Tests run as root, where permission bits do not stop a read: a directory in the settings
// file's place is what cannot be read (nor written) by anyone.
TEST_F(SettingsFile, UnreadableBecauseADirectoryIsInItsPlace)
{
    std::filesystem::create_directories(ini);
    std::unique_ptr<TGSMDataModule> dm;
    ASSERT_NO_THROW(dm = std::make_unique<TGSMDataModule>(ini, logs));
    EXPECT_EQ(SettingsOf(*dm), defaults);

    // A login writes the settings first: it fails with a message naming the file, before the
    // device is touched.
    TModemSimulator sim(Handset("M20"));
    SetLockDirectory(dir.string());
    dm->Comm1.SetDeviceName(sim.DevicePath());
    const TOutcome login = Outcome([&] {
        try {
            dm->GSM.Open();
        } catch (const std::runtime_error &e) {
            if (dynamic_cast<const EConnectError *>(&e))
                throw;
            throw EConnectError(e.what());
        }
    });
    ASSERT_TRUE(login.raised);
    EXPECT_EQ(login.message, "Cannot write the settings file " + ini + ": Is a directory");
    EXPECT_FALSE(dm->GSM.Active());
    EXPECT_TRUE(sim.ReceivedCommands().empty());
    // Leaving the program still works, and the directory is left alone.
    EXPECT_NO_THROW(dm.reset());
    EXPECT_TRUE(std::filesystem::is_directory(ini));
}

} // namespace
