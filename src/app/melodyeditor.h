// The melody editor's note table and its piano keyboard. The table is a plain model (rows of
// seven item indexes) so that editing, the file formats and the send flow share one truth; the
// window only mirrors it in its grid.
#pragma once

#include "xsms/melody.h"

#include <QString>
#include <QStringList>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <vector>

namespace kestrel {

// Columns of the note table, in order.
enum TMelodyColumn { mcScale, mcNote, mcDur, mcDur2, mcTempo, mcStyle, mcVol, kMelodyColumns };

// The items of each column's editor; a cell stores the index into these.
const QStringList &MelodyColumnItems(int column);
// "Scale", "Note", ... from the titles message.
QStringList MelodyColumnTitles();

// Row 0 holds the defaults a melody starts from (scale 1, tempo 63 bpm, volume 7, natural
// style); rows 1 .. size-2 are notes; the last row is always the empty pending row.
class TMelodyTable {
public:
    TMelodyTable() { Reset(); }

    static TMelodyRow HeaderDefaults();
    void Reset(); // header and an empty pending row, current row 1

    int RowCount() const { return static_cast<int>(m_rows.size()); }
    int DataRowCount() const { return RowCount() - 2; }
    const TMelodyRow &Row(int r) const { return m_rows.at(static_cast<size_t>(r)); }
    const std::vector<TMelodyRow> &Rows() const { return m_rows; }
    void SetRow(int r, const TMelodyRow &row);
    int CurrentRow() const { return m_current; }
    void SetCurrentRow(int r);

    // "+": with insert (or on the pending row) a free row is opened at the current row; the
    // editors' values are written there and the current row moves down. For EMS the tempo and
    // style are made the same for every note, since an EMS melody has only one of each.
    void Plus(const TMelodyRow &values, bool insert, bool ems);
    // "-": removes the current data row.
    void Minus();
    // The row the editors show after a double click: the current row, or the header.
    int EditorRow() const { return DataRowCount() > 0 ? m_current : 0; }

    // The notes with a name, as the send flow and the melody files take them.
    TMelody ToMelody(const QString &name) const;
    // Replaces the notes (values outside a column's items read as 0); the current row becomes 1.
    void Assign(const TMelody &melody);

private:
    std::vector<TMelodyRow> m_rows;
    int m_current = 1;
};

// Duration index for a key held this long: 1/32 under 50 ms ... whole from 500 ms.
int DurationIndexForHold(int64_t heldMs);

// The piano keyboard: four octaves of twelve notes. A press selects the key, the release adds a
// note whose length follows how long the key was held.
class TMelodyKeyboard : public QWidget {
    Q_OBJECT
public:
    explicit TMelodyKeyboard(QWidget *parent = nullptr);

    static constexpr int kScales = 4;
    static bool IsBlackKey(int note); // note 1..12
    // The key of scale 0..3 and note 1..12 in a keyboard of the given size.
    static QRect KeyRect(int width, int height, int scale, int note);
    // The key under the point (black keys first); false when there is none.
    static bool KeyAt(int width, int height, QPoint p, int &scale, int &note);

    void SetSelection(int scale, int note);
    int SelectedScale() const { return m_scale; }
    int SelectedNote() const { return m_note; }

    // Raised on press with the key, and on release with the duration index.
    std::function<void(int scale, int note)> OnKeyDown;
    std::function<void(int durationIndex)> OnKeyUp;

protected:
    void paintEvent(QPaintEvent *) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;

private:
    int m_scale = 0;
    int m_note = 0;
    bool m_pressed = false;
    int64_t m_downTick = 0;
};

} // namespace kestrel
