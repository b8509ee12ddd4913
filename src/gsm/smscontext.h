// What a message object needs to know about the engine it was exchanged with: whether the handset's
// PDUs begin with a service-centre field, and the service centre to report when that field is
// empty. The GSM engine implements it; message objects only refer to it and never own it.
#pragma once

#include <string>

namespace kestrel {

class ISMSContext {
public:
    virtual ~ISMSContext() = default;
    // True when PDUs read from and written to the handset start with a service-centre field.
    virtual bool SCAInPDU() const = 0;
    // The service centre configured for the engine (used when a PDU carries an empty one).
    virtual std::string SCA() const = 0;
};

} // namespace kestrel
