#include "app/conversationmodel.h"

#include "appcore/messagerenderers.h"

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
    std::map<std::string, QString> byKey;
    if (m_store) {
        rows = m_store->Conversations();
        // Contacts are sorted by name: where two share a number, the first name stays.
        for (const TContact &c : m_store->Contacts())
            for (const TContactNumber &n : c.Numbers)
                byKey.try_emplace(n.Key, QString::fromStdString(c.Name));
    }
    // Newest first: the one whose last message came last (ids grow as messages are recorded).
    std::stable_sort(rows.begin(), rows.end(),
                     [](const TConversation &a, const TConversation &b) { return a.LastId > b.LastId; });
    std::vector<QString> names;
    for (const TConversation &c : rows) {
        const auto it = byKey.find(ContactNumberKey(c.Peer, m_countryCode));
        names.push_back(it == byKey.end() ? QString() : it->second);
    }
    bool filtered = false;
    if (!m_filter.isEmpty()) {
        std::vector<TConversation> kept;
        std::vector<QString> keptNames;
        for (size_t i = 0; i < rows.size(); ++i) {
            if (names[i].contains(m_filter, Qt::CaseInsensitive) ||
                QString::fromStdString(rows[i].Peer).contains(m_filter, Qt::CaseInsensitive)) {
                kept.push_back(rows[i]);
                keptNames.push_back(names[i]);
            }
        }
        if (!kept.empty()) {
            rows = std::move(kept);
            names = std::move(keptNames);
            filtered = true;
        }
    }
    beginResetModel();
    m_rows = std::move(rows);
    m_names = std::move(names);
    m_contactByKey = std::move(byKey);
    m_filtered = filtered;
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
        return m_names[static_cast<size_t>(index.row())].isEmpty()
                   ? QString::fromStdString(c.Peer)
                   : m_names[static_cast<size_t>(index.row())];
    case PeerRole:
        return QString::fromStdString(c.Peer);
    case NameRole:
        return m_names[static_cast<size_t>(index.row())];
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
            .arg(m_names[static_cast<size_t>(index.row())].isEmpty()
                     ? QString::fromStdString(c.Peer)
                     : m_names[static_cast<size_t>(index.row())] + " (" + QString::fromStdString(c.Peer) +
                           ")")
            .arg(c.Count)
            .arg(c.Unread);
    default:
        return {};
    }
}

QHash<int, QByteArray> TConversationModel::roleNames() const
{
    return {{PeerRole, "peer"},   {SummaryRole, "summary"}, {TimeRole, "time"}, {UnreadRole, "unread"},
            {CountRole, "count"}, {LastIdRole, "lastId"},   {NameRole, "name"}};
}

QString TConversationModel::NameOf(const std::string &peer) const
{
    const auto it = m_contactByKey.find(ContactNumberKey(peer, m_countryCode));
    return it == m_contactByKey.end() ? QString() : it->second;
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
