// TConversationDelegate: paints a row of the Messages tab's conversation list: the peer and the
// time on the first line, the last message's first line and the unread count on the second.
#pragma once

#include <QStyledItemDelegate>

namespace kestrel {

class TConversationDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter *painter, const QStyleOptionViewItem &option,
               const QModelIndex &index) const override;
    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override;
};

} // namespace kestrel
