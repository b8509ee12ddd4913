#include "app/conversationdelegate.h"

#include "app/conversationmodel.h"

#include <QApplication>
#include <QPainter>

#include <algorithm>

namespace kestrel {

namespace {

// Today's time, or the date of an older day.
QString when(const QDateTime &t)
{
    return t.date() == QDate::currentDate() ? t.toString("HH:mm") : t.toString("yyyy-MM-dd");
}

} // namespace

void TConversationDelegate::paint(QPainter *painter, const QStyleOptionViewItem &option,
                                  const QModelIndex &index) const
{
    QStyleOptionViewItem o(option);
    initStyleOption(&o, index);
    o.text.clear();
    QApplication::style()->drawControl(QStyle::CE_ItemViewItem, &o, painter, o.widget);
    const bool selected = option.state & QStyle::State_Selected;
    const QColor ink = selected ? option.palette.highlightedText().color() : option.palette.text().color();
    const QRect r = option.rect.adjusted(6, 4, -6, -4);
    QFont boldFont = option.font;
    boldFont.setBold(true);
    const QFontMetrics fm(option.font), bfm(boldFont);
    const int unread = index.data(TConversationModel::UnreadRole).toInt();
    const QString time = when(index.data(TConversationModel::TimeRole).toDateTime());
    painter->save();
    painter->setPen(ink);
    painter->setFont(option.font);
    painter->drawText(QRect(r.left(), r.top(), r.width(), fm.height()), Qt::AlignRight | Qt::AlignVCenter,
                      time);
    painter->setFont(unread > 0 ? boldFont : option.font);
    const int peerWidth = r.width() - fm.horizontalAdvance(time) - 8;
    // A contact's name first, its number after it in the quieter colour, as long as there is room.
    const QString name = index.data(Qt::DisplayRole).toString();
    const QString title = bfm.elidedText(name, Qt::ElideRight, peerWidth);
    painter->drawText(QRect(r.left(), r.top(), peerWidth, bfm.height()), Qt::AlignLeft | Qt::AlignVCenter,
                      title);
    if (!index.data(TConversationModel::NameRole).toString().isEmpty() && title == name) {
        const int used = (unread > 0 ? bfm : fm).horizontalAdvance(title) + 8;
        painter->setFont(option.font);
        painter->setPen(selected ? ink : option.palette.placeholderText().color());
        painter->drawText(QRect(r.left() + used, r.top(), std::max(0, peerWidth - used), bfm.height()),
                          Qt::AlignLeft | Qt::AlignVCenter,
                          fm.elidedText(index.data(TConversationModel::PeerRole).toString(), Qt::ElideRight,
                                        std::max(0, peerWidth - used)));
        painter->setPen(ink);
    }
    painter->setFont(option.font);
    int summaryWidth = r.width();
    if (unread > 0) {
        const QString badge = QString::number(unread);
        const int w = std::max(fm.height(), fm.horizontalAdvance(badge) + 10);
        const QRect b(r.right() - w + 1, r.top() + bfm.height() + 2, w, fm.height());
        painter->setRenderHint(QPainter::Antialiasing, true);
        painter->setPen(Qt::NoPen);
        painter->setBrush(QColor(0x1E, 0x88, 0xE5));
        painter->drawRoundedRect(b, b.height() / 2.0, b.height() / 2.0);
        painter->setPen(Qt::white);
        painter->drawText(b, Qt::AlignCenter, badge);
        summaryWidth -= w + 6;
    }
    painter->setPen(selected ? ink : option.palette.placeholderText().color());
    const QString summary = index.data(TConversationModel::SummaryRole).toString();
    QTextOption textOption((summary.isRightToLeft() ? Qt::AlignRight : Qt::AlignLeft) | Qt::AlignAbsolute);
    textOption.setTextDirection(summary.isRightToLeft() ? Qt::RightToLeft : Qt::LeftToRight);
    textOption.setWrapMode(QTextOption::NoWrap);
    painter->drawText(QRectF(r.left(), r.top() + bfm.height() + 2, summaryWidth, fm.height()),
                      fm.elidedText(summary, Qt::ElideRight, summaryWidth), textOption);
    painter->restore();
}

QSize TConversationDelegate::sizeHint(const QStyleOptionViewItem &option, const QModelIndex &) const
{
    return {200, QFontMetrics(option.font).height() * 2 + 14};
}

} // namespace kestrel
