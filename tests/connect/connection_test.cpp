#include "base/rtlerrors.h"
#include "connect/connection.h"

#include <gtest/gtest.h>

#include <cmath>
#include <ctime>
#include <vector>

using namespace kestrel;

namespace {

// A connection that records every step of its life cycle.
class TRecordingConnection : public TCommunicationConnection {
public:
    std::vector<std::string> *trace;
    bool failOpen = false;
    bool failClose = false;
    std::string input;
    std::string output;

    explicit TRecordingConnection(std::vector<std::string> *t) : trace(t)
    {
        BeforeOpen = [this](TConnection *) { trace->push_back("BeforeOpen"); };
        AfterOpen = [this](TConnection *) { trace->push_back("AfterOpen"); };
        BeforeClose = [this](TConnection *) { trace->push_back("BeforeClose"); };
        AfterClose = [this](TConnection *) { trace->push_back("AfterClose"); };
    }
    ~TRecordingConnection() override { Destroy(); }

    int InQueueCount() override { return Active() ? static_cast<int>(input.size()) : -1; }
    void PurgeInput() override { input.clear(); }
    void PurgeOutput() override {}
    int Write(const void *buf, int count) override
    {
        output.append(static_cast<const char *>(buf), static_cast<size_t>(count));
        return count;
    }
    int Read(void *buf, int count) override
    {
        int n = std::min<int>(count, static_cast<int>(input.size()));
        input.copy(static_cast<char *>(buf), static_cast<size_t>(n));
        input.erase(0, static_cast<size_t>(n));
        return n;
    }

protected:
    void DoOpen() override
    {
        trace->push_back("DoOpen");
        if (failOpen)
            throw std::runtime_error("open failed");
    }
    void DoClose() override
    {
        trace->push_back("DoClose");
        if (failClose)
            throw std::runtime_error("close failed");
    }
};

using Trace = std::vector<std::string>;

TEST(Connection, OpenAndCloseRaiseTheirEventsInOrder)
{
    Trace trace;
    TRecordingConnection c(&trace);
    c.Open();
    c.Open(); // no change, no events
    EXPECT_TRUE(c.Active());
    c.Close();
    c.Close();
    EXPECT_EQ(trace, (Trace{"BeforeOpen", "DoOpen", "AfterOpen", "BeforeClose", "DoClose", "AfterClose"}));
}

TEST(Connection, FailedOpenClosesTheHalfOpenDeviceAndPassesTheSameException)
{
    Trace trace;
    TRecordingConnection c(&trace);
    c.failOpen = true;
    try {
        c.Open();
        FAIL() << "open succeeded";
    } catch (const std::runtime_error &e) {
        EXPECT_STREQ(e.what(), "open failed");
    }
    EXPECT_FALSE(c.Active());
    EXPECT_EQ(trace, (Trace{"BeforeOpen", "DoOpen", "DoClose"}));
}

TEST(Connection, FailingBeforeOpenStopsBeforeTheDevice)
{
    Trace trace;
    TRecordingConnection c(&trace);
    c.BeforeOpen = [](TConnection *) { throw EConnectError("refused"); };
    EXPECT_THROW(c.Open(), EConnectError);
    EXPECT_TRUE(trace.empty());
    EXPECT_FALSE(c.Active());
}

TEST(Connection, FailingCloseLeavesItActive)
{
    Trace trace;
    TRecordingConnection c(&trace);
    c.Open();
    c.failClose = true;
    EXPECT_THROW(c.Close(), std::runtime_error);
    EXPECT_TRUE(c.Active());
    c.failClose = false;
}

TEST(Connection, StoredActiveOpensOnlyAfterLoading)
{
    Trace trace;
    TRecordingConnection c(&trace);
    c.BeginLoading();
    c.SetActive(true);
    EXPECT_FALSE(c.Active());
    EXPECT_TRUE(trace.empty());
    c.Loaded();
    EXPECT_TRUE(c.Active());
    EXPECT_EQ(trace, (Trace{"BeforeOpen", "DoOpen", "AfterOpen"}));

    Trace trace2;
    TRecordingConnection d(&trace2);
    d.BeginLoading();
    d.SetActive(false);
    d.Loaded();
    EXPECT_FALSE(d.Active());
    EXPECT_TRUE(trace2.empty());
}

TEST(Connection, DestroyingAnOpenComponentClosesSilently)
{
    Trace trace;
    {
        TRecordingConnection c(&trace);
        c.Open();
        trace.clear();
    }
    EXPECT_EQ(trace, (Trace{"DoClose"}));
}

TEST(Connection, ActiveChecksReportTheirTexts)
{
    Trace trace;
    TRecordingConnection c(&trace);
    try {
        c.CheckActive();
        FAIL();
    } catch (const EConnectError &e) {
        EXPECT_STREQ(e.what(), "Connection is inactive");
    }
    c.CheckInactive();
    c.Open();
    try {
        c.CheckInactive();
        FAIL();
    } catch (const EConnectError &e) {
        EXPECT_STREQ(e.what(), "Connection is active");
    }
}

// A logger that keeps its entries in memory.
class TMemoryLogger : public TLogger {
public:
    std::vector<std::string> lines;
    Trace events;
    bool failWrite = false;
    TMemoryLogger()
    {
        AfterOpen = [this](TConnection *) { events.push_back("open"); };
        AfterClose = [this](TConnection *) { events.push_back("close"); };
    }
    ~TMemoryLogger() override { Destroy(); }

protected:
    void DoOpen() override {}
    void DoClose() override {}
    void WriteLog(const std::string &line) override
    {
        if (failWrite)
            throw std::runtime_error("disk full");
        lines.push_back(line);
    }
    std::string FormatLog(const std::string &name, uint8_t channel, const std::string &text) override
    {
        return name + "/" + std::to_string(channel) + ":" + text;
    }
};

TEST(Logger, ClosedLoggerWithoutAutoOpenDropsEntriesSilently)
{
    TMemoryLogger logger;
    bool filtered = false;
    logger.AcceptChannel = [&](TObject *, const std::string &, uint8_t, bool &) { filtered = true; };
    logger.Log("port", 1, "AT");
    EXPECT_TRUE(logger.lines.empty());
    EXPECT_FALSE(filtered);
}

TEST(Logger, AutoOpenWrapsEachEntryInOpenAndClose)
{
    TMemoryLogger logger;
    logger.SetAutoOpen(true);
    logger.Log("port", 2, "OK");
    EXPECT_EQ(logger.lines, (std::vector<std::string>{"port/2:OK"}));
    EXPECT_EQ(logger.events, (Trace{"open", "close"}));
    EXPECT_FALSE(logger.Active());

    logger.failWrite = true;
    EXPECT_THROW(logger.Log("port", 2, "x"), std::runtime_error);
    EXPECT_FALSE(logger.Active()); // the previous state is restored after a failure
}

TEST(Logger, WritingAutoOpenWhileActiveIsRefused)
{
    TMemoryLogger logger;
    logger.Open();
    try {
        logger.SetAutoOpen(true);
        FAIL();
    } catch (const EConnectError &e) {
        EXPECT_STREQ(e.what(), "Connection is active");
    }
}

TEST(Logger, ChannelFilterAndFormatHookShapeTheEntries)
{
    Trace trace;
    TMemoryLogger logger;
    logger.Open();
    logger.AcceptChannel = [](TObject *, const std::string &, uint8_t channel, bool &accept) {
        accept = channel != kChannelReceived;
    };
    TRecordingConnection c(&trace);
    c.SetLogger(&logger);
    c.SetLogName("COM");
    int formatted = 0;
    c.OnFormatLog = [&](TObject *, uint8_t, std::string &text) {
        ++formatted;
        text = "[" + text + "]";
    };
    c.Open();
    EXPECT_EQ(c.WriteString("AT\r"), 3);
    c.input = "OK";
    EXPECT_EQ(c.ReadString(10), "OK");
    EXPECT_EQ(c.ReadString(0), "");
    EXPECT_EQ(formatted, 3);
    EXPECT_EQ(logger.lines, (std::vector<std::string>{"COM/1:[AT\r]"}));
    EXPECT_EQ(c.output, "AT\r");
}

TEST(Hex, ConvertsBothWays)
{
    struct {
        std::string bytes, hex;
    } cases[] = {{"", ""}, {"AB", "4142"}, {"\xAF", "AF"}, {std::string("\x00\x01\xFF", 3), "0001FF"}};
    for (const auto &c : cases) {
        EXPECT_EQ(StrToHex(c.bytes), c.hex);
        EXPECT_EQ(HexToStr(c.hex), c.bytes);
    }
    EXPECT_EQ(HexToStr("414"), std::string("A\x04", 2));
    EXPECT_EQ(HexToStr("afAF"), "\xAF\xAF");
    EXPECT_THROW(HexToStr("4G"), EConvertError);
    EXPECT_THROW(HexToStr("4-"), EConvertError);
}

TEST(Clock, NowUTCMatchesTheSystemClock)
{
    TDateTime now = NowUTC();
    time_t t = time(nullptr);
    // seconds since 1970 = (days since 1899-12-30 - 25569) * 86400
    double diff = std::fabs((now - 25569.0) * 86400.0 - static_cast<double>(t));
    EXPECT_LT(diff, 5.0);
}

} // namespace
