#include "app/threadmodel.h"

#include "app/conversationmodel.h"

#include <QColor>

#include <algorithm>

namespace kestrel {

TThreadModel::TThreadModel(QObject *parent) : QAbstractListModel(parent) {}

void TThreadModel::SetStore(TMessageStore *store)
{
    m_store = store;
    reload();
}

void TThreadModel::SetPeer(const std::string &peer)
{
    m_peer = peer;
    m_search.clear();
    reload();
}

void TThreadModel::SetSearch(const std::string &words)
{
    m_search = words;
    if (!words.empty())
        m_peer.clear();
    reload();
}

TMessageFilter TThreadModel::filter() const
{
    TMessageFilter f;
    f.Peer = m_peer;
    f.Search = m_search;
    f.Limit = kPageSize;
    return f;
}

void TThreadModel::reload()
{
    std::vector<TRow> rows;
    bool more = false;
    if (m_store && (!m_peer.empty() || !m_search.empty())) {
        for (auto &m : m_store->List(filter()))
            rows.push_back({std::move(m), nullptr});
        more = rows.size() >= static_cast<size_t>(kPageSize);
    }
    beginResetModel();
    m_rows = std::move(rows);
    m_moreOlder = more;
    endResetModel();
}

int TThreadModel::FetchOlder()
{
    if (!m_store || !m_moreOlder || m_rows.empty())
        return 0;
    TMessageFilter f = filter();
    f.BeforeId = m_rows.front().Message.Id;
    std::vector<TStoredMessage> older = m_store->List(f);
    m_moreOlder = older.size() >= static_cast<size_t>(kPageSize);
    if (older.empty())
        return 0;
    const int n = static_cast<int>(older.size());
    beginInsertRows({}, 0, n - 1);
    std::vector<TRow> rows;
    rows.reserve(older.size() + m_rows.size());
    for (auto &m : older)
        rows.push_back({std::move(m), nullptr});
    std::move(m_rows.begin(), m_rows.end(), std::back_inserter(rows));
    m_rows = std::move(rows);
    endInsertRows();
    return n;
}

int TThreadModel::Refresh()
{
    if (!m_store || (m_peer.empty() && m_search.empty()))
        return 0;
    // The newest page covers what is new (unless more than a page came at once, then it is read
    // page by page back to what is shown) and the messages whose status is likely to change.
    std::vector<TStoredMessage> fresh = m_store->List(filter());
    const int64_t lastShown = m_rows.empty() ? 0 : m_rows.back().Message.Id;
    while (!m_rows.empty() && fresh.size() >= static_cast<size_t>(kPageSize) &&
           fresh.front().Id > lastShown) {
        TMessageFilter f = filter();
        f.BeforeId = fresh.front().Id;
        std::vector<TStoredMessage> page = m_store->List(f);
        if (page.empty())
            break;
        fresh.insert(fresh.begin(), std::make_move_iterator(page.begin()),
                     std::make_move_iterator(page.end()));
    }
    std::vector<TStoredMessage> added;
    for (auto &m : fresh) {
        if (m.Id > lastShown) {
            added.push_back(std::move(m));
            continue;
        }
        const int row = RowOf(m.Id);
        if (row < 0)
            continue;
        TRow &r = m_rows[static_cast<size_t>(row)];
        const TStoredMessage &old = r.Message;
        if (old.Status != m.Status || old.PartsPresent != m.PartsPresent || old.Payload != m.Payload ||
            old.Text != m.Text || old.Error != m.Error || old.Read != m.Read) {
            r.Message = std::move(m);
            r.Rendered.reset();
            emit dataChanged(index(row), index(row));
        }
    }
    if (added.empty())
        return 0;
    const int first = static_cast<int>(m_rows.size());
    beginInsertRows({}, first, first + static_cast<int>(added.size()) - 1);
    for (auto &m : added)
        m_rows.push_back({std::move(m), nullptr});
    endInsertRows();
    if (m_rows.size() == added.size())
        m_moreOlder = added.size() >= static_cast<size_t>(kPageSize);
    return static_cast<int>(added.size());
}

void TThreadModel::Remove(int row)
{
    if (row < 0 || row >= rowCount())
        return;
    beginRemoveRows({}, row, row);
    m_rows.erase(m_rows.begin() + row);
    endRemoveRows();
}

int TThreadModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

const TRenderedMessage &TThreadModel::Rendered(int row) const
{
    const TRow &r = m_rows.at(static_cast<size_t>(row));
    if (!r.Rendered)
        r.Rendered = std::make_shared<const TRenderedMessage>(RenderMessage(r.Message));
    return *r.Rendered;
}

int TThreadModel::RowOf(int64_t id) const
{
    // Ids grow with time and the rows are oldest first.
    auto it = std::lower_bound(m_rows.begin(), m_rows.end(), id,
                               [](const TRow &r, int64_t v) { return r.Message.Id < v; });
    return it != m_rows.end() && it->Message.Id == id ? static_cast<int>(it - m_rows.begin()) : -1;
}

QVariant TThreadModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() < 0 || index.row() >= rowCount())
        return {};
    const int row = index.row();
    const TStoredMessage &m = Message(row);
    switch (role) {
    case IdRole:
        return static_cast<qlonglong>(m.Id);
    case OutgoingRole:
        return m.Outgoing;
    case PeerRole:
        return QString::fromStdString(m.Peer);
    case TimeRole:
        return StoreTimeToLocal(m.Time);
    case StatusRole:
        return QString::fromLatin1(StoredStatusName(m.Status));
    case KindRole:
        return static_cast<int>(m.Kind);
    case ErrorRole:
        return QString::fromStdString(m.Error);
    case Qt::ForegroundRole:
        switch (m.Status) {
        case TStoredStatus::ssFailed:
            return QColor(0xB0, 0x20, 0x20);
        case TStoredStatus::ssUncertain:
            return QColor(0xB8, 0x60, 0x00);
        default:
            return QColor(0x60, 0x60, 0x60);
        }
    default:
        break;
    }
    const TRenderedMessage &r = Rendered(row);
    switch (role) {
    case Qt::DisplayRole:
    case TextRole:
        return r.Text;
    case TitleRole:
        return r.Title;
    case ProgressRole:
        return r.Progress;
    case ProblemRole:
        return r.Problem;
    case PictureRole:
        return r.Pictures.empty() ? QVariant() : QVariant(r.Pictures.front().Frames.front());
    case FrameCountRole:
        return r.Pictures.empty() ? 0 : static_cast<int>(r.Pictures.front().Frames.size());
    case MelodyTitleRole:
        return r.Melody ? r.Melody->Title : QString();
    case MelodyNotesRole:
        return r.Melody ? r.Melody->Notes : QString();
    default:
        return {};
    }
}

} // namespace kestrel
