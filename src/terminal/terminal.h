// TTerminal: a line-limited log view that any thread can feed with whole lines or raw characters.
// A companion thread collects what producers hand in and applies it on the GUI thread in batches.
// The view is read-only for editing, but typed keys still reach OnKeyPress, so the window can
// forward them to the modem.
#pragma once

#include "base/event.h"
#include "base/linesink.h"
#include "base/mainthread.h"

#include <QPlainTextEdit>
#include <QStringList>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace kestrel {

class TTerminal;

// Applies one raw character to the lines with the cursor at column, like a teletype: CR returns
// to column 0, LF starts a new line indented to the column, backspace steps back, anything else
// overwrites at the cursor.
void TerminalPutChar(QStringList &Lines, int &column, char c);

// Collects text for its view and applies it on the GUI thread. Owned by the view.
class TTerminalThread {
public:
    explicit TTerminalThread(TTerminal *terminal);
    ~TTerminalThread(); // terminates and waits; a pending update is cancelled, never run

    void AddLine(const std::string &S);
    void AddLine(const QString &S);
    void AddText(const std::string &S);
    // Applies everything pending now (on the GUI thread); the thread does this after each wake-up.
    void Update();

private:
    void run();

    TTerminal *m_terminal;
    QStringList m_pendingLines;
    std::string m_pendingChars;
    TEvent m_wakeUp{true};
    std::mutex m_lock; // guards the two pending buffers
    bool m_newLinePending = false;
    std::atomic<bool> m_terminated = false;
    TMainThreadCall m_synchronize;
    std::thread m_thread;
};

class TTerminal : public QPlainTextEdit, public TLineSink {
    Q_OBJECT
public:
    explicit TTerminal(QWidget *parent = nullptr);
    ~TTerminal() override;

    void AddLine(const std::string &S) override;
    void AddShownLine(const std::string &S, const QString &Shown) override;
    void AddText(const std::string &S) override;

    int MaxLines() const { return m_maxLines; }
    void SetMaxLines(int value) { m_maxLines = value; }
    bool WantReturns() const { return m_wantReturns; }
    void SetWantReturns(bool value) { m_wantReturns = value; }

    // Removes the first lines while there are more than MaxLines.
    void TrimLines(QStringList &Lines) const;
    virtual void PutChar(char c, QStringList &Lines);
    int Column() const { return m_column; }
    void SetColumn(int column) { m_column = column; }

    // Applies all pending text at once; for callers that need the view current now.
    void Flush();

    // A typed character (Ctrl+Enter gives 10); set Key to 0 to consume it.
    std::function<void(QObject *Sender, char &Key)> OnKeyPress;

protected:
    void keyPressEvent(QKeyEvent *event) override;

private:
    friend class TTerminalThread;
    int m_column = 0;
    int m_maxLines = 100;
    bool m_wantReturns = true;
    std::unique_ptr<TTerminalThread> m_thread;
};

} // namespace kestrel
