// TConversationModel: the conversations of the message store, one per peer, newest first, with the
// last message's first line, its time and the number of unread messages. It reads the store's
// conversation summary and holds nothing else; Refresh reads it again.
#pragma once

#include "store/messagestore.h"

#include <QAbstractListModel>
#include <QDateTime>

#include <vector>

namespace kestrel {

// Time of the store (days since 1899-12-30, UTC) as local time.
QDateTime StoreTimeToLocal(TDateTime time);

class TConversationModel : public QAbstractListModel {
    Q_OBJECT
public:
    enum TRole {
        PeerRole = Qt::UserRole + 1, // QString
        SummaryRole,                 // QString: first line of the last message
        TimeRole,                    // QDateTime (local)
        UnreadRole,                  // int
        CountRole,                   // int
        LastIdRole,                  // qlonglong
    };

    explicit TConversationModel(QObject *parent = nullptr);

    // The store to read (not owned; nullptr: no conversations).
    void SetStore(TMessageStore *store);
    // Reads the conversations again; raises EStoreError when the store cannot be read.
    void Refresh();

    int rowCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QHash<int, QByteArray> roleNames() const override;

    // The row of a peer, or -1.
    int RowOf(const std::string &peer) const;
    const TConversation &Conversation(int row) const { return m_rows.at(static_cast<size_t>(row)); }
    // The newest message id over all conversations (0 without any).
    int64_t NewestId() const;

private:
    TMessageStore *m_store = nullptr;
    std::vector<TConversation> m_rows;
};

} // namespace kestrel
