#include "base/clock.h"
#include "base/convert.h"
#include "base/datetime.h"
#include "base/event.h"
#include "base/format.h"
#include "base/mainthread.h"
#include "base/rtlerrors.h"
#include "support/timezone.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cmath>
#include <thread>

using namespace kestrel;

namespace {

struct DateCase {
    int y, m, d;
    double serial;
};

TEST(DateTime, EncodesAndDecodesCalendarDates)
{
    const DateCase cases[] = {
        {1899, 12, 30, 0},       {1899, 12, 31, 1},    {1900, 1, 1, 2},      {1900, 3, 1, 61},
        {2000, 1, 1, 36526},     {2000, 2, 29, 36585}, {2002, 3, 12, 37327}, {1, 1, 1, -693593},
        {9999, 12, 31, 2958465}, {2026, 12, 7, 46363},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(Format("%04d-%02d-%02d", c.y, c.m, c.d));
        EXPECT_EQ(EncodeDate(c.y, c.m, c.d), c.serial);
        int y, m, d;
        DecodeDate(c.serial, y, m, d);
        EXPECT_EQ(y, c.y);
        EXPECT_EQ(m, c.m);
        EXPECT_EQ(d, c.d);
    }
}

TEST(DateTime, TimeOfDayRoundTripsToTheMillisecond)
{
    const int times[][4] = {{0, 0, 0, 0}, {10, 32, 54, 0}, {23, 59, 59, 999}, {12, 0, 0, 1}};
    for (const auto &t : times) {
        TDateTime v = EncodeDate(2002, 3, 12) + EncodeTime(t[0], t[1], t[2], t[3]);
        int h, mi, s, ms;
        DecodeTime(v, h, mi, s, ms);
        EXPECT_EQ(h, t[0]);
        EXPECT_EQ(mi, t[1]);
        EXPECT_EQ(s, t[2]);
        EXPECT_EQ(ms, t[3]);
    }
    EXPECT_EQ(DateTimeToISO(EncodeDate(2002, 3, 12) + EncodeTime(10, 32, 54, 0)), "2002-03-12T10:32:54");
}

// The store's columns and the clock count milliseconds since 1970; the conversion is exact to the
// millisecond in both directions, before 1970 as after it.
TEST(DateTime, UnixMillisecondsConvertBothWays)
{
    const struct {
        int64_t ms;
        int y, mo, d, h, mi, s, msec;
    } cases[] = {
        {0, 1970, 1, 1, 0, 0, 0, 0},
        {1, 1970, 1, 1, 0, 0, 0, 1},
        {-1, 1969, 12, 31, 23, 59, 59, 999},
        {-2209161600000, 1899, 12, 30, 0, 0, 0, 0},
        {946684800500, 2000, 1, 1, 0, 0, 0, 500},
        {1796133599999, 2026, 12, 1, 13, 59, 59, 999},
        {253402300799999, 9999, 12, 31, 23, 59, 59, 999},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.ms);
        const TDateTime expected = EncodeDate(c.y, c.mo, c.d) + EncodeTime(c.h, c.mi, c.s, c.msec);
        EXPECT_EQ(DateTimeToUnixMs(expected), c.ms);
        EXPECT_EQ(DateTimeToUnixMs(UnixMsToDateTime(c.ms)), c.ms);
        int y, mo, d, h, mi, sec, msec;
        DecodeDate(UnixMsToDateTime(c.ms), y, mo, d);
        DecodeTime(UnixMsToDateTime(c.ms), h, mi, sec, msec);
        EXPECT_EQ((std::array<int, 7>{y, mo, d, h, mi, sec, msec}),
                  (std::array<int, 7>{c.y, c.mo, c.d, c.h, c.mi, c.s, c.msec}));
    }
}

TEST(DateTime, RejectsOutOfRangeFieldsWithTheRuntimeTexts)
{
    const int badDates[][3] = {{2001, 2, 29}, {2000, 13, 1}, {2000, 0, 1},
                               {0, 1, 1},     {2000, 4, 31}, {10000, 1, 1}};
    for (const auto &d : badDates) {
        try {
            EncodeDate(d[0], d[1], d[2]);
            ADD_FAILURE() << d[0] << "-" << d[1] << "-" << d[2] << " was accepted";
        } catch (const EDateError &e) {
            EXPECT_STREQ(e.what(), "Invalid argument to date encode");
        }
    }
    const int badTimes[][4] = {{24, 0, 0, 0}, {0, 60, 0, 0}, {0, 0, 60, 0}, {0, 0, 0, 1000}, {-1, 0, 0, 0}};
    for (const auto &t : badTimes) {
        try {
            EncodeTime(t[0], t[1], t[2], t[3]);
            ADD_FAILURE() << "time accepted";
        } catch (const EDateError &e) {
            EXPECT_STREQ(e.what(), "Invalid argument to time encode");
        }
    }
}

