// A device that never stops talking: the port a user picks by mistake (the navigation port that
// a module exposes beside its AT port, sending sentences several times a second), or a port at the
// wrong speed (bytes without line ends, or noise with a stray line end now and then). Whatever
// arrives, every command attempt ends, its error says that the device sends data that is no
// answer, and what the engine holds of the stream stays bounded.
#include "faultrig.h"

#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <atomic>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <pty.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

using namespace kestrel;
using namespace kestrel::test;

namespace {

const std::string kSentence = "$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47\r\n";

// Bytes of a line at the wrong speed: every value, line ends among them.
std::string Noise()
{
    std::string s;
    uint32_t x = 12345;
    for (int i = 0; i < 256; ++i) {
        x = x * 1103515245u + 12345u;
        s += static_cast<char>(x >> 24);
    }
    return s;
}

const std::string kNoAnswer = " (the device sends data that is no answer: wrong port or line speed?)";

struct TStreamCase {
    const char *name;
    std::string unit; // written again and again
    int gapMs;
};

const TStreamCase kStreams[] = {
    {"Sentences", kSentence, 10},
    {"BytesWithoutLineEnds", std::string(512, '~'), 2},
    {"NoiseOfAWrongSpeed", Noise(), 5},
};

// The far end of a real pseudo-terminal that writes its unit every gapMs and answers nothing.
// It gives up after maxMs, so that an engine that waited for it for ever would come back (late)
// and fail the test instead of hanging it.
class TStreamingDevice {
public:
    TStreamingDevice(const std::string &unit, int gapMs, int maxMs = 20000)
    {
        if (openpty(&m_master, &m_slave, nullptr, nullptr, nullptr) != 0)
            throw std::runtime_error("no pseudo-terminal");
        termios t{};
        tcgetattr(m_slave, &t);
        cfmakeraw(&t);
        tcsetattr(m_slave, TCSANOW, &t);
        fcntl(m_master, F_SETFL, fcntl(m_master, F_GETFL) | O_NONBLOCK);
        m_path = ttyname(m_slave);
        m_thread = std::thread([this, unit, gapMs, maxMs] {
            const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(maxMs);
            char sink[4096];
            while (!m_stop && std::chrono::steady_clock::now() < end) {
                [[maybe_unused]] ssize_t n = write(m_master, unit.data(), unit.size());
                while (read(m_master, sink, sizeof sink) > 0) {
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(gapMs));
            }
        });
    }
    ~TStreamingDevice()
    {
        m_stop = true;
        m_thread.join();
        close(m_master);
        close(m_slave);
    }
    TStreamingDevice(const TStreamingDevice &) = delete;
    TStreamingDevice &operator=(const TStreamingDevice &) = delete;

