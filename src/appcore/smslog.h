// The log files: appending whole records, and user data as a log line shows it.
#pragma once

#include <cstddef>
#include <string>

namespace kestrel {

// Appends text to the file (created when missing; nothing for "<none>"), holding an exclusive
// lock while writing so that two writers never interleave. Raises EConnectError when the file
// cannot be opened or the text not written whole (a full disk).
void AppendToLogFile(const std::string &path, const std::string &text);
// Longest piece of a modem line the GSM log holds back waiting for its line feed.
constexpr size_t kMaxModemLogLine = 4096;
// User data for a log line: CR and LF spelled out, the whole data as hex at any other control
// character.
std::string PrintableUserData(const std::string &data);

} // namespace kestrel
