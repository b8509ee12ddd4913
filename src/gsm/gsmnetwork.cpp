// The network the handset is on, as TGSM asks it (TS 27.007 7.3).
#include "gsm/gsm.h"

#include "base/format.h"
#include "gsm/operators.h"

#include <algorithm>

namespace kestrel {

namespace {

constexpr uint8_t kQueryFlags = kWaitResult | kWaitReply | kPrefixedReply;

bool IsDigits(std::string_view s)
{
    return std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool IsNumericCode(std::string_view s)
{
    return (s.size() == 5 || s.size() == 6) && IsDigits(s);
}

} // namespace

TNetworkOperator TGSM::QueryOperator()
{
    CheckActive();
    BeginBusy();
    TNetworkOperator result;
    try {
        // Format -1 reads in whatever form the handset has set.
        auto read = [this](int format) {
            std::vector<std::string> lines;
            if (format >= 0 &&
                ExecCommand(Format("AT+COPS=3,%d", format), kWaitResult | kErrorIsSuccess, nullptr, 1) != 0)
                return TCOPSAnswer{};
            if (ExecCommand("AT+COPS?", kQueryFlags | kErrorIsSuccess, &lines, 1) != 0 || lines.empty())
                return TCOPSAnswer{};
            return ParseCOPSRead(lines.front());
        };
        const TCOPSAnswer numeric = read(2);
        // Older handsets know no format choice: what they answer as they are is all there is.
        const TCOPSAnswer named = read(numeric.Format == 2 ? 0 : -1);
        for (const TCOPSAnswer *a : {&numeric, &named}) {
            if (a->Operator.empty())
                continue;
            if (a->Format == 2 || IsNumericCode(a->Operator))
                result.Numeric = a->Operator;
            else if (a->Format == 0 || a->Format == 1)
                result.Name = FromTECharset(a->Operator, TECharacterSet()).trimmed();
            if (a->AcT >= 0)
                result.AcT = a->AcT;
        }
        if (result.Name.isEmpty() && !result.Numeric.empty())
            result.Name = NetworkName(result.Numeric);
    } catch (...) {
        EndBusy();
        throw;
    }
    EndBusy();
    return result;
}

std::string TGSM::SubscriberIdentity()
{
    CheckActive();
    std::vector<std::string> lines;
    // The answer has no prefix: the reply line is the number itself.
    if (ExecCommand("AT+CIMI", kWaitResult | kWaitReply | kErrorIsSuccess, &lines, 1) != 0)
        return {};
    for (const std::string &line : lines) {
        const std::string_view value = TrimBlanks(line);
        // TS 23.003 2.2: at most 15 digits.
        if (value.size() >= 6 && value.size() <= 15 && IsDigits(value))
            return std::string(value);
    }
    return {};
}

} // namespace kestrel
