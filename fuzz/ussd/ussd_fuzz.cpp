// A "+CUSD:" line from a modem (the first byte chooses the TE character set) through the USSD
// decoder: it either names the field that failed or gives an answer whose string is within the
// limit and whose text holds no control character but line ends, whatever arrives. The text it
// gives, sent back as an answer, is refused cleanly or encoded.
#include "gsm/gsmerror.h"
#include "gsm/ussd.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

using namespace kestrel;

namespace {

void Check(bool condition)
{
    if (!condition)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    const auto charset = static_cast<TTECharset>(data[0] % 5);
    const std::string_view line(reinterpret_cast<const char *>(data + 1), size - 1);
    TUSSDAnswer answer;
    try {
        answer = DecodeUSSDLine(line, charset);
    } catch (const EGSMError &) {
        return 0;
    }
    Check(answer.Status >= 0 && answer.Status <= 99);
    Check(answer.DCS >= -1 && answer.DCS <= 255);
    Check(answer.Raw.size() <= kMaxUSSDString);
    Check(answer.HasText || answer.Text.isEmpty());
    for (QChar c : answer.Text)
        Check(c == '\n' || c.unicode() >= 0x20);
    try {
        const std::string sent = EncodeUSSDString(answer.Text, charset);
        Check(!sent.empty());
    } catch (const EGSMError &) {
    }
    return 0;
}
