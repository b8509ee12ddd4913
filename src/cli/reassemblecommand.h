// kestrel pdu reassemble: received PDUs through one protocol stack, as the application feeds it.
#pragma once

#include <QStringList>

namespace kestrel::cli {

// args: "kestrel pdu reassemble" followed by the options and PDUs. Returns the exit status.
int RunPduReassemble(const QStringList &args);

} // namespace kestrel::cli
