#include "terminal/terminal.h"

#include <QKeyEvent>
#include <QScrollBar>
#include <QTextBlock>

namespace kestrel {

void TerminalPutChar(QStringList &Lines, int &column, char c)
{
    if (Lines.isEmpty())
        Lines.append(QString());
    switch (c) {
    case 8:
        if (column > 0)
            --column;
        break;
    case 10:
        Lines.append(QString(column, QChar(' ')));
        break;
    case 13:
        column = 0;
        break;
    default: {
        QString &line = Lines.last();
        if (line.size() < column + 1)
            line = line.leftJustified(column + 1, QChar(' '));
        // Bytes from the line are shown as Latin-1: every byte stays visible as one character.
        line[column] = QChar::fromLatin1(c);
        ++column;
        break;
    }
    }
}

TTerminalThread::TTerminalThread(TTerminal *terminal) : m_terminal(terminal)
{
    m_thread = std::thread([this] { run(); });
}

TTerminalThread::~TTerminalThread()
{
    m_terminated = true;
    m_synchronize.Cancel(); // an update waiting for the GUI thread gives up
    m_wakeUp.SetEvent();
    if (m_thread.joinable())
        m_thread.join();
}

void TTerminalThread::AddLine(const std::string &S)
{
    AddLine(QString::fromLatin1(S.data(), static_cast<qsizetype>(S.size())));
}

void TTerminalThread::AddLine(const QString &S)
{
    {
        std::lock_guard lock(m_lock);
        m_pendingLines.append(S);
    }
    m_wakeUp.SetEvent();
}

void TTerminalThread::AddText(const std::string &S)
{
    {
        std::lock_guard lock(m_lock);
        m_pendingChars += S;
    }
    m_wakeUp.SetEvent();
}

void TTerminalThread::run()
{
    while (!m_terminated) {
        m_wakeUp.WaitFor(kInfinite);
        if (m_terminated)
            break;
        m_wakeUp.ResetEvent();
        m_synchronize.Run([this] { Update(); });
    }
}

void TTerminalThread::Update()
{
    if (m_terminated)
        return;
    TTerminal *view = m_terminal;
    const QString oldText = view->toPlainText();
    QStringList work;
    if (!view->document()->isEmpty())
        work = oldText.split(QChar('\n'));

    for (;;) {
        QString line;
        {
            std::lock_guard lock(m_lock);
            if (m_pendingLines.isEmpty())
                break;
            line = m_pendingLines.takeFirst();
        }
        work.append(line);
        view->m_column = 0;
        m_newLinePending = true;
    }
    view->TrimLines(work);

    std::string chars;
    {
        std::lock_guard lock(m_lock);
        chars = m_pendingChars;
    }
    if (!chars.empty()) {
        if (m_newLinePending)
            work.append(QString());
        m_newLinePending = false;
        for (char c : chars)
            view->PutChar(c, work);
        view->TrimLines(work);
        std::lock_guard lock(m_lock);
        m_pendingChars.erase(0, chars.size()); // characters added meanwhile stay
    }

    const QString newText = work.join(QChar('\n'));
    if (newText != oldText)
        view->setPlainText(newText);
    // The caret goes to the cursor column of the last line (or below it, when a whole line was
    // the last thing shown), so the view follows the end.
    const int lastLine = static_cast<int>(work.size()) - 1 + (m_newLinePending ? 1 : 0);
    QTextCursor cursor = view->textCursor();
    QTextBlock block = view->document()->findBlockByNumber(
        std::max(0, std::min(lastLine, view->document()->blockCount() - 1)));
    cursor.setPosition(block.position() + std::min(view->m_column, static_cast<int>(block.length()) - 1));
    view->setTextCursor(cursor);
    view->ensureCursorVisible();
}

TTerminal::TTerminal(QWidget *parent) : QPlainTextEdit(parent)
{
    setReadOnly(true); // typing never changes the text; keys still reach keyPressEvent
    setUndoRedoEnabled(false);
    setLineWrapMode(QPlainTextEdit::NoWrap);
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    QFont mono("Monospace");
    mono.setStyleHint(QFont::TypeWriter);
    setFont(mono);
    m_thread = std::make_unique<TTerminalThread>(this);
}

TTerminal::~TTerminal()
{
    m_thread.reset(); // ends the companion thread before the view goes away
}

void TTerminal::AddLine(const std::string &S)
{
    if (m_thread)
        m_thread->AddLine(S);
}

void TTerminal::AddShownLine(const std::string &, const QString &Shown)
{
    if (m_thread)
        m_thread->AddLine(Shown);
}

void TTerminal::AddText(const std::string &S)
{
    if (m_thread)
        m_thread->AddText(S);
}

void TTerminal::Flush()
{
    if (m_thread)
        m_thread->Update();
}

void TTerminal::TrimLines(QStringList &Lines) const
{
    while (Lines.size() > m_maxLines && !Lines.isEmpty())
        Lines.removeFirst();
}

void TTerminal::PutChar(char c, QStringList &Lines)
{
    TerminalPutChar(Lines, m_column, c);
}

void TTerminal::keyPressEvent(QKeyEvent *event)
{
    const bool isReturn = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    if (isReturn && m_wantReturns && (event->modifiers() & Qt::ControlModifier)) {
        char key = 10;
        if (OnKeyPress)
            OnKeyPress(this, key);
        if (key == 0) {
            event->accept();
            return;
        }
    } else if (OnKeyPress) {
        const QString text = event->text();
        if (text.size() == 1 && text[0].unicode() < 256) {
            char key = static_cast<char>(text[0].unicode());
            OnKeyPress(this, key);
            if (key == 0) {
                event->accept();
                return;
            }
        }
    }
    QPlainTextEdit::keyPressEvent(event); // read-only: only navigation and copying act
}

} // namespace kestrel
