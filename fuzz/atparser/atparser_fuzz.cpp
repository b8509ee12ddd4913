// Arbitrary bytes from a modem, cut into chunks, through the reply parser of a waiting command and
// the idle line parser (with message bodies announced by "+CMT:" lines), and every line through the
// parameter readers. The buffers must stay within their bounds, the dispatch position within
// the buffer and every line handed on within the line limit, whatever arrives.
#include "gsm/atparser.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

using namespace kestrel;

namespace {

void Check(bool condition)
{
    if (!condition)
        std::abort();
}

void ReadParameters(const std::string &line)
{
    const std::string value = ResponseValue(line);
    size_t pos = 0;
    for (int i = 0; i < 8 && HasParam(value, pos); ++i) {
        const size_t before = pos;
        Dequote(ExtractParam(value, pos));
        Check(pos > before && pos <= value.size());
    }
    pos = 0;
    for (int i = 0; i < 8 && HasParam(value, pos); ++i)
        ParseRangeSet(value, pos);
    IsResponseLine(line);
    FindResultCode(line);
    ATCommandName(line);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    const uint8_t flags = data[0];
    const size_t chunk = 1 + data[1] % 64;
    std::string_view input(reinterpret_cast<const char *>(data + 2), size - 2);

    std::vector<std::string> lines;
    TReplyState reply;
    reply.commandName = "+CMGL";
    reply.waitMask = flags == 0 ? kWaitResult : flags;
    reply.lines = &lines;
    TReceiveBuffer idle;

    for (size_t at = 0; at < input.size(); at += chunk) {
        const std::string_view part = input.substr(at, chunk);
        FeedReply(reply, part);
        Check(reply.buffer.size() <= kMaxLineLength);
        AppendReceived(idle, part);
        Check(idle.data.size() <= kMaxReceiveBuffer);
        // Dispatch all but the last byte now, the rest with the next chunk.
        idle.dispatched = idle.data.empty() ? 0 : idle.data.size() - 1;
        while (auto line = ExtractIdleLine(idle)) {
            Check(idle.dispatched <= idle.data.size());
            // No line handed on is longer than a line may be, nor a body than its announcement.
            Check(line->size() <= kMaxLineLength);
            if (line->rfind("+CMT:", 0) == 0)
                idle.pendingBodyLength = 1 + line->size() % 512;
            ReadParameters(*line);
        }
        Check(idle.dispatched <= idle.data.size());
    }
    for (const auto &l : lines) {
        Check(l.size() <= kMaxLineLength);
        ReadParameters(l);
    }
    return 0;
}
