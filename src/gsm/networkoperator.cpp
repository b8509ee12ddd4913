#include "gsm/networkoperator.h"

#include "base/convert.h"
#include "gsm/atparser.h"
#include "gsm/bytereader.h"
#include "gsm/gsmerrors.h"

namespace kestrel {

namespace {

// TS 27.007 7.3: a long alphanumeric name has up to 16 characters; as UCS2 hexadecimal 64.
constexpr size_t kMaxOperator = 64;

int numberField(std::string_view text, const char *field, int max)
{
    const auto v = TryStrToInt64(TrimBlanks(text));
    if (!v || *v < 0 || *v > max)
        GSMErrorFmt("+COPS %s: \"%s\" is no number of 0 to %d", field,
                    PrintableExcerpt(TrimBlanks(text)).c_str(), max);
    return static_cast<int>(*v);
}

} // namespace

const char *AccessTechnologyName(int act)
{
    switch (act) {
    case 0:
    case 1:
    case 3:
    case 8:
        return "GSM";
    case 2:
    case 4:
    case 5:
    case 6:
        return "UMTS";
    case 7:
    case 9:
    case 10:
        return "LTE";
    case 11:
    case 12:
    case 13:
        return "NR";
    default:
        return "";
    }
}

TCOPSAnswer ParseCOPSRead(std::string_view line)
{
    std::string_view value = TrimBlanks(line);
    if (value.size() >= 6 && UpperASCII(value.substr(0, 6)) == "+COPS:")
        value = TrimBlanks(value.substr(6));
    TCOPSAnswer answer;
    TByteReader r(value);
    auto field = [&r](bool &unclosed) { return NextQuotedField(r, unclosed); };
    bool unclosed = false;
    answer.Mode = numberField(field(unclosed), "mode", 4);
    if (r.AtEnd())
        return answer;
    const std::string_view format = field(unclosed);
    if (!format.empty())
        answer.Format = numberField(format, "format", 2);
    const std::string_view oper = field(unclosed);
    if (unclosed)
        GSMError("+COPS operator: no closing quote");
    answer.Operator = Dequote(oper);
    if (answer.Operator.size() > kMaxOperator)
        GSMErrorFmt("+COPS operator: %zu characters, at most %zu", answer.Operator.size(), kMaxOperator);
    const std::string_view act = field(unclosed);
    if (!act.empty())
        answer.AcT = numberField(act, "access technology", 255);
    return answer;
}

} // namespace kestrel
