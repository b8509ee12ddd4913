// The GSM unit's message catalogue: the texts of the equipment errors (+CME ERROR, 3GPP TS 27.007
// 9.2) and message-service errors (+CMS ERROR, 3GPP TS 27.005 3.2.5) by resource identifier, and
// the engine's own messages with their printf-style placeholders.
#pragma once

#include "gsm/gsmerror.h"

#include <string>

namespace kestrel {

// Resource identifiers of the modem error texts: 5000 + n for "+CME ERROR: n", 6000 + n for
// "+CMS ERROR: n". The two ranges never overlap (the highest +CME number with a text is 262).
constexpr int kCMEErrorBase = 5000;
constexpr int kCMSErrorBase = 6000;

// The text of a resource identifier; empty when the identifier has none.
std::string GSMResourceString(int id);

// The engine's own messages.
inline constexpr const char SNoReplyOnATCommand[] = "No reply on AT command: %s";
// The same when the device kept sending something else: the port of another function (the
// navigation receiver of a module) or the wrong line speed.
inline constexpr const char SNoReplyAmidData[] =
    "No reply on AT command: %s (the device sends data that is no answer: wrong port or line speed?)";
inline constexpr const char SResultReturnedOnATCommand[] = "%s%s was returned on AT command: %s";
inline constexpr const char SErrorWasReturned[] = "Error was returned: %s";
inline constexpr const char SBadATCommand[] = "Bad AT command";
inline constexpr const char SBadPDUFormat[] = "Bad PDU format";
inline constexpr const char SNoAssignedCOMDevice[] = "No assigned COM device";
inline constexpr const char SPINRequired[] = "PIN required";
inline constexpr const char SPINNotExpected[] = "PIN is not expected (%s)";
inline constexpr const char SNoResponse[] = "no response";
inline constexpr const char SWavecomInitError[] = "Wavecom initialization error (no +WIND: 4)";
inline constexpr const char SSMSFormatNotSupported[] = "SMS format (%d) is not supported";
inline constexpr const char SBadEquipmentName[] = "Bad equipment name";
inline constexpr const char SSMSTypeNotSupported[] = "SMS type not supported";
// Received text that cannot be a line is dropped, and the application told so.
inline constexpr const char SLineDiscarded[] =
    "A received line was discarded (longer than %u characters or running on past its message body)";
inline constexpr const char SOddPDULine[] = "A message PDU line of odd length (%u characters) is no message";
inline constexpr const char SPDULineTooLong[] =
    "A message PDU line of %u characters or more is longer than any message";
// The line went away under a waiting command (the handset was unplugged or switched off, or the
// other end of a pseudo-terminal closed): raised once, instead of repeating into a dead line.
inline constexpr const char SDeviceLost[] = "Connection to %s lost on AT command: %s (%s)";
// The same while no command waited (a message may have been cut off): reported to the application
// once, through the processing-error event.
inline constexpr const char SDeviceLostIdle[] = "Connection to %s lost (%s)";

// A handset that restarted while open: how it showed, and what became of setting it up again.
inline constexpr const char SRestartEcho[] = "its echo is back on";
inline constexpr const char SRestartPIN[] = "its SIM asks for the PIN again";
inline constexpr const char SRestartSetupFailed[] =
    "The handset restarted (%s) and could not be set up again: %s";
inline constexpr const char SRestartSetupRestarted[] =
    "The handset restarted (%s) and restarted again each of the %d times it was being set up; it is left as "
    "it is";

// Raises EGSMError with the text.
[[noreturn]] void GSMError(const std::string &msg);
// Raises EGSMError with the text formatted printf-style.
[[noreturn]] void GSMErrorFmt(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

} // namespace kestrel
