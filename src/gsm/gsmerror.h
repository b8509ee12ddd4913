// The GSM unit's exception class, raised by the engine, the message model and the payload
// classes. A handler for EConnectError catches it too.
#pragma once

#include "comm/comerror.h"

namespace kestrel {

class EGSMError : public EComError {
public:
    using EComError::EComError;
};

} // namespace kestrel
