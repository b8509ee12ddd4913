#include "app/messagedelegate.h"

#include "app/conversationmodel.h"

#include <QApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QTextLayout>

#include <algorithm>

namespace kestrel {

namespace {

constexpr int kMargin = 6;          // around a bubble
constexpr int kPadding = 8;         // inside a bubble
constexpr int kSpacing = 4;         // between its parts
constexpr int kMaxScale = 8;        // a 16-pixel icon is drawn no larger than 128 pixels
constexpr int kPictureHeight = 112; // a picture message (28 rows) four times
constexpr int kNotesLines = 3;
const QColor kReceivedColour(0xEC, 0xEF, 0xF1);
const QColor kSentColour(0xD4, 0xEC, 0xD4);
const QColor kFrameColour(0xB0, 0xB8, 0xBC);

QTextOption textOption(const QString &text)
{
    QTextOption option;
    option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    const bool rtl = text.isRightToLeft();
    option.setTextDirection(rtl ? Qt::RightToLeft : Qt::LeftToRight);
    option.setAlignment((rtl ? Qt::AlignRight : Qt::AlignLeft) | Qt::AlignAbsolute);
    return option;
}

// Lays the text out in a layout, line by line; returns its height.
int layoutText(QTextLayout &layout, int width)
{
    const QFontMetrics fm(layout.font());
    int height = 0;
    layout.beginLayout();
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(width);
        line.setPosition(QPointF(0, height));
        height += fm.lineSpacing();
    }
    layout.endLayout();
    return height;
}

QString paragraphs(const QString &text)
{
    QString t = text;
    t.replace('\n', QChar::LineSeparator);
    return t;
}

QFont bold(const QFont &f)
{
    QFont b(f);
    b.setBold(true);
    return b;
}

QFont small(const QFont &f)
{
    QFont s(f);
    if (s.pointSizeF() > 0)
        s.setPointSizeF(s.pointSizeF() * 0.85);
    else if (s.pixelSize() > 0)
        s.setPixelSize(std::max(8, s.pixelSize() * 85 / 100));
    return s;
}

QFont italic(const QFont &f)
{
    QFont i(f);
    i.setItalic(true);
    return i;
}

QSize buttonSize(const QString &caption, const QFont &font)
{
    const QFontMetrics fm(font);
    return {fm.horizontalAdvance(caption) + 16, fm.height() + 8};
}

QString metaText(const TStoredMessage &m)
{
    const QDateTime t = StoreTimeToLocal(m.Time);
    QString text = t.date() == QDate::currentDate() ? t.toString("HH:mm") : t.toString("yyyy-MM-dd HH:mm");
    if (m.Outgoing)
        text += QString::fromUtf8(" \xC2\xB7 ") + QString::fromLatin1(StoredStatusName(m.Status));
    return text;
}

QString peerText(const TStoredMessage &m)
{
    return (m.Outgoing ? "To " : "From ") + QString::fromStdString(m.Peer);
}

const QString kOpenMelody = "Open in melody editor";
const QString kOpenPicture = "Open in picture editor";

void drawButton(QPainter &painter, const QRect &rect, const QString &caption, bool enabled, const QFont &font)
{
    QStyleOptionButton option;
    option.rect = rect;
    option.text = caption;
    option.state = QStyle::State_Raised | (enabled ? QStyle::State_Enabled : QStyle::State_None);
    option.fontMetrics = QFontMetrics(font);
    painter.save();
    painter.setFont(font);
    QApplication::style()->drawControl(QStyle::CE_PushButton, &option, &painter);
    painter.restore();
}

} // namespace

int TextHeight(const QString &text, const QFont &font, int width)
{
    if (text.isEmpty())
        return 0;
    QTextLayout layout(paragraphs(text), font);
    layout.setTextOption(textOption(text));
    return layoutText(layout, width);
}

int TextWidth(const QString &text, const QFont &font)
{
    const QFontMetrics fm(font);
    int width = 0;
    for (const QString &line : text.split('\n'))
        width = std::max(width, fm.horizontalAdvance(line));
    return width + 1;
}

void DrawText(QPainter &painter, const QRect &rect, const QString &text, const QFont &font)
{
    if (text.isEmpty())
        return;
    QTextLayout layout(paragraphs(text), font);
    layout.setTextOption(textOption(text));
    layoutText(layout, rect.width());
    painter.save();
    painter.setClipRect(rect);
    layout.draw(&painter, rect.topLeft());
    painter.restore();
}

