// kestrel pdu reassemble: received PDUs through one protocol stack, as the application feeds it;
// and what the pdu tools share.
#pragma once

#include "gsm/smscontext.h"

#include <QStringList>

namespace kestrel::cli {

// The context of the pdu tools' --no-sca: the PDUs start with the first octet of the TPDU.
class TNoSCA : public ISMSContext {
public:
    bool SCAInPDU() const override { return false; }
    std::string SCA() const override { return {}; }
};

// args: "kestrel pdu reassemble" followed by the options and PDUs. Returns the exit status.
int RunPduReassemble(const QStringList &args);

} // namespace kestrel::cli
