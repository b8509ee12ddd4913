// TMessagesView: the Messages tab. Left, the conversations of the message store (one per peer,
// newest first, with unread counts) under a search field over all messages; right, the selected
// conversation as a thread of bubbles (TMessageDelegate) read page by page (TThreadModel), and a
// reply field under it. It reads the store and nothing else: sending, and opening a picture or a
// melody in the SMS tab's editors, go to the window through the callbacks below.
#pragma once

#include "app/conversationmodel.h"
#include "app/desktopnotifier.h"
#include "app/melodyplayer.h"
#include "app/messagedelegate.h"
#include "app/threadmodel.h"

#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <optional>

class QLabel;
class QLineEdit;
class QListView;
class QMenu;
class QPushButton;

namespace kestrel {

class TMessageComposer;

class TMessagesView : public QWidget {
    Q_OBJECT
public:
    explicit TMessagesView(QWidget *parent = nullptr);
    ~TMessagesView() override;

    // The store to show (not owned; nullptr: none). Opens the newest conversation.
    void SetStore(TMessageStore *store);
    TMessageStore *Store() const { return m_store; }
    // Counts the reply's messages as the SMS tab counts its own (not owned).
    void SetComposer(const TMessageComposer *composer);

    // Reads what is new in the store: conversations, the thread, statuses. New received messages
    // raise a desktop notification while the window is not active.
    void Refresh();
    void OpenConversation(const std::string &peer);
    std::string CurrentPeer() const;

    // Sends the reply text to the peer (raising what fails); the window composes and sends it.
    std::function<void(const std::string &peer, const QString &text)> OnReply;
    std::function<void(const TMessagePicture &picture)> OnOpenPicture;
    std::function<void(const TMessageMelody &melody)> OnOpenMelody;
    // Failures of the view's own actions; the default shows a message box.
    std::function<void(const QString &message)> ShowError;
    // Asked before a message is deleted from the store; the default asks with a message box.
    std::function<bool(const QString &question)> Confirm;
    // The file to save to; "" cancels. The default asks with a file dialog.
    std::function<QString(const QString &title, const QString &suggested, const QString &filter)> AskSaveFile;
    // Whether the user is looking at the window; the default asks the window.
    std::function<bool()> WindowActive;
    // Who shows notifications (replaceable for tests); null shows none.
    std::unique_ptr<TDesktopNotifier> Notifier;
    // Notifications sent (summary and body of the last one), for whoever wants to know.
    int NotificationCount() const { return m_notifications; }
    const QString &LastNotification() const { return m_lastNotification; }

    // The parts, for tests and the window.
    TConversationModel &Conversations() { return m_conversationModel; }
    TThreadModel &Thread() { return m_threadModel; }
    TMessageDelegate &Delegate() { return *m_delegate; }
    QListView *ConversationList() const { return m_conversationList; }
    QListView *ThreadList() const { return m_threadList; }
    QLineEdit *SearchField() const { return m_search; }
    QLineEdit *ReplyField() const { return m_reply; }
    QPushButton *ReplyButton() const { return m_send; }
    QLabel *ReplyCounter() const { return m_counter; }
    QLabel *ThreadTitle() const { return m_threadTitle; }
    TMelodyPlayer &Player() { return m_player; }

    // The actions of a message's context menu (and of the menu itself).
    void CopyText(int row);
    bool SavePicture(int row, int picture, const QString &fileName);
    bool SaveMelody(int row, const QString &fileName);
    void DeleteMessage(int row);
    // A received vCard's cards into the store's contacts; returns how many. Raises what fails (a
    // card without name or number, a store that cannot be written).
    int SaveAsContact(int row);
    // The home country of the numbers, for contacts saved and names shown (see ContactNumberKey).
    void SetCountryCode(const std::string &countryCode);
    // The context menu of a message; picture is the one under the mouse (-1: the first).
    std::unique_ptr<QMenu> ContextMenu(int row, int picture);
    // Play (or stop) a message's melody; false when it cannot (the caption says why).
    bool PlayMelody(int row);
    void Search(const QString &words);
    void SendReply();
    // Whether the animation clock runs (only while an animation is on screen).
    bool Animating() const { return m_animation.isActive(); }

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;
    bool event(QEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void conversationSelected();
    void showThread(bool scrollToEnd);
    void refreshConversations();
    QString titleOf(const std::string &peer) const;
    void threadScrolled(int value);
    void updateCounter();
    void updateAnimation();
    void markRead();
    void notifyNew(int64_t newestBefore);
    void action(int row, TMessageAction action, int picture);
    void guarded(const std::function<void()> &f);
    bool atBottom() const;

    TMessageStore *m_store = nullptr;
    std::string m_countryCode;
    const TMessageComposer *m_composer = nullptr;
    TConversationModel m_conversationModel;
    TThreadModel m_threadModel;
    TMessageDelegate *m_delegate = nullptr; // owned by the thread list
    TMelodyPlayer m_player;
    int64_t m_playingId = 0;
    QLineEdit *m_search = nullptr;
    QListView *m_conversationList = nullptr;
    QLabel *m_threadTitle = nullptr;
    QListView *m_threadList = nullptr;
    QLineEdit *m_reply = nullptr;
    QPushButton *m_send = nullptr;
    QLabel *m_counter = nullptr;
    QTimer m_searchDelay;
    QTimer m_animation;
    QTimer m_elsewhere; // looks for records of other programs
    QElapsedTimer m_clock;
    int64_t m_newestSeen = 0;
    int m_notifications = 0;
    QString m_lastNotification;
    bool m_fetching = false;
};

// "12 characters, 1 message" for what the composer would send, as the SMS tab shows it.
QString MessageCounterText(const TMessageComposer &composer, const TMessageContent &content, int characters);

} // namespace kestrel
