// Where log text goes: the window's log views implement it, and so can anything without a window
// (the command line's monitor), so the code that produces log text needs no widgets.
#pragma once

#include <QString>

#include <string>

namespace kestrel {

class TLineSink {
public:
    virtual ~TLineSink() = default;
    // A whole line (without line end). Callable from any thread.
    virtual void AddLine(const std::string &S) = 0;
    // A whole line as the log file holds it (S, 8-bit) and as people read it (Shown: what the
    // 8-bit form cannot hold, such as the Greek capitals of a sender or a UTF-8 text). Views that
    // render text show Shown; others take S. Callable from any thread.
    virtual void AddShownLine(const std::string &S, const QString &Shown)
    {
        (void)Shown;
        AddLine(S);
    }
    // Raw characters, rendered like a teletype (CR, LF, backspace). Callable from any thread.
    virtual void AddText(const std::string &S) = 0;
};

} // namespace kestrel
