// Where log text goes: the window's log views implement it, and so can anything without a window
// (the command line's monitor), so the code that produces log text needs no widgets.
#pragma once

#include <string>

namespace kestrel {

class TLineSink {
public:
    virtual ~TLineSink() = default;
    // A whole line (without line end). Callable from any thread.
    virtual void AddLine(const std::string &S) = 0;
    // Raw characters, rendered like a teletype (CR, LF, backspace). Callable from any thread.
    virtual void AddText(const std::string &S) = 0;
};

} // namespace kestrel
