// Root of the component classes, so that event handlers can name their sender without knowing
// its class.
#pragma once

namespace kestrel {

class TObject {
public:
    virtual ~TObject() = default;
};

} // namespace kestrel
