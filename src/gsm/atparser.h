// Framing of the AT dialogue as plain functions over buffers: the reply parser that follows a
// waiting command, the idle line parser that extracts unsolicited lines, the result-code table,
// and the small helpers that read parameters out of response lines (3GPP TS 27.007 4.1, 5.7;
// TS 27.005 3). Nothing here knows about threads, locks or the serial port; TGSM wires them.
#pragma once

#include "gsm/bytereader.h"

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrel {

// Command flags; the receive status of a waiting command uses the same bit numbering.
constexpr uint8_t kWaitResult = 0x01;     // wait for a final result; only OK-class succeeds
constexpr uint8_t kWaitReply = 0x02;      // wait for at least one reply line
constexpr uint8_t kWaitFinal = 0x04;      // with kWaitResult: the final result after the reply lines
constexpr uint8_t kWaitPrompt = 0x08;     // data command: the data part follows the ">" prompt
constexpr uint8_t kPrefixedReply = 0x10;  // collect only "<name>:" lines, prefix removed
constexpr uint8_t kWaitLineEnd = 0x20;    // internal: an unfinished line must complete first
constexpr uint8_t kErrorIsSuccess = 0x40; // an ERROR-class final result counts as success

// Upper bound of the text kept unparsed in the receive and reply buffers. A device that streams
// without line ends loses its oldest unfinished bytes instead of growing memory without limit.
constexpr size_t kMaxReceiveBuffer = 64 * 1024;
// Longest line the parsers accept. A PDU line is at most 376 characters (TS 27.005 3.1: a TPDU of
// 176 octets after a service centre address of 12) and answer lines are far shorter; a longer
// run is discarded whole, up to its line end, rather than handed on cut short.
constexpr size_t kMaxLineLength = 8 * 1024;
// Upper bound of the reply lines one command collects (a full storage listing is far below it);
// a device flooding lines while a command waits cannot grow the caller's list without limit.
constexpr size_t kMaxReplyText = 1024 * 1024;

// One entry of the result-code table. Codes whose params contain "RES" end a command; the others
// are recognised (so never collected as reply lines) but end nothing.
struct TResultCode {
    std::string_view name;
    int code;
    std::string_view params; // "RES,OK", "RES,ERR" or empty
};

// The result codes in table order: OK, RING, NO CARRIER, ERROR, NO DIAL TONE, BUSY, +CMS ERROR:,
// +CME ERROR:.
const std::vector<TResultCode> &ResultCodes();
// The entry a received line stands for: its exact name ignoring letter case, or "ERROR" for an
// error report that carries a number or text ("+CME ERROR: 10", "+CMS ERROR: 500"). nullptr for
// every other line.
const TResultCode *FindResultCode(std::string_view line);
// True when the final result line is of the OK class (only "OK", in any letter case).
bool ResultIsOK(std::string_view resultLine);

// ASCII letters to upper case; other bytes unchanged.
std::string UpperASCII(std::string_view s);
// s without the characters up to and including space at both ends.
std::string_view TrimBlanks(std::string_view s);

// The command name of an AT command: upper case, without "AT" and without its parameters
// ("+CMGS" for "AT+CMGS=23>...", "E1" for "ATE1"). Nothing when the text does not start with "AT".
std::optional<std::string> ATCommandName(std::string_view cmd);

// State of the reply parser for the command that waits.
struct TReplyState {
    uint8_t waitMask = 0;
    uint8_t receiveStatus = 0;
    std::string commandName;
    int resultCode = 0;
    std::string resultLine;                    // the final result line as received
    std::vector<std::string> *lines = nullptr; // reply-line target, not owned; may be null
    size_t collected = 0;                      // characters added to lines by this command
    std::string buffer;                        // received bytes of an unfinished line
    bool discarding = false;                   // the rest of an over-long line is being dropped
    bool skipBody = false;                     // the next line is the body of a routed message
    // What arrived while the command waited, beside its answer:
    size_t noiseBytes = 0; // bytes that are no AT dialogue at all (lines the command did not ask
                           // for that are no result code or "+"/"^" line, runs cut by stray
                           // control characters, over-long runs): a wrong port or line speed
    size_t namedLines = 0; // lines beginning with the command's name and ":" (sure answers)
    size_t namedBytes = 0; // their characters; counting stops at kMaxReplyText
    bool echoSeen = false; // the handset echoed the command
};

// True when a received chunk leaves a line unfinished: it ends neither with CR or LF nor, while a
// prompt is awaited, with the prompt ">" or "> ".
bool ChunkEndsMidLine(std::string_view chunk, uint8_t waitMask);
// Feeds one received chunk to the parser of the waiting command: marks line completion and the
// prompt, collects reply lines, records the final result, and keeps an incomplete tail. Returns
// true when the chunk made progress: a line that answers the command (its echo, a final result,
// a reply line it waits for) or a condition it waits for. Only that restarts the silence timeout,
// so neither bytes that never form a line nor lines that answer something else (unsolicited
// reports, the sentences of a navigation receiver) keep a command waiting.
// A line longer than kMaxLineLength is dropped whole. The line after the header of a routed
// message ("+CMT:", "+CBM:", a PDU-mode "+CDS:") is that message's body: it is left to the
// idle parser and never collected as the command's reply.
bool FeedReply(TReplyState &state, std::string_view chunk);
// True when every condition the wait mask asks for (except the collection flags) has been seen.
bool ReplyConditionsMet(const TReplyState &state);

// Everything received, in order, until the idle line parser consumes it.
struct TReceiveBuffer {
    std::string data;
    size_t dispatched = 0;         // characters at the head already passed to OnRxChar
    size_t pendingBodyLength = 0;  // a message body announced by a header line (0 = none)
    size_t pendingBodyBegin = 0;   // where that body is expected to start
    bool discarding = false;       // the rest of an over-long line is being dropped
    bool discardUncounted = false; // ... and is not yet counted in discardedLines
    bool bodyJustEnded = false;    // a body ended at the dispatch position: its line must end next
    size_t discardedLines = 0;     // lines dropped whole or in part, not yet reported
    uint64_t consumed = 0;         // bytes taken off the head so far: where data[0] stands in the
                                   // stream of everything received
};

// Appends received bytes, dropping the oldest when the buffer would pass kMaxReceiveBuffer. A
// line cut by that is dropped whole and counted in discardedLines.
void AppendReceived(TReceiveBuffer &rb, std::string_view chunk);
// Takes the next line (or announced message body) out of the dispatched part of the buffer, and
// drops control characters and runs that cannot form a line. A run longer than kMaxLineLength
// is dropped up to its line end, as is the rest of a line that continues past its announced
// body; each counts in discardedLines. Nothing when more data is needed.
std::optional<std::string> ExtractIdleLine(TReceiveBuffer &rb);
// The complete lines (runs ended by CR, as ExtractIdleLine takes them) in data that begin with
// one of prefixes: a look ahead at what waits to be handled, which consumes nothing.
size_t CountWaitingLines(std::string_view data, std::initializer_list<std::string_view> prefixes);

// Parameter readers for response lines. Positions count from 0.
// The next parameter from pos: up to the first "," outside double quotes and parentheses,
// trimmed; pos moves past that comma, or to the end of s.
std::string ExtractParam(std::string_view s, size_t &pos);
// True while ExtractParam has another parameter to give.
inline bool HasParam(std::string_view s, size_t pos)
{
    return pos < s.size();
}
// The next parameter read as a set of values, as in "(0-2)" or "(1,3)" of a test answer.
std::bitset<256> ParseRangeSet(std::string_view s, size_t &pos);
// Not empty, starts with "+" or "^", and contains ": ".
bool IsResponseLine(std::string_view s);
// For a response line, the text after the first ": ", trimmed; any other line unchanged.
std::string ResponseValue(std::string_view s);
// s without leading and trailing double-quote characters.
std::string Dequote(std::string_view s);

// At most 40 characters of received text for an error message, control and non-ASCII bytes as
// "?", so that what a modem sends cannot steer the terminal that shows the error.
std::string PrintableExcerpt(std::string_view s);
// The next field of a parameter list in r: up to a comma outside double quotes (consumed), or
// the end; trimmed. Unclosed is set when the field leaves a quote open.
std::string_view NextQuotedField(TByteReader &r, bool &unclosed);

} // namespace kestrel
