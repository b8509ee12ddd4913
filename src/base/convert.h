// Integer conversion with the runtime's rules: optional blanks and sign, decimal digits, or
// hexadecimal after "$" or "0x"; anything else fails with EConvertError.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kestrel {

// Converts or raises EConvertError '"%s" is an invalid integer'.
int StrToInt(std::string_view text);
long long StrToInt64(std::string_view text);
// Converts or returns the default.
int StrToIntDef(std::string_view text, int def);
// Converts or returns nothing.
std::optional<long long> TryStrToInt64(std::string_view text);
std::string IntToStr(long long value);

} // namespace kestrel
