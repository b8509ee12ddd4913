// What the main window's files share: the places of its pages and the limits of its edits.
#pragma once

#include <QLineEdit>

namespace kestrel {

constexpr int kTabModem = 0;
constexpr int kTabSMS = 1;
constexpr int kTabModemLog = 3;
// The editors take no more than this from the size edits, so a typing slip cannot ask for a
// bitmap of gigabytes.
constexpr int kMaxPictureSide = 1024;
constexpr int kMaxFrames = 16;
constexpr qint64 kMaxMelodyFile = 1024 * 1024;

// The number in an edit; 0 for anything else.
inline int EditNumber(const QLineEdit *edit)
{
    bool ok = false;
    const int v = edit->text().trimmed().toInt(&ok);
    return ok ? v : 0;
}

} // namespace kestrel