    const std::string &Path() const { return m_path; }

private:
    int m_master = -1;
    int m_slave = -1;
    std::string m_path;
    std::atomic<bool> m_stop = false;
    std::thread m_thread;
};

// What the engine may hold of a stream: the receive buffer's bound and one unfinished line.
constexpr size_t kHeldAtMost = kMaxReceiveBuffer + 2 * kMaxLineLength;

class StreamingDevice : public ::testing::TestWithParam<TStreamCase> {};

TEST_P(StreamingDevice, OpenSequenceEnds)
{
    const TStreamCase &c = GetParam();
    TStreamingDevice device(c.unit, c.gapMs);
    // The engine rig's lock directory and timeouts, on the streaming device instead of a handset.
    TEngineRig rig(Handset("M20"));
    rig.comm.SetDeviceName(device.Path());
    rig.gsm.SetRepeatCount(2);
    const TOutcome open = Outcome([&] { rig.gsm.Open(); });
    EXPECT_TRUE(open.raised);
    EXPECT_EQ(open.message, "No reply on AT command: ATE1" + kNoAnswer);
    // Two attempts of at most four silence timeouts (400 ms) with their pauses: far from a hang.
    EXPECT_LT(open.ms, 6000);
    EXPECT_FALSE(rig.gsm.Active());
    EXPECT_LE(rig.gsm.PendingInput(), kHeldAtMost);
}

TEST_P(StreamingDevice, LaterCommandsEnd)
{
    const TStreamCase &c = GetParam();
    TMessagingRig rig(Handset("M20"));
    rig.Open();
    // The handset falls silent and the line carries the stream instead (another function took
    // the port over, or its speed changed).
    rig.sim.SetSilent(true);
    std::atomic<bool> stop = false;
    std::thread streamer([&] {
        while (!stop) {
            rig.sim.SendRaw(c.unit);
            std::this_thread::sleep_for(std::chrono::milliseconds(c.gapMs));
        }
    });
    struct TCommand {
        const char *cmd;
        uint8_t flags;
    };
    // A set command, a query of a prefixed answer, and a command that takes any text line as
    // its answer (the sentences then look like one: only the attempt's limit ends it).
    for (const TCommand command : {TCommand{"ATE1", 0x01}, {"AT+CSQ", 0x13}, {"AT+CGMI", 0x03}}) {
        SCOPED_TRACE(command.cmd);
        const TOutcome o = Outcome([&] { rig.gsm.ExecCommand(command.cmd, command.flags, nullptr, 1); });
        EXPECT_TRUE(o.raised);
        EXPECT_EQ(o.message, "No reply on AT command: " + std::string(command.cmd) + kNoAnswer);
        EXPECT_LT(o.ms, 4000) << "four silence timeouts of 400 ms at most";
        EXPECT_LE(rig.gsm.PendingInput(), kHeldAtMost);
    }
    stop = true;
    streamer.join();
    // The handset back, the engine works on.
    rig.sim.SetSilent(false);
    PumpUntil([] { return false; }, 300);
    std::vector<std::string> lines;
    EXPECT_EQ(rig.gsm.ExecCommand("AT+CSQ", 0x13, &lines), 0);
    EXPECT_EQ(lines, std::vector<std::string>{"20,99"});
    EXPECT_LE(rig.gsm.PendingInput(), kHeldAtMost);
    rig.gsm.Close();
}

INSTANTIATE_TEST_SUITE_P(Faults, StreamingDevice, ::testing::ValuesIn(kStreams),
                         [](const auto &info) { return std::string(info.param.name); });

// A slow handset with a long listing is no stream: its entries, each naming the command, keep
// the attempt going past four silence timeouts.
TEST(StreamingDevice, LongListingAtSlowSpeedIsNoStream)
{
    TMessagingRig rig(Handset("M20"));
    for (int i = 0; i < 12; ++i)
        rig.sim.StoreMessage("SM", 1, DeliverTPDU("+4917155500" + std::to_string(i % 10), "listed slowly"));
    rig.Open();
    // About 110 bytes an entry, 3 ms a byte: over four silence timeouts of 400 ms in all, yet
    // never 400 ms without a line.
    rig.sim.SetByteAtATime(3);
    const auto start = std::chrono::steady_clock::now();
    std::vector<TSMSListEntry> list;
    ASSERT_NO_THROW(list = rig.gsm.ListSMS(4));
    const int64_t ms = ElapsedMs(start);
    EXPECT_EQ(list.size(), 12u);
    EXPECT_GT(ms, 1600) << "the listing took longer than the limit of an attempt without entries";
    rig.sim.SetByteAtATime(0);
    rig.gsm.Close();
}

// "kestrel status" on the navigation port: the run ends with the engine's error, not never.
TEST(StreamingDevice, StatusCommandEnds)
{
    TStreamingDevice device(kSentence, 10);
    QTemporaryDir dir;
    const QString config = dir.filePath("gsm.ini");
    std::ofstream(config.toStdString()).flush();
    QProcess status;
    const auto start = std::chrono::steady_clock::now();
    status.start(KESTREL_PROGRAM, {"--config", config, "--device", QString::fromStdString(device.Path()),
                                   "--equipment", "M20", "--rec-timeout", "400", "status"});
    ASSERT_TRUE(status.waitForFinished(30000));
    EXPECT_LT(ElapsedMs(start), 15000);
    EXPECT_EQ(status.exitCode(), 1);
    EXPECT_EQ(QString::fromUtf8(status.readAllStandardError()).trimmed().toStdString(),
              "No reply on AT command: ATE1" + kNoAnswer);
}

} // namespace
