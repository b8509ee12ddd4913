// AT text written by strangers, through the real engine: broken PDU lines after message headers,
// lengths that lie, over-long and unbalanced fields, blank lines and indications inside answers,
// error reports with odd payloads, garbage bytes and a line that never ends. Each row names a
// file of fuzz/corpus/atparser (its first two bytes steer the fuzz target; the rest is what the
// handset sent) and lists, in order, everything the engine reported: the bad line is reported
// or dropped, the good lines around it are still processed, and a waiting command completes or
// fails with the engine's error.
#include "atlinerig.h"
#include "hostilecorpus.h"

#include "base/format.h"
#include "gsm/atparser.h"
#include "gsm/tpdufields.h"

#include <gtest/gtest.h>

using namespace kestrel;
using namespace kestrel::hostile;

namespace {

using TOutcome = std::vector<std::string>;

std::string HandsetBytes(const std::string &name)
{
    return Corpus("atparser", name).substr(2);
}

const std::string kHello = "sms -1 TSMSDeliver OA=+441234567890 UD=" + TextToGSM("Hello deliver");
const std::string kDiscarded = "error " + Format(SLineDiscarded, static_cast<unsigned>(kMaxLineLength));
const std::string kBadHex = "error \"$GZ\" is an invalid integer";
const std::string kNoNumber = "error \"\" is an invalid integer";

// ---- what arrives while no command waits

struct TIdleCase {
    const char *file;
    uint8_t format;
    TOutcome outcome;
};

const TIdleCase kIdleCases[] = {
    {"hostile_cmt_nonhex_pdu", kSMSFormatPDU, {kBadHex, "index 4"}},
    {"hostile_cmt_odd_pdu", kSMSFormatPDU, {"error " + Format(SOddPDULine, 63u), "index 4"}},
    {"hostile_cmt_overlong_pdu",
     kSMSFormatPDU,
     {"error " + Format(SPDULineTooLong, 512u), kDiscarded, "index 5"}},
    {"hostile_cmt_pdu_length_mismatch", kSMSFormatPDU, {kHello, kHello}},
    {"hostile_cmt_text_length_longer",
     kSMSFormatText,
     {"sms -1 TSMSDeliver OA=+4917 UD=short body", "index 6"}},
    {"hostile_cmt_text_length_shorter",
     kSMSFormatText,
     {"sms -1 TSMSDeliver OA=+4917 UD=Hello", kDiscarded, "index 7"}},
    {"hostile_quoted_overlong", kSMSFormatPDU, {kDiscarded, "index 8"}},
    {"hostile_quoted_unbalanced",
     kSMSFormatPDU,
     {kNoNumber, "error \"\"1\" is an invalid integer", "index 9"}},
    {"hostile_empty_fields", kSMSFormatPDU, {kNoNumber, kHello, kNoNumber, "index 10"}},
    {"hostile_blank_lines", kSMSFormatPDU, {"index 11", kHello}},
    {"hostile_cmt_blank_before_body", kSMSFormatPDU, {kHello, "index 14"}},
    {"hostile_cmt_text_blank_before_body",
     kSMSFormatText,
     {"sms -1 TSMSDeliver OA=+4917 UD=Hello", "index 15"}},
    {"hostile_garbage_bytes", kSMSFormatPDU, {"line \xff\xfe", "index 12", "line [2J", "line \xff"}},
    {"hostile_error_payloads",
     kSMSFormatPDU,
     {"line +CME ERROR: ", "line +CMS ERROR: memory full", "line +CME ERROR:"}},
    {"hostile_unterminated_line", kSMSFormatPDU, {kDiscarded, "index 13"}},
};

TEST(HostileIdleLines, EachCaseWhole)
{
    for (const auto &c : kIdleCases) {
        TFeedRig rig(c.format);
        const std::string bytes = HandsetBytes(c.file);
        rig.Feed(bytes);
        EXPECT_EQ(rig.outcome, c.outcome) << c.file;
        if (::testing::Test::HasFailure() && rig.outcome.size() < 10)
            for (auto &o : rig.outcome)
                std::cerr << "  " << o.substr(0, 200) << "\n";
        EXPECT_EQ(rig.rxChars, bytes.size()) << c.file; // every byte reached OnRxChar once
    }
}

// However the serial reads cut the text, the engine makes the same of it.
TEST(HostileIdleLines, SplitAtEveryByte)
{
    for (const auto &c : kIdleCases) {
        const std::string bytes = HandsetBytes(c.file);
        if (bytes.size() > 2000)
            continue; // the long ones are cut by the next test
        for (size_t cut = 1; cut < bytes.size(); ++cut) {
            TFeedRig rig(c.format);
            rig.Feed(std::string_view(bytes).substr(0, cut));
            rig.Feed(std::string_view(bytes).substr(cut));
            ASSERT_EQ(rig.outcome, c.outcome) << c.file << " cut at " << cut;
        }
    }
}

// The long rows in serial-sized reads, every read processed at once or all of them held back by
// a busy main thread.
TEST(HostileIdleLines, LongRowsInSmallReads)
{
    for (const auto &c : kIdleCases) {
        const std::string bytes = HandsetBytes(c.file);
        if (bytes.size() <= 2000)
            continue;
        for (size_t chunk : {1u, 7u, 64u, 4096u}) {
            TFeedRig rig(c.format);
            for (size_t at = 0; at < bytes.size(); at += chunk)
                rig.Feed(std::string_view(bytes).substr(at, chunk));
            EXPECT_EQ(rig.outcome, c.outcome) << c.file << " in reads of " << chunk;
        }
    }
}

// A line of 1 MiB that never ends: the engine keeps a bounded amount of it, reports it once as
// discarded and goes on with the lines after it.
TEST(HostileIdleLines, MebibyteWithoutLineEnd)
{
    const std::string block(4096, 'Z');
    for (bool busy : {false, true}) {
        TFeedRig rig;
        for (int i = 0; i < 256; ++i) {
            if (busy)
                rig.Receive(block); // nothing is processed meanwhile
            else
                rig.Feed(block);
        }
        const std::string after = "\r\n+CMTI: \"SM\",2\r\n";
        rig.Feed(after);
        EXPECT_EQ(rig.outcome, (TOutcome{kDiscarded, "index 2"})) << busy;
        if (busy) {
            // What a busy main thread could not take was dropped, not held in memory.
            EXPECT_LE(rig.rxChars, kMaxReceiveBuffer + 4096);
        } else {
            EXPECT_EQ(rig.rxChars, 256u * 4096u + after.size());
        }
    }
}

// A line of exactly the limit is a line; one character more and it is dropped whole and reported
// once, by the idle parser and the reply parser alike, wherever the reads cut it.
TEST(HostileLineLimit, Boundary)
{
    for (size_t length : {kMaxLineLength, kMaxLineLength + 1}) {
        const bool kept = length <= kMaxLineLength;
        const std::string line = "+X: " + std::string(length - 4, '9');
        const std::string text = "\r\n" + line + "\r\n+CMTI: \"SM\",1\r\nOK\r\n";
        for (size_t cut : {size_t(0), size_t(7), length + 2, length + 3, text.size() - 1}) {
            SCOPED_TRACE(std::to_string(length) + " cut at " + std::to_string(cut));
            TFeedRig rig;
            rig.Feed(std::string_view(text).substr(0, cut));
            rig.Feed(std::string_view(text).substr(cut));
            const TOutcome expected = {kept ? "line " + line : kDiscarded, "index 1", "line OK"};
            EXPECT_EQ(rig.outcome, expected);

            std::vector<std::string> lines;
            TReplyState reply;
            reply.commandName = "+X";
            reply.waitMask = kWaitResult | kWaitReply;
            reply.lines = &lines;
            FeedReply(reply, std::string_view(text).substr(0, cut));
            FeedReply(reply, std::string_view(text).substr(cut));
            EXPECT_EQ(lines, kept ? std::vector<std::string>{line} : std::vector<std::string>{});
            EXPECT_EQ(reply.resultLine, "OK");
        }
    }
}

// ---- answers to a command

std::string Entries(const std::vector<TSMSListEntry> &list)
{
    std::string out;
    for (const auto &e : list) {
        out += Format("%d=%d:", e.Index, e.Status);
        if (auto *d = dynamic_cast<TSMSDeliver *>(e.Message.get()))
            out += d->OA + "/" + GSMToText(d->UserData);
        else
            out += "none[" + std::to_string(e.Raw.size()) + "]";
        out += " ";
    }
    return out;
}

std::string WithoutLines(const TOutcome &outcome)
{
    // The answer's own lines reach the idle parser afterwards as unsolicited lines; what
    // matters is everything else.
    std::string out;
    for (const auto &e : outcome)
        if (e.rfind("line ", 0) != 0)
            out += e + "; ";
    return out;
}

struct TAnswerCase {
    const char *file;
    const char *command; // "list" or "read"
    std::string result;  // the operation's result, or its error
    std::string after;   // what the engine reported afterwards
};

const TAnswerCase kAnswerCases[] = {
    {"hostile_cmgl_cmti_between", "list", "1=0:+441234567890/Hello deliver 2=1:+441234567890/ABC ",
     "index 3; "},
    {"hostile_cmgl_missing_pdu", "list", "1=0:none[0] 2=0:+441234567890/ABC ", ""},
    {"hostile_cmgl_bad_pdus", "list", "1=0:none[64] 2=0:none[63] 3=0:none[0] 4=0:+441234567890/ABC ",
     kDiscarded + "; "},
    {"hostile_cmgr_routed_between", "read", "0:+441234567890/Hello deliver",
     "sms -1 TSMSDeliver OA=+441234567890 UD=" + TextToGSM("ABC") + "; "},
    {"hostile_cmgr_garbage", "read", "0:1/", ""},
    {"hostile_cmgr_odd_pdu", "read", "0:none[29]", ""},
    {"hostile_cmgr_nonhex_pdu", "read", "0:none[30]", ""},
    {"hostile_cmgr_long_pdu", "read", "0:none[630]", ""},
    {"hostile_cmgr_split", "read", "0:1/", ""},
    {"hostile_cme_empty", "read", "+CME ERROR:  was returned on AT command: AT+CMGR=1", ""},
    {"hostile_cms_text", "read", "+CMS ERROR: invalid memory index was returned on AT command: AT+CMGR=1",
     ""},
    {"hostile_cms_huge_number", "read",
     "+CMS ERROR: 99999999999999999999999 was returned on AT command: AT+CMGR=1", ""},
    {"hostile_cmgr_no_final", "read", "No reply on AT command: AT+CMGR=1", ""},
};

std::string RunAnswer(TAnswerRig &rig, const TAnswerCase &c, const std::string &answer,
                      std::vector<size_t> cuts)
{
    std::string result, error;
    if (std::string(c.command) == "list") {
        rig.Answer("AT+CMGL", answer, cuts,
                   [&] { error = ErrorOf([&] { result = Entries(rig.gsm.ListSMS(-1)); }); });
    } else {
        rig.Answer("AT+CMGR", answer, cuts, [&] {
            error = ErrorOf([&] {
                int status = -1;
                std::string raw;
                auto sms = rig.gsm.ReadSMS(1, status, &raw);
                result = std::to_string(status) + ":";
                if (auto *d = dynamic_cast<TSMSDeliver *>(sms.get()))
                    result += d->OA + "/" + GSMToText(d->UserData);
                else
                    result += "none[" + std::to_string(raw.size()) + "]"; // kept for the log
            });
        });
    }
    return error.empty() ? result : error;
}

TEST(HostileAnswers, EachCaseWhole)
{
    TAnswerRig rig;
    for (const auto &c : kAnswerCases) {
        rig.outcome.clear();
        std::string result;
        EXPECT_EQ(RunAnswer(rig, c, HandsetBytes(c.file), {}), c.result) << c.file;
        EXPECT_EQ(WithoutLines(rig.outcome), c.after) << c.file;
    }
    // The engine is still in order: a command after all of this is answered normally.
    rig.sim.SetSilent(false);
    std::vector<std::string> lines;
    EXPECT_EQ(rig.gsm.ExecCommand("AT+CSQ", kWaitResult | kWaitReply | kPrefixedReply, &lines), 0);
    EXPECT_EQ(lines, std::vector<std::string>{"20,99"});
}

// Every answer again, each byte its own serial write.
TEST(HostileAnswers, EachCaseByteByByte)
{
    TAnswerRig rig;
    // Only whole lines restart the silence timeout: a PDU line written a byte at a time takes
    // longer than the short timeout of the other tests.
    rig.gsm.SetRecTimeout(3000);
    for (const auto &c : kAnswerCases) {
        const std::string answer = HandsetBytes(c.file);
        if (answer.size() > 2000 || c.result.rfind("No reply", 0) == 0)
            continue; // the long one would take seconds, the silent one waits out its timeout
        std::vector<size_t> cuts;
        for (size_t i = 1; i < answer.size(); ++i)
            cuts.push_back(i);
        rig.outcome.clear();
        EXPECT_EQ(RunAnswer(rig, c, answer, cuts), c.result) << c.file;
        EXPECT_EQ(WithoutLines(rig.outcome), c.after) << c.file;
    }
}

// One answer, cut at every point in turn, through the serial line and the engine's reply parser.
TEST(HostileAnswers, SplitAtEveryByte)
{
    TAnswerRig rig;
    const TAnswerCase &c = kAnswerCases[8];
    ASSERT_STREQ(c.file, "hostile_cmgr_split");
    const std::string answer = HandsetBytes(c.file);
    for (size_t cut = 1; cut < answer.size(); ++cut) {
        rig.outcome.clear();
        ASSERT_EQ(RunAnswer(rig, c, answer, {cut}), c.result) << "cut at " << cut;
        ASSERT_EQ(WithoutLines(rig.outcome), c.after) << "cut at " << cut;
    }
}

// A line of 1 MiB without end while a command waits: it does not keep the command waiting (only
// whole lines restart the silence timeout), the failure names the flood as the likely cause, and
// the line is reported once as discarded.
TEST(HostileAnswers, MebibyteWithoutLineEndDuringACommand)
{
    TAnswerRig rig;
    const TAnswerCase c{
        "", "read",
        "No reply on AT command: AT+CMGR=1 (the device sends data that is no answer: wrong port "
        "or line speed?)",
        kDiscarded + "; "};
    EXPECT_EQ(RunAnswer(rig, c, "\r\n+CMGR: 0,,14\r\n" + std::string(1 << 20, '7'), {}), c.result);
    rig.sim.SetSilent(false);
    EXPECT_EQ(rig.gsm.ExecCommand("AT", kWaitResult), 0);
    rig.Settle();
    EXPECT_EQ(WithoutLines(rig.outcome), c.after);
}

} // namespace
