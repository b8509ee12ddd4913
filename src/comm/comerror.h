// The serial unit's exception class; the GSM engine's EGSMError derives from it.
#pragma once

#include "connect/connection.h"

namespace kestrel {

class EComError : public EConnectError {
public:
    using EConnectError::EConnectError;
};

} // namespace kestrel