TMessageDelegate::TMessageDelegate(const TThreadModel &model, QObject *parent)
    : QStyledItemDelegate(parent), m_model(model)
{
}

int TMessageDelegate::PictureScale(const QSize &picture, const QSize &room)
{
    if (picture.width() <= 0 || picture.height() <= 0)
        return 1;
    const int scale = std::min({room.width() / picture.width(), room.height() / picture.height(), kMaxScale});
    return std::max(1, scale);
}

QString TMessageDelegate::PlayCaption(int64_t id) const
{
    if (!m_audio)
        return "No audio device";
    return id == m_playingId ? "Stop" : "Play";
}

TBubbleLayout TMessageDelegate::Layout(const QRect &item, int row, const QFont &font) const
{
    TBubbleLayout l;
    const TStoredMessage &m = m_model.Message(row);
    const TRenderedMessage &r = m_model.Rendered(row);
    const int bubbleMax = std::max(200, std::min(m_width - 2 * kMargin, m_width * 3 / 4));
    const int contentMax = bubbleMax - 2 * kPadding;

    // The content's width: its widest part, within the bubble's room.
    int width = 0;
    const QFont boldFont = bold(font), smallFont = small(font), italicFont = italic(font);
    if (m_showPeer)
        width = std::max(width, TextWidth(peerText(m), bold(smallFont)));
    width = std::max(width, TextWidth(r.Title, boldFont));
    width = std::max(width, TextWidth(r.Progress, italicFont));
    width = std::max(width, TextWidth(r.Text, font));
    width = std::max(width, TextWidth(r.Problem, italicFont));
    width = std::max(width, TextWidth(metaText(m), smallFont));
    l.Scale = kMaxScale;
    for (const auto &p : r.Pictures)
        l.Scale = std::min(l.Scale, PictureScale(p.Frames.front().size(), {contentMax, kPictureHeight}));
    for (const auto &p : r.Pictures) {
        width = std::max(width, p.Frames.front().width() * l.Scale);
        width = std::max(width, buttonSize(kOpenPicture, font).width());
    }
    const QSize play = buttonSize(PlayCaption(m.Id), font), openMelody = buttonSize(kOpenMelody, font);
    if (r.Melody) {
        width = std::max(width, TextWidth(r.Melody->Notes.left(200), font));
        width = std::max(width, play.width() + kSpacing + openMelody.width());
    }
    width = std::min(width, contentMax);

    int y = item.top() + kMargin + kPadding;
    auto place = [&](QRect &rect, int height) {
        if (height <= 0)
            return;
        rect = QRect(0, y, width, height);
        y += height + kSpacing;
    };
    if (m_showPeer)
        place(l.Peer, TextHeight(peerText(m), bold(smallFont), width));
    place(l.Title, TextHeight(r.Title, boldFont, width));
    place(l.Progress, TextHeight(r.Progress, italicFont, width));
    place(l.Text, TextHeight(r.Text, font, width));
    for (const auto &p : r.Pictures) {
        QRect picture, button;
        const QSize size = p.Frames.front().size() * l.Scale;
        place(picture, size.height());
        picture.setWidth(size.width());
        place(button, buttonSize(kOpenPicture, font).height());
        button.setWidth(buttonSize(kOpenPicture, font).width());
        l.Pictures.push_back(picture);
        l.OpenPictures.push_back(button);
    }
    if (r.Melody) {
        place(l.Notes, std::min(TextHeight(r.Melody->Notes, font, width),
                                kNotesLines * QFontMetrics(font).lineSpacing()));
        place(l.Play, play.height());
        l.Play.setWidth(play.width());
        l.OpenMelody =
            QRect(l.Play.right() + 1 + kSpacing, l.Play.top(), openMelody.width(), openMelody.height());
    }
    place(l.Problem, TextHeight(r.Problem, italicFont, width));
    place(l.Meta, QFontMetrics(smallFont).height());
    const int bottom = y - kSpacing + kPadding;

    // Sent messages keep to the right, received ones to the left.
    const int bubbleWidth = width + 2 * kPadding;
    const int left = m.Outgoing ? item.left() + m_width - kMargin - bubbleWidth : item.left() + kMargin;
    l.Bubble = QRect(left, item.top() + kMargin, bubbleWidth, bottom - item.top() - kMargin);
    const int dx = left + kPadding;
    for (QRect *rect :
         {&l.Peer, &l.Title, &l.Progress, &l.Text, &l.Notes, &l.Play, &l.OpenMelody, &l.Problem, &l.Meta})
        if (!rect->isNull())
            rect->translate(dx, 0);
    for (auto *rects : {&l.Pictures, &l.OpenPictures})
        for (QRect &rect : *rects)
            rect.translate(dx, 0);
    l.Height = bottom - item.top() + kMargin;
    return l;
}

