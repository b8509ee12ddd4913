// The reply parser and the idle line parser fed with byte chunks, without a port or threads.
#include "gsm/atparser.h"

#include <gtest/gtest.h>

#include <cctype>

#include <string>
#include <vector>

using namespace kestrel;

namespace {

using TLines = std::vector<std::string>;

struct TReplyRun {
    TLines lines;
    TReplyState state;
};

// Feeds text to a parser waiting for cmd with flags, cut into chunks at the given offsets.
TReplyRun Feed(const std::string &cmd, uint8_t flags, const std::string &text,
               const std::vector<size_t> &cuts = {})
{
    TReplyRun run;
    run.state.commandName = *ATCommandName(cmd);
    run.state.waitMask = flags;
    run.state.lines = &run.lines;
    size_t from = 0;
    for (size_t cut : cuts) {
        FeedReply(run.state, std::string_view(text).substr(from, cut - from));
        from = cut;
    }
    FeedReply(run.state, std::string_view(text).substr(from));
    return run;
}

struct TReplyCase {
    const char *name;
    const char *cmd;
    uint8_t flags;
    const char *text;
    TLines lines;
    uint8_t status;
    int code;
    const char *resultLine;
};

const TReplyCase kReplyCases[] = {
    {"echo ignored, prefixed answer collected",
     "AT+CSQ",
     0x13,
     "AT+CSQ\r\r\n+CSQ: 20,99\r\n\r\nOK\r\n",
     {"20,99"},
     0x07,
     0,
     "OK"},
    {"another command's line is not collected",
     "AT+CSQ",
     0x13,
     "AT+CSQ\r\r\n+CREG: 1\r\n+CSQ: 15,0\r\n\r\nOK\r\n",
     {"15,0"},
     0x07,
     0,
     "OK"},
    {"another command's line without prefix mode",
     "AT+CGMI",
     0x03,
     "\r\n+CREG: 1\r\nSIEMENS\r\n\r\nOK\r\n",
     {"SIEMENS"},
     0x07,
     0,
     "OK"},
    {"answer lines collected whole",
     "AT+CMGR=1",
     0x03,
     "AT+CMGR=1\r\r\n+CMGR: "
     "0,,24\r\n07911326040000F0040B911346610089F60000208062917314080CC8F71D14969741F977FD07\r\n"
     "\r\nOK\r\n",
     {"+CMGR: 0,,24", "07911326040000F0040B911346610089F60000208062917314080CC8F71D14969741F977FD07"},
     0x07,
     0,
     "OK"},
    {"equipment error", "AT+CPIN?", 0x13, "AT+CPIN?\r\r\n+CME ERROR: 10\r\n", {}, 0x07, 4, "+CME ERROR: 10"},
    {"lower-case error line", "AT+CPIN?", 0x13, "\r\n+cme error: 11\r\n", {}, 0x07, 4, "+cme error: 11"},
    {"bare +CMS ERROR: name", "AT+CMGS=1", 0x01, "\r\n+CMS ERROR:\r\n", {}, 0x07, 255, "+CMS ERROR:"},
    {"lower-case ok", "AT", 0x01, "\r\nok\r\n", {}, 0x07, 0, "ok"},
    {"RING recognised but ends nothing", "AT+CSQ", 0x13, "\r\nRING\r\n+CSQ: 9,99\r\n", {"9,99"}, 0x02, 0, ""},
    {"message text containing ERROR is data",
     "AT+CMGR=2",
     0x03,
     "\r\n+CMGR: \"REC READ\",\"+4917\",,\"02/08/26,19:37:41+08\"\r\nSyntax ERROR in line 3\r\n\r\nOK\r\n",
     {"+CMGR: \"REC READ\",\"+4917\",,\"02/08/26,19:37:41+08\"", "Syntax ERROR in line 3"},
     0x07,
     0,
     "OK"},
    {"prefixed reply without final result",
     "AT+CPIN?",
     0x12,
     "AT+CPIN?\r\r\n+CPIN: SIM PIN\r\n",
     {"SIM PIN"},
     0x02,
     0,
     ""},
    {"run ended by another control character is dropped",
     "AT+CGMI",
     0x03,
     "\r\nGARB\x01LE\x07\r\nMOTOROLA\r\nOK\r\n",
     {"MOTOROLA"},
     0x07,
     0,
     "OK"},
    {"empty lines ignored, trailing CRs removed",
     "AT+CGMM",
     0x03,
     "\r\n\r\nM20\r\r\n\r\nOK\r\r\n",
     {"M20"},
     0x07,
     0,
     "OK"},
};

TEST(ReplyParser, WholeReplies)
{
    for (const auto &c : kReplyCases) {
        auto run = Feed(c.cmd, c.flags, c.text);
        EXPECT_EQ(run.lines, c.lines) << c.name;
        EXPECT_EQ(run.state.receiveStatus, c.status) << c.name;
        EXPECT_EQ(run.state.resultCode, c.code) << c.name;
        EXPECT_EQ(run.state.resultLine, c.resultLine) << c.name;
    }
}

// Every reply gives the same result however the serial reads cut it, at one or two points.
TEST(ReplyParser, SplitAtEveryByte)
{
    for (const auto &c : kReplyCases) {
        const std::string text = c.text;
        for (size_t i = 0; i <= text.size(); ++i) {
            for (size_t j = i; j <= text.size(); j += 3) {
                auto run = Feed(c.cmd, c.flags, text, {i, j});
                ASSERT_EQ(run.lines, c.lines) << c.name << " cut at " << i << "," << j;
                ASSERT_EQ(run.state.receiveStatus, c.status) << c.name << " cut at " << i << "," << j;
                ASSERT_EQ(run.state.resultLine, c.resultLine) << c.name << " cut at " << i << "," << j;
            }
        }
    }
}

TEST(ReplyParser, FinalResultOnlyWithItsLineEnd)
{
    TReplyState st;
    st.commandName = "+CSQ";
    st.waitMask = 0x13;
    FeedReply(st, "\r\n+CSQ: 20,99\r\n\r\nOK");
    EXPECT_EQ(st.receiveStatus, 0x02);
    EXPECT_FALSE(ReplyConditionsMet(st));
    FeedReply(st, "\r\n");
    EXPECT_TRUE(ReplyConditionsMet(st));
    EXPECT_TRUE(ResultIsOK(st.resultLine));
    EXPECT_TRUE(st.buffer.empty());
}

TEST(ReplyParser, ConditionsIgnoreCollectionFlags)
{
    TReplyState st;
    st.waitMask = 0x10; // acknowledgement: done at the first chunk
    EXPECT_TRUE(ReplyConditionsMet(st));
    st.waitMask = 0x43;
    st.receiveStatus = 0x03;
    EXPECT_TRUE(ReplyConditionsMet(st));
    st.waitMask = 0x1F & ~0x08;
    st.receiveStatus = 0x03;
    EXPECT_FALSE(ReplyConditionsMet(st)); // 0x04 missing
    st.receiveStatus = 0x07;
    EXPECT_TRUE(ReplyConditionsMet(st));
}

TEST(ReplyParser, PromptAndLineEnds)
{
    TReplyState st;
    st.commandName = "+CMGS";
    st.waitMask = kWaitPrompt;
    FeedReply(st, "AT+CMGS=23\r");
    EXPECT_EQ(st.receiveStatus, 0);
    FeedReply(st, "\r\n> ");
    EXPECT_EQ(st.receiveStatus, kWaitPrompt);

    // An error instead of the prompt records the result but not the prompt.
    TReplyState err;
    err.commandName = "+CMGS";
    err.waitMask = kWaitPrompt;
    FeedReply(err, "\r\n+CMS ERROR: 304\r\n");
    EXPECT_EQ(err.receiveStatus & kWaitPrompt, 0);
    EXPECT_EQ(err.resultLine, "+CMS ERROR: 304");

    // Mid-line: a chunk without a line end; ">" ends a chunk only while a prompt is awaited.
    EXPECT_TRUE(ChunkEndsMidLine("+CREG: 1", 0));
    EXPECT_FALSE(ChunkEndsMidLine("+CREG: 1\r", 0));
    EXPECT_FALSE(ChunkEndsMidLine("\r\n", 0));
    EXPECT_TRUE(ChunkEndsMidLine("\r\n>", 0x01));
    EXPECT_FALSE(ChunkEndsMidLine("\r\n>", kWaitPrompt));
    // The prompt of TS 27.005 comes with a space after it.
    EXPECT_FALSE(ChunkEndsMidLine("\r\n> ", kWaitPrompt));
    EXPECT_TRUE(ChunkEndsMidLine("\r\n> ", 0x01));
    EXPECT_TRUE(ChunkEndsMidLine(" ", kWaitPrompt));

    TReplyState quiet;
    quiet.waitMask = 0x01 | kWaitLineEnd;
    FeedReply(quiet, "+CREG: ");
    EXPECT_EQ(quiet.receiveStatus & kWaitLineEnd, 0);
    FeedReply(quiet, "1\r\n");
    EXPECT_EQ(quiet.receiveStatus & kWaitLineEnd, kWaitLineEnd);
}

TEST(ReplyParser, StreamWithoutLineEndsStaysBounded)
{
    TReplyState st;
    st.commandName = "+CSQ";
    st.waitMask = 0x13;
    const std::string junk(4096, 'x');
    for (int i = 0; i < 64; ++i)
        EXPECT_FALSE(FeedReply(st, junk)) << "no progress: the silence timeout keeps running";
    EXPECT_LE(st.buffer.size(), kMaxLineLength);
    EXPECT_FALSE(FeedReply(st, "\r\n")) << "the over-long line is dropped whole, never collected cut short";
    EXPECT_FALSE(FeedReply(st, "\r\n\r\n\r\n")) << "empty lines are no progress";
    EXPECT_LE(st.buffer.size(), kMaxReceiveBuffer);
    EXPECT_TRUE(FeedReply(st, "\r\nOK\r\n"));
    EXPECT_EQ(st.resultLine, "OK"); // and it keeps working
}

TEST(ReplyParser, FloodOfLinesCollectsABoundedAmount)
{
    TLines lines;
    TReplyState st;
    st.commandName = "+CMGL";
    st.waitMask = 0x03;
    st.lines = &lines;
    const std::string line = std::string(1000, 'A') + "\r\n";
    for (int i = 0; i < 2000; ++i)
        EXPECT_TRUE(FeedReply(st, line));
    EXPECT_EQ(lines.size(), kMaxReplyText / 1000);
    EXPECT_EQ(st.receiveStatus, kWaitReply);
}

// Which lines restart a command's silence timeout: only what answers it. Lines of another
// function on the same port (a navigation receiver's sentences) or of the handset's own reports
// do not, and data that is no AT dialogue at all is counted as such.
struct TProgressCase {
    const char *name;
    const char *cmd;
    uint8_t flags;
    std::string text;
    bool progress;
    size_t noise;
    size_t named;
};

const std::string kSentence = "$GPGGA,123519,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,*47";

const TProgressCase kProgressCases[] = {
    {"sentence to a set command", "ATE1", 0x01, kSentence + "\r\n", false, kSentence.size(), 0},
    {"sentence to a prefixed query", "AT+CSQ", 0x13, kSentence + "\r\n", false, kSentence.size(), 0},
    // A command that takes any text line as its reply cannot tell: the attempt's limit ends it.
    {"sentence to a command that collects text", "AT+CGMI", 0x03, kSentence + "\r\n", true, 0, 0},
    {"report of another command", "AT+CSQ", 0x13, "\r\n+CREG: 1\r\n", false, 0, 0},
    {"RING ends nothing", "ATE1", 0x01, "\r\nRING\r\n", false, 0, 0},
    {"routed message during a query", "AT+CSQ", 0x13, "\r\n+CMT: ,24\r\n0791AB\r\n", false, 0, 0},
    {"echo", "ATE1", 0x01, "ATE1\r\r\n", true, 0, 0},
    {"final result", "ATE1", 0x01, "\r\nOK\r\n", true, 0, 0},
    {"prefixed answer", "AT+CSQ", 0x13, "\r\n+CSQ: 20,99\r\n", true, 0, 1},
    {"listing entry", "AT+CMGL", 0x03, "\r\n+CMGL: 1,0,,23\r\n", true, 0, 1},
    {"text line to a set command", "AT+CSCA=\"+49\"", 0x01, "\r\nhello\r\n", false, 5, 0},
    {"runs cut by stray control characters", "ATE1", 0x01, "GP\x01xyz\x07\r\n", false, 5, 0},
    {"bytes without a line end wait in the buffer", "ATE1", 0x01, std::string(100, '~'), false, 0, 0},
};

class ReplyProgress : public ::testing::TestWithParam<TProgressCase> {};

TEST_P(ReplyProgress, OnlyAnswersCount)
{
    const TProgressCase &c = GetParam();
    TLines lines;
    TReplyState st;
    st.commandName = *ATCommandName(c.cmd);
    st.waitMask = c.flags;
    st.lines = &lines;
    EXPECT_EQ(FeedReply(st, c.text), c.progress);
    EXPECT_EQ(st.noiseBytes, c.noise);
    EXPECT_EQ(st.namedLines, c.named);
}

INSTANTIATE_TEST_SUITE_P(Cases, ReplyProgress, ::testing::ValuesIn(kProgressCases), [](const auto &info) {
    std::string n = info.param.name;
    for (char &ch : n)
        if (!std::isalnum(static_cast<unsigned char>(ch)))
            ch = '_';
    return n;
});

TEST(ReplyParser, StreamOfSentencesIsNoProgressAndCountsAsNoise)
{
    TReplyState st;
    st.commandName = "E1";
    st.waitMask = 0x01;
    for (int i = 0; i < 1000; ++i)
        ASSERT_FALSE(FeedReply(st, kSentence + "\r\n")) << i;
    EXPECT_EQ(st.noiseBytes, 1000 * kSentence.size());
    EXPECT_TRUE(st.buffer.empty());
    // The handset's answer still ends it.
    EXPECT_TRUE(FeedReply(st, "ATE1\r\r\nOK\r\n"));
    EXPECT_TRUE(st.echoSeen);
    EXPECT_TRUE(ReplyConditionsMet(st));
    // Over-long runs without any line end go as noise, and the buffer stays bounded.
    TReplyState raw;
    raw.commandName = "E1";
    raw.waitMask = 0x01;
    const std::string junk(4096, 'x');
    for (int i = 0; i < 64; ++i)
        FeedReply(raw, junk);
    EXPECT_LE(raw.buffer.size(), kMaxLineLength);
    EXPECT_EQ(raw.noiseBytes + raw.buffer.size(), 64u * junk.size());
}

TEST(ResultCodes, Table)
{
    const auto &codes = ResultCodes();
    ASSERT_EQ(codes.size(), 8u);
    const char *names[] = {"OK",           "RING", "NO CARRIER",  "ERROR",
                           "NO DIAL TONE", "BUSY", "+CMS ERROR:", "+CME ERROR:"};
    const int values[] = {0, 2, 3, 4, 6, 7, 255, 254};
    for (size_t i = 0; i < codes.size(); ++i) {
        EXPECT_EQ(codes[i].name, names[i]);
        EXPECT_EQ(codes[i].code, values[i]);
    }
    EXPECT_EQ(FindResultCode("no carrier")->code, 3);
    EXPECT_EQ(FindResultCode("+CMS ERROR: 500")->code, 4);
    EXPECT_EQ(FindResultCode("+EXT ERROR: 2")->code, 4);
    EXPECT_EQ(FindResultCode("OK "), nullptr);
    EXPECT_EQ(FindResultCode("+CSQ: 20,99"), nullptr);
    EXPECT_EQ(FindResultCode("Hello ERROR"), nullptr);
    EXPECT_TRUE(ResultIsOK("Ok"));
    EXPECT_FALSE(ResultIsOK("ERROR"));
    EXPECT_FALSE(ResultIsOK("+CME ERROR: 3"));
    EXPECT_FALSE(ResultIsOK(""));
}

TEST(ATCommandName, Table)
{
    const std::pair<const char *, const char *> cases[] = {
        {"AT+CSQ", "+CSQ"},
        {"at+cpin?", "+CPIN"},
        {"  AT+CMGS=23>0011", "+CMGS"},
        {"ATE1", "E1"},
        {"AT", ""},
        {"AT^SMSO", "^SMSO"},
        {"AT+CNMI=2,1;+CMGF=0", "+CNMI"},
        {"AT+CPMS=\"ME\"", "+CPMS"},
    };
    for (auto [cmd, name] : cases)
        EXPECT_EQ(ATCommandName(cmd).value_or("<none>"), name) << cmd;
    EXPECT_FALSE(ATCommandName("A+CSQ"));
    EXPECT_FALSE(ATCommandName(""));
}

// ---- idle line parser

struct TIdleRun {
    TLines lines;
    TReceiveBuffer rb;
};

// Appends each chunk, marks it dispatched, and takes every line the parser gives.
void FeedIdle(TIdleRun &run, std::string_view chunk)
{
    AppendReceived(run.rb, chunk);
    run.rb.dispatched = run.rb.data.size();
    while (auto line = ExtractIdleLine(run.rb))
        run.lines.push_back(*line);
}

struct TIdleCase {
    const char *name;
    const char *text;
    TLines lines;
};

const TIdleCase kIdleCases[] = {
    {"indication", "\r\n+CMTI: \"SM\",3\r\n", {"+CMTI: \"SM\",3"}},
    {"command leftovers", "AT+CREG?\r\r\n+CREG: 0,1\r\n\r\nOK\r\n", {"AT+CREG?", "+CREG: 0,1", "OK"}},
    {"line feed alone ends nothing", "\r\nRING\n+CREG: 1\r\n", {"+CREG: 1"}},
    {"other control characters drop the run", "\r\nxx\x01yy\r\n", {"yy"}},
    {"carriage return alone keeps the next line whole", "+CREG: 1\r+CREG: 2\r", {"+CREG: 1", "+CREG: 2"}},
};

TEST(IdleParser, SplitAtEveryByte)
{
    for (const auto &c : kIdleCases) {
        const std::string text = c.text;
        for (size_t i = 0; i <= text.size(); ++i) {
            TIdleRun run;
            FeedIdle(run, std::string_view(text).substr(0, i));
            FeedIdle(run, std::string_view(text).substr(i));
            ASSERT_EQ(run.lines, c.lines) << c.name << " cut at " << i;
        }
    }
}

TEST(IdleParser, OnlyDispatchedCharactersAreParsed)
{
    TReceiveBuffer rb;
    AppendReceived(rb, "\r\nOK\r\n");
    rb.dispatched = 3; // "\r\nO"
    EXPECT_FALSE(ExtractIdleLine(rb));
    rb.dispatched = rb.data.size();
    EXPECT_EQ(ExtractIdleLine(rb).value_or("<none>"), "OK");
    EXPECT_EQ(rb.data, "\n");
    EXPECT_EQ(rb.dispatched, 1u);
}

TEST(IdleParser, PendingBody)
{
    // A header announces a body; the body arrives in two reads and is taken at its CR.
    const std::string pdu = "07911326040000F0040B911346610089F60000208062917314080CC8F71D14969741F977FD07";
    TIdleRun run;
    FeedIdle(run, "\r\n+CMT: ,24\r\n");
    ASSERT_EQ(run.lines, TLines{"+CMT: ,24"});
    run.rb.pendingBodyLength = 512;
    FeedIdle(run, pdu.substr(0, 30));
    EXPECT_EQ(run.lines.size(), 1u);
    FeedIdle(run, pdu.substr(30) + "\r\n+CREG: 1\r\n");
    ASSERT_EQ(run.lines.size(), 3u);
    EXPECT_EQ(run.lines[1], pdu);
    EXPECT_EQ(run.lines[2], "+CREG: 1");
    EXPECT_EQ(run.rb.pendingBodyLength, 0u);

    // A text body of announced length is taken without waiting for its CR.
    TIdleRun text;
    FeedIdle(text, "\r\n+CMT: \"+4917\",,\"02/08/26,19:37:41+08\",145,4,0,0,\"+4917\",145,5\r\n");
    text.rb.pendingBodyLength = 5;
    FeedIdle(text, "Hello");
    ASSERT_EQ(text.lines.size(), 2u);
    EXPECT_EQ(text.lines[1], "Hello");

    // A header ended by CR alone: the body starts right after it.
    TIdleRun bare;
    FeedIdle(bare, "+CMT: ,3\r");
    bare.rb.pendingBodyLength = 512;
    FeedIdle(bare, "ABCDEF\r");
    ASSERT_EQ(bare.lines.size(), 2u);
    EXPECT_EQ(bare.lines[1], "ABCDEF");
}

TEST(IdleParser, FloodStaysBoundedAndRecovers)
{
    TIdleRun run;
    const std::string junk(8192, 'z');
    for (int i = 0; i < 32; ++i)
        FeedIdle(run, junk);
    EXPECT_LE(run.rb.data.size(), kMaxReceiveBuffer);
    EXPECT_TRUE(run.lines.empty());
    FeedIdle(run, "\r\n+CREG: 5\r\n");
    ASSERT_FALSE(run.lines.empty());
    EXPECT_EQ(run.lines.back(), "+CREG: 5");
    // Dropping undispatched bytes never leaves the dispatch position past the end.
    TReceiveBuffer rb;
    AppendReceived(rb, std::string(kMaxReceiveBuffer, 'a'));
    rb.dispatched = 100;
    AppendReceived(rb, "bbbb");
    EXPECT_EQ(rb.data.size(), kMaxReceiveBuffer);
    EXPECT_EQ(rb.dispatched, 96u);
}

// ---- parameter readers

// The look ahead at waiting indications counts what the idle parser would hand on as lines, and
// nothing it would not: an unfinished line, a run ended by LF alone, a prefix inside a line.
TEST(IdleParser, CountWaitingLines)
{
    const std::pair<std::string, size_t> cases[] = {
        {"", 0},
        {"\r\n+CMTI: \"SM\",1\r\n", 1},
        {"+CMTI: \"SM\",1\r\n\r\n+CMTI: \"SM\",2\r\n+CDSI: \"SR\",1\r\n", 3},
        {"\r\n+CMTI: \"SM\",1\r\n\r\n+CMTI: \"SM\",2", 1},     // the second is unfinished
        {"\r\n+CMTI: \"SM\",1\n", 0},                          // LF alone ends no line
        {"\r\n+CMGL: 1,0,,23\r\n07911497+CMTI:\r\n", 0},       // not at the line's start
        {"\r\n+CBMI: \"BM\",1\r\n+CMT: ,23\r\n+CMTI:\r\n", 1}, // other lines, a bare prefix
        {"+CMTI: \"SM\",1\r+CMTI: \"SM\",2\r", 2},             // CR alone ends each
    };
    for (const auto &[data, count] : cases)
        EXPECT_EQ(CountWaitingLines(data, {"+CMTI:", "+CDSI:"}), count) << data;
}

TEST(ResponseHelpers, ExtractParam)
{
    const std::string s = "\"SM\",3, 10 ,\"a,b\",(1,2),,x";
    size_t pos = 0;
    const char *expected[] = {"\"SM\"", "3", "10", "\"a,b\"", "(1,2)", "", "x"};
    for (const char *e : expected) {
        EXPECT_TRUE(HasParam(s, pos));
        EXPECT_EQ(ExtractParam(s, pos), e);
    }
    EXPECT_FALSE(HasParam(s, pos));
    EXPECT_EQ(ExtractParam(s, pos), "");
    // A ")" never drives the depth below zero: the comma after it still separates.
    const std::string odd = "a),b";
    pos = 0;
    EXPECT_EQ(ExtractParam(odd, pos), "a)");
    EXPECT_EQ(ExtractParam(odd, pos), "b");
}

std::vector<int> Members(const std::bitset<256> &set)
{
    std::vector<int> r;
    for (size_t i = 0; i < set.size(); ++i) {
        if (set.test(i))
            r.push_back(static_cast<int>(i));
    }
    return r;
}

TEST(ResponseHelpers, ParseRangeSet)
{
    const std::string t = "(0-2),(1,3),(0,2-4),0,(),(254-999),(99999999999999999999),(-2)";
    size_t pos = 0;
    EXPECT_EQ(Members(ParseRangeSet(t, pos)), (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(Members(ParseRangeSet(t, pos)), (std::vector<int>{1, 3}));
    EXPECT_EQ(Members(ParseRangeSet(t, pos)), (std::vector<int>{0, 2, 3, 4}));
    EXPECT_EQ(Members(ParseRangeSet(t, pos)), (std::vector<int>{0}));
    EXPECT_EQ(Members(ParseRangeSet(t, pos)), (std::vector<int>{}));
    EXPECT_EQ(Members(ParseRangeSet(t, pos)), (std::vector<int>{254, 255}));
    EXPECT_EQ(Members(ParseRangeSet(t, pos)), (std::vector<int>{}));
    EXPECT_EQ(Members(ParseRangeSet(t, pos)), (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(Members(ParseRangeSet(t, pos)), (std::vector<int>{})); // past the end
}

TEST(ResponseHelpers, ResponseLines)
{
    EXPECT_TRUE(IsResponseLine("+CMGR: 0,,24"));
    EXPECT_TRUE(IsResponseLine("^SCID: 1"));
    EXPECT_FALSE(IsResponseLine("+CMGR:0"));
    EXPECT_FALSE(IsResponseLine("CMGR: 0"));
    EXPECT_FALSE(IsResponseLine(""));
    EXPECT_EQ(ResponseValue("+CPMS:  \"SM\",1,10 "), "\"SM\",1,10");
    EXPECT_EQ(ResponseValue("0791..."), "0791...");
    EXPECT_EQ(Dequote("\"\"SM\""), "SM");
    EXPECT_EQ(Dequote("\""), "");
    EXPECT_EQ(Dequote("a\"b"), "a\"b");
}

} // namespace
