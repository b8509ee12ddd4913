#include "appcore/receivedspool.h"
#include "connect/connection.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace kestrel;

namespace {

class ReceivedSpool : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = std::filesystem::temp_directory_path() /
              ("kestrel-spool-" + std::to_string(getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
        path = (dir / "received.spool").string();
    }
    void TearDown() override { std::filesystem::remove_all(dir); }
    std::vector<TSpooledMessage> Replay()
    {
        std::vector<TSpooledMessage> out;
        ReplaySpool(path, [&](const TSpooledMessage &m) { out.push_back(m); });
        return out;
    }

    std::filesystem::path dir;
    std::string path;
};

TEST_F(ReceivedSpool, MessagesComeBackAsTheyWentInOldestFirstAndTheSpoolEmpties)
{
    const TSpooledMessage in[] = {
        {"0007911234", 46000.25, "gw-1"},
        {"00ABCDEF", 46000.5, ""},                   // no modem label
        {"0001", 46001.125, "modem with spaces\n!"}, // a label is any text
    };
    for (const auto &m : in)
        SpoolMessage(path, m);
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u); // messages are the user's alone
    EXPECT_TRUE(SpoolHasMessages(path));
    const auto out = Replay();
    ASSERT_EQ(out.size(), std::size(in));
    for (size_t i = 0; i < out.size(); ++i) {
        EXPECT_EQ(out[i].PDU, in[i].PDU);
        EXPECT_DOUBLE_EQ(out[i].Arrival, in[i].Arrival);
        EXPECT_EQ(out[i].Modem, in[i].Modem);
    }
    EXPECT_FALSE(SpoolHasMessages(path));
    EXPECT_TRUE(Replay().empty());
}

TEST_F(ReceivedSpool, AFailedRecordLeavesEverySpooledMessageForTheNextReplay)
{
    SpoolMessage(path, {"0001", 1, "a"});
    SpoolMessage(path, {"0002", 2, "b"});
    int calls = 0;
    EXPECT_THROW(ReplaySpool(path,
                             [&](const TSpooledMessage &m) {
                                 ++calls;
                                 if (m.PDU == "0002")
                                     throw std::runtime_error("store down");
                             }),
                 std::runtime_error);
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(Replay().size(), 2u); // the first comes again: the store knows it as a duplicate
}

TEST_F(ReceivedSpool, UnreadableLinesArePassedOver)
{
    std::ofstream(path) << "garbage\n"
                        << "1.5 ZZ 0001;\n" // modem not hex
                        << "x 61 0002;\n"   // arrival not a number
                        << "2.5 61 0003\n"  // not marked whole
                        << "2.5 61 0005;\n" // whole
                        << "3.5 61 00";     // cut short by a crash
    // The next message starts a line of its own rather than ending the cut one.
    SpoolMessage(path, {"0004", 4.5, "b"});
    const auto out = Replay();
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].PDU, "0005");
    EXPECT_EQ(out[0].Modem, "a");
    EXPECT_EQ(out[1].PDU, "0004");
    EXPECT_EQ(out[1].Modem, "b");
}

// A full disk: the message is refused (the caller keeps it on the handset then), and what the
// spool held before is untouched, without a piece of the refused line after it.
TEST_F(ReceivedSpool, AFullDiskRefusesTheMessageAndKeepsTheSpoolWhole)
{
    SpoolMessage(path, {"0001", 1, "a"});
    const std::string before = [&] {
        std::ifstream in(path);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }();
    struct rlimit saved = {};
    getrlimit(RLIMIT_FSIZE, &saved);
    const auto oldHandler = signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved;
    small.rlim_cur = before.size() + 8;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    EXPECT_THROW(SpoolMessage(path, {std::string(200, '0'), 2, "b"}), EConnectError);
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, oldHandler);
    const auto out = Replay();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].PDU, "0001");
}

} // namespace