TMessageHit TMessageDelegate::HitTest(const QRect &item, int row, const QFont &font,
                                      const QPoint &point) const
{
    const TBubbleLayout l = Layout(item, row, font);
    TMessageHit hit;
    if (l.Play.contains(point))
        hit.Action = TMessageAction::maPlay;
    else if (l.OpenMelody.contains(point))
        hit.Action = TMessageAction::maOpenMelody;
    for (size_t i = 0; i < l.Pictures.size(); ++i) {
        if (l.OpenPictures[i].contains(point)) {
            hit.Action = TMessageAction::maOpenPicture;
            hit.Picture = static_cast<int>(i);
        } else if (l.Pictures[i].contains(point)) {
            hit.Picture = static_cast<int>(i);
        }
    }
    return hit;
}

void TMessageDelegate::paint(QPainter *painter, const QStyleOptionViewItem &option,
                             const QModelIndex &index) const
{
    const int row = index.row();
    const TStoredMessage &m = m_model.Message(row);
    const TRenderedMessage &r = m_model.Rendered(row);
    const QFont &font = option.font;
    const TBubbleLayout l = Layout(option.rect, row, font);

    painter->save();
    painter->setRenderHint(QPainter::Antialiasing, true);
    painter->setPen(option.state & QStyle::State_Selected ? option.palette.highlight().color()
                                                          : kFrameColour);
    painter->setBrush(m.Outgoing ? kSentColour : kReceivedColour);
    painter->drawRoundedRect(QRectF(l.Bubble).adjusted(0.5, 0.5, -0.5, -0.5), 8, 8);
    painter->setRenderHint(QPainter::Antialiasing, false);
    painter->setPen(Qt::black);

    DrawText(*painter, l.Peer, peerText(m), bold(small(font)));
    DrawText(*painter, l.Title, r.Title, bold(font));
    DrawText(*painter, l.Progress, r.Progress, italic(font));
    DrawText(*painter, l.Text, r.Text, font);
    for (size_t i = 0; i < r.Pictures.size() && i < l.Pictures.size(); ++i) {
        const TMessagePicture &p = r.Pictures[i];
        size_t frame = 0;
        if (p.Frames.size() > 1 && p.FrameMs > 0)
            frame = static_cast<size_t>(m_clockMs / p.FrameMs) % p.Frames.size();
        // Whole pixels: every picture pixel becomes a Scale x Scale square, never a blur.
        painter->drawImage(l.Pictures[i], p.Frames[frame].scaled(l.Pictures[i].size(), Qt::IgnoreAspectRatio,
                                                                 Qt::FastTransformation));
        drawButton(*painter, l.OpenPictures[i], kOpenPicture, true, font);
    }
    if (r.Melody) {
        DrawText(*painter, l.Notes, r.Melody->Notes, font);
        drawButton(*painter, l.Play, PlayCaption(m.Id), m_audio, font);
        drawButton(*painter, l.OpenMelody, kOpenMelody, true, font);
    }
    if (!l.Problem.isNull()) {
        painter->setPen(QColor(0xB0, 0x20, 0x20));
        DrawText(*painter, l.Problem, r.Problem, italic(font));
    }
    painter->setPen(index.data(Qt::ForegroundRole).value<QColor>());
    DrawText(*painter, l.Meta, metaText(m), small(font));
    painter->restore();
}

QSize TMessageDelegate::sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    const TBubbleLayout l = Layout(QRect(0, 0, m_width, 0), index.row(), option.font);
    return {m_width, l.Height};
}

bool TMessageDelegate::editorEvent(QEvent *event, QAbstractItemModel *, const QStyleOptionViewItem &option,
                                   const QModelIndex &index)
{
    if (event->type() != QEvent::MouseButtonRelease)
        return false;
    auto *mouse = static_cast<QMouseEvent *>(event);
    if (mouse->button() != Qt::LeftButton)
        return false;
    const TMessageHit hit = HitTest(option.rect, index.row(), option.font, mouse->position().toPoint());
    if (hit.Action == TMessageAction::maNone || (hit.Action == TMessageAction::maPlay && !m_audio))
        return false;
    emit ActionTriggered(index.row(), hit.Action, hit.Picture);
    return true;
}

} // namespace kestrel
