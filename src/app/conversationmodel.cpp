#include "app/conversationmodel.h"

#include "app/messagerenderers.h"

#include <algorithm>

namespace kestrel {

QDateTime StoreTimeToLocal(TDateTime time)
{
    return QDateTime::fromMSecsSinceEpoch(DateTimeToUnixMs(time), Qt::UTC).toLocalTime();
}

TConversationModel::TConversationModel(QObject *parent) : QAbstractListModel(parent) {}

void TConversationModel::SetStore(TMessageStore *store)
{
    m_store = store;
    Refresh();
}

void TConversationModel::Refresh()
{
    std::vector<TConversation> rows;
    if (m_store)
        rows = m_store->Conversations();
    // Newest first: the one whose last message came last (ids grow as messages are recorded).
    std::stable_sort(rows.begin(), rows.end(),
                     [](const TConversation &a, const TConversation &b) { return a.LastId > b.LastId; });
    beginResetModel();
    m_rows = std::move(rows);
    endResetModel();
}

int TConversationModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

QVariant TConversationModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() < 0 || index.row() >= rowCount())
        return {};
    const TConversation &c = m_rows[static_cast<size_t>(index.row())];
    switch (role) {
    case Qt::DisplayRole:
    case PeerRole:
        return QString::fromStdString(c.Peer);
    case SummaryRole:
        return MessageSummary(c.LastKind, c.LastText);
    case TimeRole:
        return StoreTimeToLocal(c.LastTime);
    case UnreadRole:
        return c.Unread;
    case CountRole:
        return c.Count;
    case LastIdRole:
        return static_cast<qlonglong>(c.LastId);
    case Qt::ToolTipRole:
        return QString("%1: %2 messages, %3 unread")
            .arg(QString::fromStdString(c.Peer))
            .arg(c.Count)
            .arg(c.Unread);
    default:
        return {};
    }
}

QHash<int, QByteArray> TConversationModel::roleNames() const
{
    return {{PeerRole, "peer"},     {SummaryRole, "summary"}, {TimeRole, "time"},
            {UnreadRole, "unread"}, {CountRole, "count"},     {LastIdRole, "lastId"}};
}

int TConversationModel::RowOf(const std::string &peer) const
{
    for (size_t i = 0; i < m_rows.size(); ++i)
        if (m_rows[i].Peer == peer)
            return static_cast<int>(i);
    return -1;
}

int64_t TConversationModel::NewestId() const
{
    int64_t newest = 0;
    for (const auto &c : m_rows)
        newest = std::max(newest, c.LastId);
    return newest;
}

} // namespace kestrel
