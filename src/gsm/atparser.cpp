#include "gsm/atparser.h"

#include <algorithm>

namespace kestrel {

namespace {

bool IsControl(char c)
{
    return static_cast<unsigned char>(c) < 0x20;
}

bool StartsWith(std::string_view s, std::string_view prefix)
{
    return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

bool SameText(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && UpperASCII(a) == UpperASCII(b);
}

// An error report that is not a bare result name: "+CME ERROR: 10", "+CMS ERROR: 500", a vendor's
// "+EXT ERROR: 2", or "ERROR" followed by a cause. The word must stand in the line's prefix, so a
// message text that happens to contain it (a text-mode body line) is still collected as data.
bool IsErrorReport(std::string_view upper)
{
    if (StartsWith(upper, "ERROR"))
        return true;
    if (upper.empty() || (upper[0] != '+' && upper[0] != '^'))
        return false;
    std::string_view prefix = upper.substr(0, upper.find(':'));
    return prefix.find("ERROR") != std::string_view::npos;
}

const TResultCode *FindByName(std::string_view name)
{
    for (const auto &rc : ResultCodes()) {
        if (SameText(rc.name, name))
            return &rc;
    }
    return nullptr;
}

} // namespace

const std::vector<TResultCode> &ResultCodes()
{
    static const std::vector<TResultCode> codes = {
        {"OK", 0, "RES,OK"},
        {"RING", 2, ""},
        {"NO CARRIER", 3, ""},
        {"ERROR", 4, "RES,ERR"},
        {"NO DIAL TONE", 6, ""},
        {"BUSY", 7, ""},
        {"+CMS ERROR:", 255, "RES,ERR"},
        {"+CME ERROR:", 254, "RES,ERR"},
    };
    return codes;
}

const TResultCode *FindResultCode(std::string_view line)
{
    if (const TResultCode *rc = FindByName(line))
        return rc;
    if (IsErrorReport(UpperASCII(line)))
        return FindByName("ERROR");
    return nullptr;
}

bool ResultIsOK(std::string_view resultLine)
{
    const TResultCode *rc = FindByName(resultLine);
    return rc && rc->params.find("OK") != std::string_view::npos;
}

std::string UpperASCII(std::string_view s)
{
    std::string r(s);
    for (char &c : r) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
    return r;
}

std::string_view TrimBlanks(std::string_view s)
{
    while (!s.empty() && static_cast<unsigned char>(s.front()) <= ' ')
        s.remove_prefix(1);
    while (!s.empty() && static_cast<unsigned char>(s.back()) <= ' ')
        s.remove_suffix(1);
    return s;
}

std::optional<std::string> ATCommandName(std::string_view cmd)
{
    std::string upper = UpperASCII(cmd);
    std::string_view name = TrimBlanks(upper);
    if (!StartsWith(name, "AT"))
        return std::nullopt;
    name.remove_prefix(2);
    name = name.substr(0, name.find_first_of("=?;"));
    return std::string(name);
}

bool ChunkEndsMidLine(std::string_view chunk, uint8_t waitMask)
{
    if (chunk.empty())
        return true;
    char last = chunk.back();
    // The data prompt is ">" followed by a space (TS 27.005 3.5.1); it ends no line but is whole.
    if ((waitMask & kWaitPrompt) && last == ' ' && chunk.size() >= 2 && chunk[chunk.size() - 2] == '>')
        return false;
    return !(last == '\n' || last == '\r' || ((waitMask & kWaitPrompt) && last == '>'));
}

namespace {

void Collect(TReplyState &st, std::string line)
{
    st.receiveStatus |= kWaitReply;
    if (!st.lines || st.collected + line.size() > kMaxReplyText)
        return;
    st.collected += line.size();
    st.lines->push_back(std::move(line));
}

// The header of a message routed to the host while a command runs (TS 27.005 3.4.1): its body
// line follows. A text-mode "+CDS:" carries the whole report; the PDU-mode one only a length.
bool AnnouncesBody(std::string_view line)
{
    if (StartsWith(line, "+CMT:") || StartsWith(line, "+CBM:"))
        return true;
    return StartsWith(line, "+CDS:") && line.find(',') == std::string_view::npos;
}

// What a received line is to the waiting command.
enum class TLineKind {
    Answer, // its echo, a final result, or a reply line it waits for
    Named,  // a line that begins with its name: an answer for sure
    Other,  // AT dialogue that is not its answer (unsolicited reports, RING, routed messages)
    Noise   // no AT dialogue at all
};

TLineKind HandleReplyLine(TReplyState &st, const std::string &line)
{
    const std::string upper = UpperASCII(line);
    const std::string &name = st.commandName;
    if (StartsWith(upper, "AT" + name)) {
        st.echoSeen = true;
        return TLineKind::Answer; // the modem's echo of the command
    }
    if (const TResultCode *rc = FindResultCode(line)) {
        st.skipBody = false;
        if (rc->params.find("RES") == std::string_view::npos)
            return TLineKind::Other;
        st.resultCode = rc->code;
        st.resultLine = line;
        st.receiveStatus |= kWaitResult | kWaitReply;
        return TLineKind::Answer;
    }
    if (st.skipBody && !line.empty()) {
        st.skipBody = false; // a routed message's body: the idle parser takes it afterwards
        return TLineKind::Other;
    }
    const std::string prefix = name + ":";
    const bool named = StartsWith(upper, prefix);
    if (!named && AnnouncesBody(line)) {
        st.skipBody = true;
        return TLineKind::Other;
    }
    const bool dialogue = line.empty() || line[0] == '+' || line[0] == '^';
    if (named && st.namedBytes <= kMaxReplyText) {
        ++st.namedLines;
        st.namedBytes += line.size();
    }
    if (st.waitMask & kPrefixedReply) {
        if (!named)
            return dialogue ? TLineKind::Other : TLineKind::Noise;
        Collect(st, std::string(TrimBlanks(std::string_view(line).substr(prefix.size()))));
        return TLineKind::Named;
    }
    // Answer lines of other commands (an unsolicited "+CREG: 1" during "AT+CSQ") are not ours.
    if (dialogue && !named)
        return TLineKind::Other;
    Collect(st, line);
    if (named)
        return TLineKind::Named;
    // A text line answers only a command that waits for reply lines.
    return (st.waitMask & kWaitReply) ? TLineKind::Answer : TLineKind::Noise;
}

// The end of the line text in b[start, end): trailing CRs belong to the line end.
size_t WithoutTrailingCRs(const std::string &b, size_t start, size_t end)
{
    while (end > start && b[end - 1] == '\r')
        --end;
    return end;
}

} // namespace

bool FeedReply(TReplyState &st, std::string_view chunk)
{
    const uint8_t statusBefore = st.receiveStatus;
    bool answered = false;
    if (!ChunkEndsMidLine(chunk, st.waitMask) && (st.waitMask & kWaitLineEnd))
        st.receiveStatus |= kWaitLineEnd;
    if ((st.waitMask & kWaitPrompt) && chunk.find('>') != std::string_view::npos)
        st.receiveStatus |= kWaitPrompt;
    st.buffer.append(chunk);

    const std::string &b = st.buffer;
    const size_t n = b.size();
    size_t pos = 0;
    if (st.discarding) {
        // The rest of an over-long line, up to its end.
        while (pos < n && !IsControl(b[pos]))
            ++pos;
        st.noiseBytes += pos;
        st.discarding = pos == n;
    }
    size_t keep = n; // start of an incomplete line, kept for the next chunk
    while (pos < n) {
        while (pos < n && IsControl(b[pos]))
            ++pos;
        const size_t start = pos;
        while (pos < n && (b[pos] == '\r' || !IsControl(b[pos])))
            ++pos;
        if (pos == n) {
            keep = start;
            break;
        }
        const size_t end = WithoutTrailingCRs(b, start, pos);
        if (b[pos] == '\n' && end - start <= kMaxLineLength) {
            switch (HandleReplyLine(st, b.substr(start, end - start))) {
            case TLineKind::Answer:
            case TLineKind::Named:
                answered = true;
                break;
            case TLineKind::Noise:
                st.noiseBytes += end - start;
                break;
            case TLineKind::Other:
                break;
            }
            if ((st.receiveStatus & kWaitResult) && (st.receiveStatus & kWaitReply))
                st.receiveStatus |= kWaitFinal;
        } else {
            st.noiseBytes += end - start; // a run ended by another control character is dropped
        }
        ++pos;
    }
    st.buffer.erase(0, keep);
    if (WithoutTrailingCRs(st.buffer, 0, st.buffer.size()) > kMaxLineLength ||
        st.buffer.size() > 2 * kMaxLineLength) {
        // No line is this long (nor its run of line ends): the whole of it goes, not its head.
        st.noiseBytes += st.buffer.size();
        st.buffer.clear();
        st.discarding = true;
    }
    // Only what the command waits for counts: a reply line collected by a command that asked
    // for none is no progress, nor is a condition it does not wait for.
    const uint8_t gained = st.receiveStatus & static_cast<uint8_t>(~statusBefore);
    return answered || (gained & st.waitMask) != 0;
}

bool ReplyConditionsMet(const TReplyState &st)
{
    const uint8_t needed = st.waitMask & ~(kPrefixedReply | kErrorIsSuccess);
    return (st.receiveStatus & needed) == needed;
}

namespace {

// Drops what is left of the current line, up to its end, and counts it once: at once, or
// (later) when the scan for the next line gets to it, so that a drop is always reported before
// the line that follows it and after the line it follows.
void DiscardRestOfLine(TReceiveBuffer &rb, bool countNow = true)
{
    if (!rb.discarding) {
        rb.discarding = true;
        rb.discardUncounted = true;
    }
    if (countNow && rb.discardUncounted) {
        ++rb.discardedLines;
        rb.discardUncounted = false;
    }
}

} // namespace

void AppendReceived(TReceiveBuffer &rb, std::string_view chunk)
{
    rb.data.append(chunk);
    if (rb.data.size() <= kMaxReceiveBuffer)
        return;
    const size_t drop = rb.data.size() - kMaxReceiveBuffer;
    // A line cut in two by the drop is dropped whole: its tail alone would pass for a line.
    if (!IsControl(rb.data[drop - 1]) && !IsControl(rb.data[drop]))
        DiscardRestOfLine(rb);
    rb.data.erase(0, drop);
    rb.consumed += drop;
    rb.dispatched = rb.dispatched > drop ? rb.dispatched - drop : 0;
    if (rb.pendingBodyLength > 0)
        rb.pendingBodyBegin = rb.pendingBodyBegin > drop ? rb.pendingBodyBegin - drop : 0;
}

namespace {

void EraseHead(TReceiveBuffer &rb, size_t count)
{
    count = std::min(count, rb.data.size());
    rb.data.erase(0, count);
    rb.consumed += count;
    rb.dispatched = rb.dispatched > count ? rb.dispatched - count : 0;
}

} // namespace

std::optional<std::string> ExtractIdleLine(TReceiveBuffer &rb)
{
    const std::string &d = rb.data;
    const size_t limit = std::min(rb.dispatched, d.size());

    if (rb.pendingBodyLength > 0) {
        // The body follows the control character that ended its header line; a handset that
        // ends the header with CR alone starts the body right after it.
        size_t begin = rb.pendingBodyBegin;
        if (begin > limit)
            return std::nullopt; // the header's line end has not arrived yet
        while (begin > 0 && !IsControl(d[begin - 1]))
            --begin;
        // A body of announced length is never empty: blank lines before it are not the body.
        while (begin < limit && (d[begin] == '\n' || d[begin] == '\r'))
            ++begin;
        rb.pendingBodyBegin = begin;
        size_t length = rb.pendingBodyLength;
        const size_t available = limit > begin ? limit - begin : 0;
        const size_t cr = std::string_view(d).substr(begin, std::min(length, available)).find('\r');
        if (cr != std::string_view::npos)
            length = cr;
        if (available < length)
            return std::nullopt;
        std::string body = d.substr(begin, length);
        size_t consumed = begin + length;
        if (consumed < limit && d[consumed] == '\r')
            ++consumed;
        else if (consumed < limit && !IsControl(d[consumed]))
            DiscardRestOfLine(rb, false);     // the line runs on past the announced body
        rb.bodyJustEnded = consumed == limit; // what follows is not known yet
        EraseHead(rb, consumed);
        rb.pendingBodyLength = 0;
        rb.pendingBodyBegin = 0;
        return body;
    }

    size_t pos = 0;
    if (rb.bodyJustEnded && limit > 0) {
        rb.bodyJustEnded = false;
        if (!IsControl(d[0]))
            DiscardRestOfLine(rb);
    }
    if (rb.discarding) {
        DiscardRestOfLine(rb);
        while (pos < limit && !IsControl(d[pos]))
            ++pos;
        rb.discarding = pos == limit;
    }
    while (pos < limit) {
        while (pos < limit && IsControl(d[pos]))
            ++pos;
        const size_t start = pos;
        while (pos < limit && !IsControl(d[pos]))
            ++pos;
        if (pos == limit) {
            if (limit - start > kMaxLineLength) {
                // No line is this long: drop what came and the rest up to its end.
                DiscardRestOfLine(rb);
                EraseHead(rb, limit);
                return std::nullopt;
            }
            EraseHead(rb, start); // an incomplete line waits for more data
            return std::nullopt;
        }
        if (d[pos] == '\r' && pos - start > kMaxLineLength) {
            ++rb.discardedLines; // whole, but longer than any line
            ++pos;
            continue;
        }
        if (d[pos] == '\r') {
            std::string line = d.substr(start, pos - start);
            EraseHead(rb, pos + 1);
            // A body announced by this line starts after the character that follows its CR.
            rb.pendingBodyBegin = 1;
            return line;
        }
        ++pos; // a run ended by another control character is not a line
    }
    EraseHead(rb, pos);
    return std::nullopt;
}

size_t CountWaitingLines(std::string_view data, std::initializer_list<std::string_view> prefixes)
{
    size_t count = 0;
    size_t pos = 0;
    while (pos < data.size()) {
        while (pos < data.size() && IsControl(data[pos]))
            ++pos;
        const size_t start = pos;
        while (pos < data.size() && !IsControl(data[pos]))
            ++pos;
        if (pos == data.size() || data[pos] != '\r')
            continue; // unfinished, or no line
        const std::string_view line = data.substr(start, pos - start);
        for (std::string_view prefix : prefixes)
            if (line.substr(0, prefix.size()) == prefix) {
                ++count;
                break;
            }
    }
    return count;
}

std::string ExtractParam(std::string_view s, size_t &pos)
{
    if (pos >= s.size()) {
        pos = s.size();
        return {};
    }
    bool quoted = false;
    int depth = 0;
    size_t i = pos;
    for (; i < s.size(); ++i) {
        const char c = s[i];
        if (c == '"')
            quoted = !quoted;
        else if (!quoted && c == '(')
            ++depth;
        else if (!quoted && c == ')' && depth > 0)
            --depth;
        else if (!quoted && depth == 0 && c == ',')
            break;
    }
    std::string result(TrimBlanks(s.substr(pos, i - pos)));
    pos = i < s.size() ? i + 1 : s.size();
    return result;
}

std::bitset<256> ParseRangeSet(std::string_view s, size_t &pos)
{
    const std::string param = ExtractParam(s, pos);
    std::bitset<256> set;
    long previous = 0;
    size_t i = 0;
    while (i < param.size()) {
        if (param[i] < '0' || param[i] > '9') {
            ++i;
            continue;
        }
        const bool range = i > 0 && param[i - 1] == '-';
        long value = 0;
        while (i < param.size() && param[i] >= '0' && param[i] <= '9') {
            // Saturates: a hostile number must not overflow; anything above 255 is dropped anyway.
            value = std::min(value * 10 + (param[i] - '0'), 100000L);
            ++i;
        }
        if (range) {
            for (long v = std::max(previous, 0L); v <= std::min(value, 255L); ++v)
                set.set(static_cast<size_t>(v));
        } else if (value <= 255) {
            set.set(static_cast<size_t>(value));
        }
        previous = value;
    }
    return set;
}

bool IsResponseLine(std::string_view s)
{
    return !s.empty() && (s[0] == '+' || s[0] == '^') && s.find(": ") != std::string_view::npos;
}

std::string ResponseValue(std::string_view s)
{
    if (!IsResponseLine(s))
        return std::string(s);
    return std::string(TrimBlanks(s.substr(s.find(": ") + 2)));
}

std::string Dequote(std::string_view s)
{
    while (!s.empty() && s.front() == '"')
        s.remove_prefix(1);
    while (!s.empty() && s.back() == '"')
        s.remove_suffix(1);
    return std::string(s);
}

std::string PrintableExcerpt(std::string_view s)
{
    std::string out(s.substr(0, 40));
    for (char &c : out)
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F)
            c = '?';
    return out;
}

std::string_view NextQuotedField(TByteReader &r, bool &unclosed)
{
    size_t n = 0;
    bool quoted = false;
    for (TByteReader look = r; !look.AtEnd(); ++n) {
        uint8_t b = 0;
        look.Next(b);
        if (b == '"')
            quoted = !quoted;
        else if (b == ',' && !quoted)
            break;
    }
    unclosed = unclosed || quoted;
    std::string_view f = r.TakeUpTo(n);
    r.Skip(1); // the comma, when there is one
    return TrimBlanks(f);
}

} // namespace kestrel
