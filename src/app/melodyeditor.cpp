#include "app/melodyeditor.h"

#include "comm/comm.h"
#include "xsms/ringtone.h"

#include <QMouseEvent>
#include <QPainter>

#include <algorithm>

namespace kestrel {

namespace {

const std::array<QStringList, kMelodyColumns> &columnItems()
{
    static const std::array<QStringList, kMelodyColumns> items = [] {
        std::array<QStringList, kMelodyColumns> a;
        a[mcScale] = {"1", "2", "3", "4"};
        a[mcNote] = {"pause", "C", "Cis", "D", "Dis", "E", "F", "Fis", "G", "Gis", "A", "Ais", "H"};
        a[mcDur] = {"Full", "1/2", "1/4", "1/8", "1/16", "1/32"};
        a[mcDur2] = {"No special", "Dotted", "Double dotted", "2/3 length"};
        for (int code = 0; code < 32; ++code)
            a[mcTempo] << QString::number(TSMRTTempo::ToBPM(code));
        a[mcStyle] = {"Natural", "Continuous", "Staccato"};
        a[mcVol] << "off";
        for (int v = 1; v <= 15; ++v)
            a[mcVol] << QString::number(v);
        return a;
    }();
    return items;
}

int clampToItems(int column, int value)
{
    return value >= 0 && value < MelodyColumnItems(column).size() ? value : 0;
}

} // namespace

const QStringList &MelodyColumnItems(int column)
{
    return columnItems().at(static_cast<size_t>(column));
}

QStringList MelodyColumnTitles()
{
    return QString("Scale;Note;Dur;Dur2;Tempo;Style;Vol.;").split(';', Qt::SkipEmptyParts);
}

TMelodyRow TMelodyTable::HeaderDefaults()
{
    return TMelodyRow{};
}

void TMelodyTable::Reset()
{
    m_rows.assign(2, HeaderDefaults());
    m_current = 1;
}

void TMelodyTable::SetRow(int r, const TMelodyRow &row)
{
    TMelodyRow clamped;
    for (int c = 0; c < kMelodyColumns; ++c)
        clamped.SetColumn(c, clampToItems(c, row.Column(c)));
    m_rows.at(static_cast<size_t>(r)) = clamped;
}

void TMelodyTable::SetCurrentRow(int r)
{
    m_current = std::clamp(r, 1, RowCount() - 1);
}

void TMelodyTable::Plus(const TMelodyRow &values, bool insert, bool ems)
{
    if (insert || m_current == RowCount() - 1)
        m_rows.insert(m_rows.begin() + m_current, HeaderDefaults());
    SetRow(m_current, values);
    ++m_current;
    if (ems) {
        for (int r = 1; r <= DataRowCount(); ++r) {
            m_rows[r].Tempo = clampToItems(mcTempo, values.Tempo);
            m_rows[r].Style = clampToItems(mcStyle, values.Style);
        }
    }
}

void TMelodyTable::Minus()
{
    if (DataRowCount() < 1 || m_current < 1 || m_current > DataRowCount())
        return;
    m_rows.erase(m_rows.begin() + m_current);
    m_current = std::clamp(m_current, 1, std::max(1, DataRowCount()));
}

TMelody TMelodyTable::ToMelody(const QString &name) const
{
    TMelody melody;
    melody.Name = name;
    melody.Rows.assign(m_rows.begin() + 1, m_rows.end() - 1);
    return melody;
}

void TMelodyTable::Assign(const TMelody &melody)
{
    Reset();
    m_rows.insert(m_rows.begin() + 1, melody.Rows.size(), TMelodyRow{});
    for (size_t r = 0; r < melody.Rows.size(); ++r)
        SetRow(static_cast<int>(r) + 1, melody.Rows[r]);
    m_current = 1;
}

int DurationIndexForHold(int64_t heldMs)
{
    if (heldMs < 50)
        return 5;
    if (heldMs < 100)
        return 4;
    if (heldMs < 200)
        return 3;
    if (heldMs < 300)
        return 2;
    if (heldMs < 500)
        return 1;
    return 0;
}

TMelodyKeyboard::TMelodyKeyboard(QWidget *parent) : QWidget(parent)
{
    setMinimumHeight(48);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

bool TMelodyKeyboard::IsBlackKey(int note)
{
    return MelodyColumnItems(mcNote).value(note).contains("is");
}

QRect TMelodyKeyboard::KeyRect(int width, int height, int scale, int note)
{
    const int k = width / (7 * kScales);
    int whitesBefore = 0;
    for (int n = 1; n < note; ++n)
        if (!IsBlackKey(n))
            ++whitesBefore;
    int left = scale * 7 * k + whitesBefore * k;
    if (IsBlackKey(note)) {
        left -= k / 3;
        return QRect(QPoint(left, 0), QPoint(left + 2 * k / 3 - 1, height / 2 - 1));
    }
    return QRect(QPoint(left, 0), QPoint(left + k - 1, height - 1));
}

bool TMelodyKeyboard::KeyAt(int width, int height, QPoint p, int &scale, int &note)
{
    for (bool black : {true, false})
        for (int s = 0; s < kScales; ++s)
            for (int n = 1; n <= 12; ++n)
                if (IsBlackKey(n) == black && KeyRect(width, height, s, n).contains(p)) {
                    scale = s;
                    note = n;
                    return true;
                }
    return false;
}

void TMelodyKeyboard::SetSelection(int scale, int note)
{
    if (scale != m_scale || note != m_note) {
        m_scale = scale;
        m_note = note;
        update();
    }
}

void TMelodyKeyboard::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.fillRect(rect(), palette().window());
    const QColor highlight(0x4a, 0x90, 0xd9);
    for (bool black : {false, true})
        for (int s = 0; s < kScales; ++s)
            for (int n = 1; n <= 12; ++n) {
                if (IsBlackKey(n) != black)
                    continue;
                QRect r = KeyRect(width(), height(), s, n);
                bool selected = s == m_scale && n == m_note;
                QColor fill = selected ? (black ? highlight.darker(150) : highlight.lighter(140))
                                       : (black ? Qt::black : Qt::white);
                p.fillRect(r, fill);
                p.setPen(Qt::darkGray);
                p.drawRect(r.adjusted(0, 0, -1, -1));
            }
}

void TMelodyKeyboard::mousePressEvent(QMouseEvent *event)
{
    int scale = 0, note = 0;
    if (!KeyAt(width(), height(), event->position().toPoint(), scale, note))
        return;
    m_pressed = true;
    m_downTick = GetTickMs();
    SetSelection(scale, note);
    if (OnKeyDown)
        OnKeyDown(scale, note);
    update();
}

void TMelodyKeyboard::mouseReleaseEvent(QMouseEvent *)
{
    update();
    if (!m_pressed)
        return;
    m_pressed = false;
    if (OnKeyUp)
        OnKeyUp(DurationIndexForHold(GetTickMs() - m_downTick));
}

} // namespace kestrel
