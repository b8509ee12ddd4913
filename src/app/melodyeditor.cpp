#include "app/melodyeditor.h"

#include "base/format.h"
#include "comm/comm.h"
#include "xsms/ringtone.h"

#include <QMouseEvent>
#include <QPainter>

#include <algorithm>
#include <charconv>

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

// A non-negative decimal number, or 0 for anything else (the file format's rule).
int numberOrZero(const std::string &text)
{
    int v = 0;
    auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    return ec == std::errc() && p == text.data() + text.size() ? v : 0;
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
    return {1, 0, 0, 0, 8, 0, 7};
}

void TMelodyTable::Reset()
{
    m_rows.assign(2, TMelodyRow{});
    m_rows[0] = HeaderDefaults();
    m_current = 1;
}

void TMelodyTable::SetRow(int r, const TMelodyRow &row)
{
    TMelodyRow clamped;
    for (int c = 0; c < kMelodyColumns; ++c)
        clamped[c] = clampToItems(c, row[c]);
    m_rows.at(static_cast<size_t>(r)) = clamped;
}

void TMelodyTable::SetCurrentRow(int r)
{
    m_current = std::clamp(r, 1, RowCount() - 1);
}

void TMelodyTable::Plus(const TMelodyRow &values, bool insert, bool ems)
{
    if (insert || m_current == RowCount() - 1)
        m_rows.insert(m_rows.begin() + m_current, TMelodyRow{});
    SetRow(m_current, values);
    ++m_current;
    if (ems) {
        for (int r = 1; r <= DataRowCount(); ++r) {
            m_rows[r][mcTempo] = clampToItems(mcTempo, values[mcTempo]);
            m_rows[r][mcStyle] = clampToItems(mcStyle, values[mcStyle]);
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

std::string TMelodyTable::SaveOwnFormat(const QString &name) const
{
    std::string out = "Name=" + name.toStdString() + "\n";
    out += Format("Count=%d\n", DataRowCount());
    for (int r = 1; r <= DataRowCount(); ++r)
        for (int c = 0; c < kMelodyColumns; ++c)
            out += Format("%d.%d=%d\n", r - 1, c, m_rows[r][c]);
    return out;
}

void TMelodyTable::LoadOwnFormat(const std::vector<std::string> &lines, QString &name)
{
    std::vector<std::pair<std::string, std::string>> values;
    for (const auto &line : lines) {
        auto eq = line.find('=');
        if (eq != std::string::npos)
            values.emplace_back(line.substr(0, eq), line.substr(eq + 1));
    }
    auto value = [&](const std::string &key) -> std::string {
        for (const auto &kv : values)
            if (kv.first == key)
                return kv.second;
        return {};
    };
    name = QString::fromStdString(value("Name"));
    int count = std::min(numberOrZero(value("Count")), kMaxDataRows);
    m_rows.assign(static_cast<size_t>(count) + 2, TMelodyRow{});
    m_rows[0] = HeaderDefaults();
    for (int r = 0; r < count; ++r) {
        TMelodyRow row{};
        for (int c = 0; c < kMelodyColumns; ++c)
            row[c] = numberOrZero(value(Format("%d.%d", r, c)));
        SetRow(r + 1, row);
    }
    m_current = 1;
}

void TMelodyTable::LoadRingingTone(const TSMRingingTone &tone, QString &name)
{
    Reset();
    name.clear();
    m_rows[1] = m_rows[0]; // the pending row starts from the defaults
    const TSMRTTemporarySong *song = nullptr;
    if (!tone.Commands.empty())
        for (const auto &part : tone.Commands.front()->Parts)
            if ((song = dynamic_cast<const TSMRTTemporarySong *>(part.get())))
                break;
    if (!song)
        return;
    if (auto basic = dynamic_cast<const TSMRTBasicSong *>(song))
        name = basic->Title();
    if (song->Patterns.empty())
        return;
    for (const auto &ins : song->Patterns.front()->Instructions) {
        TMelodyRow &pending = m_rows.back();
        if (auto v = dynamic_cast<const TSMRTScale *>(ins.get()))
            pending[mcScale] = clampToItems(mcScale, v->Value);
        else if (auto v = dynamic_cast<const TSMRTTempo *>(ins.get()))
            pending[mcTempo] = clampToItems(mcTempo, v->Value);
        else if (auto v = dynamic_cast<const TSMRTStyle *>(ins.get()))
            pending[mcStyle] = clampToItems(mcStyle, v->Value);
        else if (auto v = dynamic_cast<const TSMRTVolume *>(ins.get()))
            pending[mcVol] = clampToItems(mcVol, v->Value);
        else if (auto n = dynamic_cast<const TSMRTNote *>(ins.get())) {
            if (DataRowCount() >= kMaxDataRows)
                break;
            pending[mcNote] = clampToItems(mcNote, n->Value);
            pending[mcDur] = clampToItems(mcDur, n->Duration);
            pending[mcDur2] = clampToItems(mcDur2, n->DurationSpecifier);
            TMelodyRow finished = pending;
            m_rows.push_back(finished);
        }
    }
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
                p.drawRect(r);
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
