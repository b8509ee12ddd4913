// TThreadModel: the messages of one conversation (or the hits of a search over all of them),
// oldest first, read from the store a page at a time: opening shows the newest page, FetchOlder
// puts the page before it in front, Refresh adds what is new and updates what changed (a status
// report turning a sent message delivered). Each message is rendered once, when it is first
// shown, and kept with it.
#pragma once

#include "appcore/messagerenderers.h"
#include "store/messagestore.h"

#include <QAbstractListModel>

#include <memory>
#include <vector>

namespace kestrel {

class TThreadModel : public QAbstractListModel {
    Q_OBJECT
public:
    enum TRole {
        IdRole = Qt::UserRole + 1, // qlonglong
        OutgoingRole,              // bool
        PeerRole,                  // QString
        TimeRole,                  // QDateTime (local)
        StatusRole,                // QString: received, incomplete, pending, sent, delivered, failed, queued,
                                   // uncertain
        KindRole,                  // int (TPayloadKind)
        TextRole,                  // QString: the text the message shows
        TitleRole,                 // QString: what it is ("Operator logo D1 (262 01)")
        ProgressRole,              // QString: "2 of 3 parts"
        ProblemRole,               // QString
        PictureRole,               // QImage: first frame of the first picture
        FrameCountRole,            // int: frames of the first picture
        MelodyTitleRole,           // QString
        MelodyNotesRole,           // QString
        ErrorRole,                 // QString: why a send failed
        // Qt::ForegroundRole: QColor of the status line; a send that failed, and one whose fate is
        // unknown (uncertain: a user decides whether to send it again), stand out from the rest.
    };
    static constexpr int kPageSize = 50;

    explicit TThreadModel(QObject *parent = nullptr);

    void SetStore(TMessageStore *store);
    // Shows the newest page of a peer's conversation ("" for none).
    void SetPeer(const std::string &peer);
    const std::string &Peer() const { return m_peer; }
    // Shows the newest hits of a full-text search over every conversation ("" ends the search).
    void SetSearch(const std::string &words);
    const std::string &Search() const { return m_search; }

    bool CanFetchOlder() const { return m_moreOlder; }
    // Puts the page before the first message in front; returns the rows added.
    int FetchOlder();
    // Appends messages newer than the last one shown and updates the status of those shown;
    // returns the rows appended.
    int Refresh();
    // Forgets a message (deleted from the store).
    void Remove(int row);

    int rowCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;

    const TStoredMessage &Message(int row) const { return m_rows.at(static_cast<size_t>(row)).Message; }
    // What the message shows, rendered at the first call.
    const TRenderedMessage &Rendered(int row) const;
    int RowOf(int64_t id) const;

private:
    struct TRow {
        TStoredMessage Message;
        mutable std::shared_ptr<const TRenderedMessage> Rendered;
    };
    TMessageFilter filter() const;
    void reload();

    TMessageStore *m_store = nullptr;
    std::string m_peer;
    std::string m_search;
    std::vector<TRow> m_rows;
    bool m_moreOlder = false;
};

} // namespace kestrel
