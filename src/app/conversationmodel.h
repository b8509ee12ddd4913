// TConversationModel: the conversations of the message store, one per peer, newest first, with the
// last message's first line, its time, the number of unread messages and the name of the peer's
// contact. It reads the store's conversation summary and address book and holds nothing else;
// Refresh reads them again. A filter shows only conversations whose name or number holds it.
#pragma once

#include "store/messagestore.h"

#include <QAbstractListModel>
#include <QDateTime>

#include <map>
#include <string>
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
        NameRole,                    // QString: the contact's name ("" when the peer is none's)
    };

    explicit TConversationModel(QObject *parent = nullptr);

    // The store to read (not owned; nullptr: no conversations).
    void SetStore(TMessageStore *store);
    // Reads the conversations again; raises EStoreError when the store cannot be read.
    void Refresh();
    // The home country of the numbers (see ContactNumberKey); takes effect at the next Refresh.
    void SetCountryCode(const std::string &countryCode) { m_countryCode = countryCode; }
    // Only conversations whose contact name or number contains Text (ignoring case) are shown,
    // when any does; with none or an empty Text, all. Takes effect at the next Refresh.
    void SetFilter(const QString &text) { m_filter = text.trimmed(); }
    // Whether the filter in force matched a conversation.
    bool Filtered() const { return m_filtered; }
    // The contact's name of a peer, or "".
    QString NameOf(const std::string &peer) const;

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
    std::vector<QString> m_names; // per row
    std::string m_countryCode;
    QString m_filter;
    bool m_filtered = false;
    std::map<std::string, QString> m_contactByKey; // number key -> name
};

} // namespace kestrel
