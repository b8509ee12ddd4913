// What the data module's files share and nobody else needs.
#pragma once

#include "base/datetime.h"

namespace kestrel {

// The service centre of a fresh installation: a placeholder that no network knows, so that a
// handset refuses it at login and the user enters the real one, rather than the handset's own
// setting being replaced by somebody else's centre.
inline constexpr const char *kDefaultSCA = "+0000000000";
// The text of EMessageKept, which ReportError passes over.
inline constexpr const char *kMessageKept = "The message stays on the handset until the store can record it";
// The reassembly stack gives a payload this long from its first segment (days).
inline constexpr TDateTime kStackMaxAge = 5.0 / 1440.0;

} // namespace kestrel
