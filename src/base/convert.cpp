#include "base/convert.h"

#include "base/format.h"
#include "base/rtlerrors.h"

#include <climits>

namespace kestrel {

std::optional<long long> TryStrToInt64(std::string_view text)
{
    size_t i = 0;
    while (i < text.size() && text[i] == ' ')
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
        negative = text[i] == '-';
        ++i;
    }
    int base = 10;
    if (i < text.size() && text[i] == '$') {
        base = 16;
        ++i;
    } else if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    if (i >= text.size())
        return std::nullopt;
    unsigned long long value = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            return std::nullopt;
        // Hexadecimal may use the full unsigned range (as the runtime allows); decimal may not. The
        // decimal limit is checked before the step, which would otherwise wrap around 2^64.
        if (base == 10 &&
            value > (static_cast<unsigned long long>(LLONG_MAX) - static_cast<unsigned>(digit)) / 10)
            return std::nullopt;
        value = value * static_cast<unsigned>(base) + static_cast<unsigned>(digit);
        if (base == 16 && value > 0xFFFFFFFFFFFFFFFFull >> 4)
            return std::nullopt;
    }
    long long result = static_cast<long long>(value);
    return negative ? -result : result;
}

long long StrToInt64(std::string_view text)
{
    if (auto v = TryStrToInt64(text))
        return *v;
    throw EConvertError(Format("\"%s\" is an invalid integer", std::string(text).c_str()));
}

int StrToInt(std::string_view text)
{
    auto v = TryStrToInt64(text);
    if (!v || *v < INT_MIN || *v > INT_MAX)
        throw EConvertError(Format("\"%s\" is an invalid integer", std::string(text).c_str()));
    return static_cast<int>(*v);
}

int StrToIntDef(std::string_view text, int def)
{
    auto v = TryStrToInt64(text);
    if (!v || *v < INT_MIN || *v > INT_MAX)
        return def;
    return static_cast<int>(*v);
}

std::string IntToStr(long long value)
{
    return std::to_string(value);
}

void RaiseListIndexError(long long index)
{
    throw EListError(Format("List index out of bounds (%lld)", index));
}

} // namespace kestrel