TEST(Convert, IntegersFollowTheRuntimeRules)
{
    struct {
        const char *text;
        bool ok;
        long long value;
    } cases[] = {
        {"0", true, 0},
        {"42", true, 42},
        {"-7", true, -7},
        {"+7", true, 7},
        {"  12", true, 12},
        {"$1F", true, 31},
        {"$ff", true, 255},
        {"0x10", true, 16},
        {"", false, 0},
        {"12a", false, 0},
        {"$", false, 0},
        {"1 2", false, 0},
        {"-", false, 0},
        {"$G1", false, 0},
        {"99999999999999999999", false, 0},
        // 2^64 + 1 and 2^64 + 42 wrap around to small numbers in a 64-bit step.
        {"18446744073709551617", false, 0},
        {"18446744073709551658", false, 0},
        {"9223372036854775808", false, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        auto v = TryStrToInt64(c.text);
        ASSERT_EQ(v.has_value(), c.ok);
        if (c.ok) {
            EXPECT_EQ(*v, c.value);
        }
        EXPECT_EQ(StrToIntDef(c.text, -99), c.ok ? c.value : -99);
    }
    try {
        StrToInt("12a");
        ADD_FAILURE();
    } catch (const EConvertError &e) {
        EXPECT_STREQ(e.what(), "\"12a\" is an invalid integer");
    }
    EXPECT_THROW(StrToInt("4294967296"), EConvertError); // beyond an Integer
}

TEST(Format, FormatsShortAndLongTexts)
{
    EXPECT_EQ(Format("Device \"%s\" is locked", "/dev/ttyS0"), "Device \"/dev/ttyS0\" is locked");
    EXPECT_EQ(Format("%.2x", 0xAB), "ab");
    std::string big(1000, 'x');
    EXPECT_EQ(Format("<%s>", big.c_str()), "<" + big + ">");
}

TEST(Event, ManualResetStaysSetAutoResetIsConsumed)
{
    TEvent manual(true);
    EXPECT_EQ(manual.WaitFor(0), TWaitResult::wrTimeout);
    manual.SetEvent();
    EXPECT_EQ(manual.WaitFor(0), TWaitResult::wrSignaled);
    EXPECT_EQ(manual.WaitFor(0), TWaitResult::wrSignaled);
    manual.ResetEvent();
    EXPECT_EQ(manual.WaitFor(10), TWaitResult::wrTimeout);

    TEvent autoEvent(false);
    autoEvent.SetEvent();
    EXPECT_EQ(autoEvent.WaitSet(0), TWaitResult::wrSignaled); // peeking leaves it set
    EXPECT_EQ(autoEvent.WaitFor(0), TWaitResult::wrSignaled);
    EXPECT_EQ(autoEvent.WaitFor(0), TWaitResult::wrTimeout);
}

TEST(Event, TimedWaitEndsWhenAnotherThreadSets)
{
    TEvent ev(false);
    std::thread t([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ev.SetEvent();
    });
    EXPECT_EQ(ev.WaitFor(kInfinite), TWaitResult::wrSignaled);
    t.join();
}

// Processes the main thread's events until the flag is set (or a generous limit passes).
void PumpUntil(const std::atomic<bool> &flag)
{
    QElapsedTimer timer;
    timer.start();
    while (!flag && timer.elapsed() < 10000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
}

TEST(MainThread, WorkerCallRunsOnTheMainThreadAndPassesExceptionsBack)
{
    TMainThreadCall call;
    std::atomic<bool> finished = false;
    bool ranOnMain = false;
    bool caught = false;
    std::thread worker([&] {
        call.Run([&] { ranOnMain = IsMainThread(); });
        try {
            call.Run([] { throw std::runtime_error("boom"); });
        } catch (const std::runtime_error &e) {
            caught = std::string(e.what()) == "boom";
        }
        finished = true;
    });
    PumpUntil(finished);
    worker.join();
    EXPECT_TRUE(ranOnMain);
    EXPECT_TRUE(caught);
}

TEST(MainThread, CancelReleasesABlockedWorkerWithoutRunningTheCall)
{
    TMainThreadCall call;
    std::atomic<bool> started = false, ran = false, result = true;
    std::thread worker([&] {
        started = true;
        result = call.Run([&] { ran = true; });
    });
    while (!started)
        std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    // The main thread does not process events: without cancellation this join would hang.
    call.Cancel();
    worker.join();
    EXPECT_FALSE(result);
    QCoreApplication::processEvents(); // the queued call now finds itself cancelled
    EXPECT_FALSE(ran);
    EXPECT_FALSE(call.Run([] {})); // stays cancelled until Reset
    call.Reset();
    bool direct = false;
    EXPECT_TRUE(call.Run([&] { direct = true; }));
    EXPECT_TRUE(direct);
}

} // namespace

namespace {

// Now() follows the clock in force, in local time, to the millisecond; the system's clock comes
// back when the override ends.
TEST(Clock, NowReadsTheClockInForce)
{
    testsupport::TTimeZone zone("CET-1CEST,M3.5.0,M10.5.0/3");
    const struct {
        int64_t ms;
        const char *local;
        int msec;
    } cases[] = {
        {1767225600250, "2026-01-01 01:00:00", 250}, // winter: UTC+1
        {1782907199999, "2026-07-01 13:59:59", 999}, // summer: UTC+2
        {-1, "1970-01-01 00:59:59", 999},            // before 1970, milliseconds still 0..999
    };
    {
        TClockOverride clock(0);
        for (const auto &c : cases) {
            SCOPED_TRACE(c.local);
            clock.Set(c.ms);
            EXPECT_EQ(Clock().UnixMs(), c.ms);
            const TDateTime now = Now();
            EXPECT_EQ(DateTimeToStr(now), c.local);
            int h, mi, s, msec;
            DecodeTime(now, h, mi, s, msec);
            EXPECT_EQ(msec, c.msec);
        }
        clock.Advance(60000);
        EXPECT_EQ(DateTimeToStr(Now()), "1970-01-01 01:00:59");
    }
    // The system's clock again: this year or later, not 1970.
    int y, mo, d;
    DecodeDate(Now(), y, mo, d);
    EXPECT_GE(y, 2024);
}

} // namespace
