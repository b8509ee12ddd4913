// The serial port on the slave side of a real pseudo-terminal, driven from the master side.
#include "base/format.h"
#include "comm/comm.h"
#include "comm/commevents.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <gtest/gtest.h>

#include <atomic>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

using namespace kestrel;

namespace {

class PtyPair {
public:
    PtyPair()
    {
        char name[256];
        if (openpty(&master, &slave, name, nullptr, nullptr) != 0)
            throw std::runtime_error("openpty failed");
        path = name;
        // The port opens the device by name; our own slave descriptor keeps the pair alive.
    }
    ~PtyPair()
    {
        close(master);
        close(slave);
    }
    void WriteMaster(const std::string &s) const
    {
        ASSERT_EQ(write(master, s.data(), s.size()), (ssize_t)s.size());
    }
    std::string ReadMaster(size_t want, int timeoutMs = 2000) const
    {
        std::string out;
        QElapsedTimer t;
        t.start();
        while (out.size() < want && t.elapsed() < timeoutMs) {
            pollfd p{master, POLLIN, 0};
            if (poll(&p, 1, 50) > 0) {
                char buf[4096];
                ssize_t n = read(master, buf, sizeof buf);
                if (n > 0)
                    out.append(buf, static_cast<size_t>(n));
            }
        }
        return out;
    }
    termios SlaveAttributes() const
    {
        termios t{};
        tcgetattr(slave, &t);
        return t;
    }
    int master = -1, slave = -1;
    std::string path;
};

class CommTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        lockDir = std::filesystem::temp_directory_path() /
                  ("kestrel-lock-" + std::to_string(getpid()) + "-" +
                   ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(lockDir);
        SetLockDirectory(lockDir.string());
        comm.SetDeviceName(pty.path);
        comm.SetDontSynchronize(true);
    }
    void TearDown() override
    {
        comm.Close();
        std::filesystem::remove_all(lockDir);
    }
    std::string LockPath() const { return LockFileName(pty.path); }
    std::string LockContent() const
    {
        std::ifstream in(LockPath(), std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }
    void WriteLock(const std::string &content) const
    {
        std::filesystem::create_directories(lockDir);
        std::ofstream(LockPath(), std::ios::binary) << content;
    }

    std::filesystem::path lockDir;
    PtyPair pty;
    TComm comm;
};

// Waits (processing main-thread events) until pred holds or the limit passes.
template <typename Pred>
bool WaitUntil(Pred pred, int timeoutMs = 3000)
{
    QElapsedTimer t;
    t.start();
    while (!pred()) {
        if (t.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

TEST_F(CommTest, OpenWritesTheLockFileAndCloseRemovesIt)
{
    std::vector<std::string> trace;
    comm.BeforeOpen = [&](TConnection *) { trace.push_back("BeforeOpen"); };
    comm.AfterOpen = [&](TConnection *) { trace.push_back("AfterOpen"); };
    comm.BeforeClose = [&](TConnection *) { trace.push_back("BeforeClose"); };
    comm.AfterClose = [&](TConnection *) { trace.push_back("AfterClose"); };
    comm.Open();
    EXPECT_GE(comm.Handle(), 0);
    EXPECT_EQ(LockContent(), Format("%10d\n", static_cast<int>(getpid())));
    EXPECT_EQ(LockContent().size(), 11u);
    EXPECT_EQ(std::filesystem::status(LockPath()).permissions() & std::filesystem::perms::all,
              std::filesystem::perms(0666));
    comm.Close();
    EXPECT_FALSE(std::filesystem::exists(LockPath()));
    EXPECT_EQ(comm.Handle(), -1);
    EXPECT_EQ(trace, (std::vector<std::string>{"BeforeOpen", "AfterOpen", "BeforeClose", "AfterClose"}));
}

TEST_F(CommTest, LiveLockRefusesTheOpenAndStaysUntouched)
{
    // The parent process is alive for the whole test.
    const std::string content = Format("%10d\n", static_cast<int>(getppid()));
    WriteLock(content);
    try {
        comm.Open();
        FAIL() << "opened a locked device";
    } catch (const EComError &e) {
        EXPECT_EQ(std::string(e.what()), Format("Device \"%s\" is locked", pty.path.c_str()));
    }
    EXPECT_FALSE(comm.Active());
    EXPECT_EQ(LockContent(), content);
    comm.Close();
    EXPECT_EQ(LockContent(), content);
}

TEST_F(CommTest, StaleOrUnparsableLocksAreReplaced)
{
    const std::string stale[] = {"  99999999\n", "garbage\n", "", "         0\n", "-1\n"};
    for (const auto &content : stale) {
        SCOPED_TRACE(content);
        WriteLock(content);
        comm.Open();
        EXPECT_EQ(LockContent(), Format("%10d\n", static_cast<int>(getpid())));
        comm.Close();
        EXPECT_FALSE(std::filesystem::exists(LockPath()));
    }
}

TEST_F(CommTest, PlantedSymbolicLinkIsNotWrittenThrough)
{
    std::filesystem::create_directories(lockDir);
    const auto victim = lockDir / "victim";
    std::ofstream(victim) << "precious";
    std::filesystem::create_symlink(victim, LockPath());
    comm.Open();
    comm.Close();
    std::ifstream in(victim);
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(content, "precious");
}

TEST_F(CommTest, FailingOpenLeavesNoLockAndReportsTheSystemError)
{
    comm.SetDeviceName(lockDir.string() + "/no-such-tty");
    try {
        comm.Open();
        FAIL();
    } catch (const EComError &e) {
        EXPECT_EQ(std::string(e.what()), Format("Error %d  in function: CreateFile", ENOENT));
    }
    EXPECT_FALSE(comm.Active());
    EXPECT_FALSE(std::filesystem::exists(LockFileName(comm.DeviceName())));
}

// One device, one lock: a link to the device (as /dev/serial/by-id has them) and the device itself
// take the same lock, named after the device; links of the same name to two devices do not.
TEST_F(CommTest, LinksShareTheLockOfTheDeviceTheyNameAndOnlyThat)
{
    PtyPair other;
    const auto links = lockDir / "links";
    std::filesystem::create_directories(links / "a");
    std::filesystem::create_directories(links / "b");
    std::filesystem::create_symlink(pty.path, links / "a" / "modem");
    std::filesystem::create_symlink(other.path, links / "b" / "modem");
    std::filesystem::create_symlink(links / "a" / "modem", links / "chain");
    const std::string base = pty.path.substr(pty.path.rfind('/') + 1);
    EXPECT_EQ(LockFileName((links / "a" / "modem").string()), lockDir.string() + "/LCK.." + base);
    EXPECT_EQ(LockFileName((links / "chain").string()), LockPath());
    EXPECT_NE(LockFileName((links / "b" / "modem").string()), LockPath());
    // A name that does not resolve keeps its own.
    EXPECT_EQ(LockFileName("/nonexistent/ttyUSB7"), lockDir.string() + "/LCK..ttyUSB7");

    const struct {
        std::string first, second;
        bool sameDevice;
    } cases[] = {
        {(links / "a" / "modem").string(), pty.path, true},
        {pty.path, (links / "chain").string(), true},
        {(links / "a" / "modem").string(), (links / "b" / "modem").string(), false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.first + " then " + c.second);
        TComm first, second;
        first.SetDeviceName(c.first);
        second.SetDeviceName(c.second);
        first.Open();
        if (c.sameDevice) {
            try {
                second.Open();
                ADD_FAILURE() << "the same device opened twice";
            } catch (const EComError &e) {
                EXPECT_EQ(std::string(e.what()), Format("Device \"%s\" is locked", c.second.c_str()));
            }
        } else {
            EXPECT_NO_THROW(second.Open());
        }
        second.Close();
        first.Close();
        EXPECT_FALSE(std::filesystem::exists(LockPath()));
    }
}

TEST_F(CommTest, LockTakenThroughALinkGoesEvenWhenTheLinkVanishedMeanwhile)
{
    const auto link = lockDir / "by-id-port0";
    std::filesystem::create_directories(lockDir);
    std::filesystem::create_symlink(pty.path, link);
    comm.SetDeviceName(link.string());
    comm.Open();
    EXPECT_TRUE(std::filesystem::exists(LockPath()));
    EXPECT_EQ(LockOwner(LockPath()), static_cast<long>(getpid()));
    std::filesystem::remove(link); // the modem unplugged: udev takes the link away
    comm.Close();
    EXPECT_FALSE(std::filesystem::exists(LockPath()));
    EXPECT_EQ(LockOwner(LockPath()), 0);
}

struct SettingCase {
    const char *name;
    std::function<void(TComm &)> set;
    std::function<void(const termios &)> check;
};

TEST_F(CommTest, LineSettingsReachTheDevice)
{
    const SettingCase cases[] = {
        {"defaults 9600 8N1", [](TComm &) {},
         [](const termios &t) {
             EXPECT_EQ(cfgetospeed(&t), B9600);
             EXPECT_EQ(cfgetispeed(&t), B9600);
             EXPECT_EQ(t.c_cflag & CSIZE, (tcflag_t)CS8);
             EXPECT_FALSE(t.c_cflag & PARENB);
             EXPECT_FALSE(t.c_cflag & CSTOPB);
             EXPECT_TRUE(t.c_cflag & CREAD);
             EXPECT_TRUE(t.c_cflag & CLOCAL);
             EXPECT_TRUE(t.c_cflag & HUPCL);
             EXPECT_TRUE(t.c_iflag & IGNBRK);
             EXPECT_TRUE(t.c_iflag & PARMRK); // evError is monitored by default
             EXPECT_FALSE(t.c_iflag & IGNPAR);
             EXPECT_FALSE(t.c_lflag & ICANON);
             EXPECT_EQ(t.c_cc[VMIN], 0);
             EXPECT_EQ(t.c_cc[VTIME], 0);
             EXPECT_EQ(t.c_cc[VSTART], 17);
             EXPECT_EQ(t.c_cc[VSTOP], 19);
         }},
        {"256000 means 230400", [](TComm &c) { c.SetBaudrate(br256000); },
         [](const termios &t) { EXPECT_EQ(cfgetospeed(&t), B230400); }},
        // The pseudo-terminal driver forces 8 data bits and clears PARENB, so data bits and parity
        // show here only through PARODD and the input flags.
        {"115200 7E2",
         [](TComm &c) {
             c.SetBaudrate(br115200);
             c.SetDatabits(da7);
             c.SetParity(paEven);
             c.SetStopbits(sb20);
         },
         [](const termios &t) {
             EXPECT_EQ(cfgetospeed(&t), B115200);
             EXPECT_FALSE(t.c_cflag & PARODD);
             EXPECT_TRUE(t.c_cflag & CSTOPB);
             EXPECT_TRUE(t.c_iflag & INPCK);
         }},
        {"odd parity, 5 bits",
         [](TComm &c) {
             c.SetParity(paOdd);
             c.SetDatabits(da5);
         },
         [](const termios &t) {
             EXPECT_TRUE(t.c_cflag & PARODD);
             EXPECT_TRUE(t.c_iflag & INPCK);
         }},
        {"software flow", [](TComm &c) { c.SetFlowControl(fcSoftware); },
         [](const termios &t) {
             EXPECT_TRUE(t.c_iflag & IXON);
             EXPECT_TRUE(t.c_iflag & IXOFF);
             EXPECT_TRUE(t.c_iflag & IXANY);
             EXPECT_FALSE(t.c_cflag & CRTSCTS);
         }},
        {"hardware flow", [](TComm &c) { c.SetFlowControl(fcCTS); },
         [](const termios &t) {
             EXPECT_TRUE(t.c_cflag & CRTSCTS);
             EXPECT_FALSE(t.c_iflag & IXON);
         }},
        {"errors not monitored", [](TComm &c) { c.SetMonitorEvents(kAllCommEvents & ~Bit(evError)); },
         [](const termios &t) {
             EXPECT_TRUE(t.c_iflag & IGNPAR);
             EXPECT_FALSE(t.c_iflag & PARMRK);
         }},
        {"control characters",
         [](TComm &c) {
             c.SetCommChar(1, 0x11);
             c.SetCommChar(2, 0x13);
             c.SetCommChar(4, 4);
             c.SetCommChar(5, 3);
         },
         [](const termios &t) {
             EXPECT_EQ(t.c_cc[VEOF], 4);
             EXPECT_EQ(t.c_cc[VINTR], 3);
         }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        TComm port;
        port.SetDeviceName(pty.path);
        c.set(port);
        port.Open();
        c.check(pty.SlaveAttributes());
        port.Close();
    }
}

TEST_F(CommTest, UnsupportedSettingsAreRefusedWithTheirTexts)
{
    const std::pair<std::function<void(TComm &)>, const char *> cases[] = {
        {[](TComm &c) { c.SetDatabits(da4); }, "Databits settings not supported"},
        {[](TComm &c) { c.SetStopbits(sb15); }, "Stopbits settings not supported"},
        {[](TComm &c) { c.SetFlowControl(fcDTR); }, "Flow control settings not supported"},
        {[](TComm &c) { c.SetBaudrate(br14400); }, "Baudrate settings not supported"},
        {[](TComm &c) { c.SetBaudrate(br56000); }, "Baudrate settings not supported"},
        {[](TComm &c) { c.SetBaudrate(br128000); }, "Baudrate settings not supported"},
        {[](TComm &c) { c.SetParity(paMark); }, "Parity settings not supported"},
        {[](TComm &c) { c.SetParity(paSpace); }, "Parity settings not supported"},
    };
    for (const auto &[set, text] : cases) {
        SCOPED_TRACE(text);
        TComm port;
        port.SetDeviceName(pty.path);
        set(port);
        try {
            port.Open();
            ADD_FAILURE() << "opened";
        } catch (const EComError &e) {
            EXPECT_STREQ(e.what(), text);
        }
        EXPECT_FALSE(port.Active());
        EXPECT_FALSE(std::filesystem::exists(LockPath())); // undone completely
    }
}

TEST_F(CommTest, SettingsChangeWhileOpenOrAreRefused)
{
    comm.Open();
    comm.SetBaudrate(br19200);
    EXPECT_EQ(cfgetospeed(&static_cast<const termios &>(pty.SlaveAttributes())), B19200);
    // A refused speed keeps the port open with its previous line settings.
    EXPECT_THROW(comm.SetBaudrate(br14400), EComError);
    EXPECT_TRUE(comm.Active());
    EXPECT_EQ(comm.Baudrate(), br14400);
    termios t = pty.SlaveAttributes();
    EXPECT_EQ(cfgetospeed(&t), B19200);
    for (auto set : std::vector<std::function<void()>>{
             [&] { comm.SetDeviceName("/dev/null"); }, [&] { comm.SetReadBufSize(1); },
             [&] { comm.SetWriteBufSize(1); }, [&] { comm.SetMonitorEvents(0); }}) {
        try {
            set();
            ADD_FAILURE();
        } catch (const EConnectError &e) {
            EXPECT_STREQ(e.what(), "Connection is active");
        }
    }
}

TEST_F(CommTest, QueueCountsAndPurges)
{
    EXPECT_EQ(comm.InQueueCount(), -1);
    EXPECT_EQ(comm.OutQueueCount(), -1);
    comm.PurgeInput(); // nothing happens while closed
    comm.Open();
    pty.WriteMaster("hello");
    EXPECT_TRUE(WaitUntil([&] { return comm.InQueueCount() == 5; }));
    comm.PurgeInput();
    EXPECT_EQ(comm.InQueueCount(), 0);
}

TEST_F(CommTest, ReadAndWriteMoveBytesWithLogChannels)
{
    comm.Open();
    std::vector<std::pair<int, std::string>> log;
    comm.OnFormatLog = [&](TObject *, uint8_t ch, std::string &text) { log.emplace_back(ch, text); };
    EXPECT_EQ(comm.WriteString("AT\r"), 3);
    EXPECT_EQ(pty.ReadMaster(3), "AT\r");
    pty.WriteMaster("OK\r\n");
    ASSERT_TRUE(WaitUntil([&] { return comm.InQueueCount() == 4; }));
    EXPECT_EQ(comm.ReadString(4), "OK\r\n");
    EXPECT_EQ(log, (std::vector<std::pair<int, std::string>>{{1, "AT\r"}, {2, "OK\r\n"}}));
}

TEST_F(CommTest, ReadingMoreThanWaitingReturnsWhatWasThere)
{
    comm.Open();
    pty.WriteMaster("abc");
    ASSERT_TRUE(WaitUntil([&] { return comm.InQueueCount() == 3; }));
    EXPECT_EQ(comm.ReadString(10), "abc"); // the waiting bytes are not lost to a failure
    EXPECT_EQ(comm.InQueueCount(), 0);
    EXPECT_EQ(comm.ReadString(10), "");
}

TEST_F(CommTest, WriteWithoutTimeoutMakesOneAttempt)
{
    comm.SetWriteTimeout(0);
    comm.Open();
    EXPECT_EQ(comm.Write("x", 1), 1);
    EXPECT_EQ(pty.ReadMaster(1), "x");
}

TEST_F(CommTest, LargeWriteWaitsForTheDriverInsteadOfFailing)
{
    comm.Open();
    std::string big(200000, 'z');
    std::string received;
    std::thread reader([&] { received = pty.ReadMaster(big.size(), 10000); });
    int n = comm.Write(big.data(), static_cast<int>(big.size()));
    reader.join();
    EXPECT_GT(n, 0);
    EXPECT_EQ(received.size(), big.size());
}

TEST_F(CommTest, RxCharReportsWaitingBytesOnTheWatcherThread)
{
    std::atomic<int> total = 0;
    std::atomic<bool> onMain = true;
    std::string got;
    std::mutex m;
    comm.OnRxChar = [&](TObject *sender, int count) {
        EXPECT_EQ(sender, &comm);
        onMain = IsMainThread();
        std::string s = comm.ReadString(count);
        std::lock_guard l(m);
        got += s;
        total += count;
    };
    comm.Open();
    pty.WriteMaster("+CMTI: \"SM\",3\r\n");
    ASSERT_TRUE(WaitUntil([&] { return total == 15; }));
    EXPECT_FALSE(onMain);
    std::lock_guard l(m);
    EXPECT_EQ(got, "+CMTI: \"SM\",3\r\n");
}

TEST_F(CommTest, EventsReachTheMainThreadWithoutDontSynchronize)
{
    comm.SetDontSynchronize(false);
    std::atomic<bool> onMain = false;
    std::atomic<int> total = 0;
    comm.OnRxChar = [&](TObject *, int count) {
        onMain = IsMainThread();
        comm.ReadString(count);
        total += count;
    };
    comm.Open();
    pty.WriteMaster("RING\r\n");
    ASSERT_TRUE(WaitUntil([&] { return total == 6; }));
    EXPECT_TRUE(onMain);
}

TEST_F(CommTest, UnconsumedBytesAreReportedAgainAndStayQueued)
{
    std::atomic<int> reports = 0;
    comm.OnRxChar = [&](TObject *, int count) {
        EXPECT_EQ(count, 2);
        ++reports;
    };
    comm.Open();
    pty.WriteMaster("OK");
    ASSERT_TRUE(WaitUntil([&] { return reports >= 3; }));
    EXPECT_EQ(comm.InQueueCount(), 2);
}

TEST_F(CommTest, BytesLeftAfterAPartialReadAreReportedAgainAtOnce)
{
    // A handler taking one byte per report still sees every byte, in order, without waiting for
    // the slow repeat of untouched bytes (400 repeats of 20 ms would take 8 s).
    const std::string sent = std::string(200, 'a') + std::string(200, 'b');
    std::string got;
    std::mutex m;
    comm.OnRxChar = [&](TObject *, int count) {
        EXPECT_GT(count, 0);
        std::string s = comm.ReadString(1);
        std::lock_guard l(m);
        got += s;
    };
    comm.Open();
    pty.WriteMaster(sent);
    QElapsedTimer t;
    t.start();
    ASSERT_TRUE(WaitUntil(
        [&] {
            std::lock_guard l(m);
            return got.size() == sent.size();
        },
        5000));
    EXPECT_LT(t.elapsed(), 5000);
    std::lock_guard l(m);
    EXPECT_EQ(got, sent);
    EXPECT_EQ(comm.InQueueCount(), 0);
}

TEST_F(CommTest, ReceivedBytesArriveUnchangedWhateverTheErrorMarking)
{
    // Monitoring line errors makes the driver mark them (PARMRK) and pass every received 0xFF
    // doubled; the handler must still see the handset's bytes exactly.
    const std::string sent = std::string("AT\xff\r\n\xff\xff\x00Z\xff", 10);
    for (const TCommEventTypes events :
         {kAllCommEvents, static_cast<TCommEventTypes>(kAllCommEvents & ~Bit(evError))}) {
        SCOPED_TRACE(events);
        std::string got;
        std::mutex m;
        comm.SetMonitorEvents(events);
        comm.OnRxChar = [&](TObject *, int count) {
            std::string s = comm.ReadString(count);
            std::lock_guard l(m);
            got += s;
        };
        comm.Open();
        pty.WriteMaster(sent);
        WaitUntil([&] {
            std::lock_guard l(m);
            return got.size() >= sent.size();
        });
        pty.WriteMaster("!"); // anything past the data comes after it, not in place of it
        EXPECT_TRUE(WaitUntil([&] {
            std::lock_guard l(m);
            return got.size() > sent.size();
        }));
        comm.Close();
        std::lock_guard l(m);
        EXPECT_EQ(got, sent + "!");
    }
}

TEST_F(CommTest, TxEmptyOncePerWrite)
{
    std::atomic<int> empties = 0;
    comm.OnTxEmpty = [&](TObject *) { ++empties; };
    comm.Open();
    comm.WriteString("AT\r");
    pty.ReadMaster(3);
    ASSERT_TRUE(WaitUntil([&] { return empties == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(empties, 1);
    comm.WriteString("ATE0\r");
    pty.ReadMaster(5);
    ASSERT_TRUE(WaitUntil([&] { return empties == 2; }));
}

TEST_F(CommTest, HangUpIsReportedOnceAsAnError)
{
    std::atomic<int> errors = 0;
    std::atomic<int> flags = 0;
    comm.OnError = [&](TObject *, int e) {
        ++errors;
        flags = e;
    };
    comm.Open();
    close(pty.master);
    close(pty.slave);
    pty.master = pty.slave = -1;
    ASSERT_TRUE(WaitUntil([&] { return errors >= 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(errors, 1);
    EXPECT_TRUE(flags & kCommErrorHangup);
    EXPECT_TRUE(comm.HungUp());
    char c;
    try {
        comm.Read(&c, 1);
        ADD_FAILURE() << "read from a vanished device";
    } catch (const EComError &e) {
        EXPECT_EQ(std::string(e.what()), Format("Error %d  in function: FileRead", EIO));
    }
    comm.Close();
}

TEST_F(CommTest, CloseEndsTheWatcherEvenWhileItWaitsForTheMainThread)
{
    comm.SetDontSynchronize(false);
    std::atomic<int> calls = 0;
    comm.OnRxChar = [&](TObject *, int) { ++calls; };
    comm.Open();
    pty.WriteMaster("x");
    std::this_thread::sleep_for(std::chrono::milliseconds(50)); // watcher now blocks on the main thread
    comm.Close();                                               // must not deadlock
    EXPECT_FALSE(comm.Active());
}

TEST(CommHelpers, BaudrateTableAndTicks)
{
    TBaudrate b = br110;
    EXPECT_TRUE(IntToBaudrate(115200, b));
    EXPECT_EQ(b, br115200);
    EXPECT_TRUE(IntToBaudrate(256000, b));
    EXPECT_EQ(b, br256000);
    EXPECT_FALSE(IntToBaudrate(230400, b));
    EXPECT_EQ(b, br256000); // untouched on a miss
    EXPECT_FALSE(IntToBaudrate(0, b));
    int64_t t0 = GetTickMs();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_GE(GetTickMs() - t0, 19);
}

TEST(CommHelpers, WaitForEventResults)
{
    TEvent manual(true);
    EXPECT_EQ(WaitForEvent(manual, 0), TWaitResult::wrError);
    EXPECT_EQ(WaitForEvent(manual, 20), TWaitResult::wrTimeout);
    manual.SetEvent();
    EXPECT_EQ(WaitForEvent(manual, 20), TWaitResult::wrSignaled);
    EXPECT_TRUE(manual.IsSet());
    TEvent autoEvent(false);
    autoEvent.SetEvent();
    EXPECT_EQ(WaitForEvent(autoEvent, 20), TWaitResult::wrSignaled);
    EXPECT_TRUE(autoEvent.IsSet()); // reported without being consumed
    TEvent later(true);
    std::thread t([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        later.SetEvent();
    });
    EXPECT_EQ(WaitForEvent(later, kInfinite), TWaitResult::wrSignaled);
    t.join();
}

TEST(CommHelpers, ExitHandlerStopsWatchersOfPortsStillOpen)
{
    PtyPair pty;
    SetLockDirectory(std::filesystem::temp_directory_path().string());
    TComm port;
    port.SetDeviceName(pty.path);
    port.Open();
    TerminateAllCommThreads();
    port.Close(); // the already stopped watcher is freed without waiting again
    EXPECT_FALSE(port.Active());
}

} // namespace
