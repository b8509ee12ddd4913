#include "app/messagesview.h"

#include "app/conversationdelegate.h"
#include "xsms/composer.h"
#include "xsms/vcardcontacts.h"

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QSaveFile>
#include <QScrollBar>
#include <QSplitter>
#include <QStyledItemDelegate>
#include <QVBoxLayout>

namespace kestrel {

namespace {

constexpr int kSearchDelayMs = 250;
constexpr int kAnimationTickMs = 125;
// Another program writing to the same store file (a gateway, kestrel send) is looked for this often.
constexpr int kElsewhereMs = 1000;

} // namespace

QString MessageCounterText(const TMessageComposer &composer, const TMessageContent &content, int characters)
{
    QString count;
    try {
        const int n = composer.MessageCount(content);
        count = n == 1 ? QString("1 message") : QString("%1 messages").arg(n);
    } catch (const std::exception &e) {
        count = QString::fromStdString(e.what());
    }
    return QString("%1 characters, %2").arg(characters).arg(count);
}

TMessagesView::TMessagesView(QWidget *parent) : QWidget(parent)
{
    setObjectName("MessagesView");
    ShowError = [this](const QString &m) { QMessageBox::critical(this, window()->windowTitle(), m); };
    Confirm = [this](const QString &q) {
        return QMessageBox::question(this, window()->windowTitle(), q, QMessageBox::Yes | QMessageBox::No) ==
               QMessageBox::Yes;
    };
    AskSaveFile = [this](const QString &title, const QString &suggested, const QString &filter) {
        return QFileDialog::getSaveFileName(this, title, suggested, filter);
    };
    WindowActive = [this] { return window()->isActiveWindow(); };
    Notifier = std::make_unique<TDesktopNotifier>();

    auto *splitter = new QSplitter(Qt::Horizontal, this);
    auto *left = new QWidget(splitter);
    auto *leftLayout = new QVBoxLayout(left);
    leftLayout->setContentsMargins(0, 0, 0, 0);
    m_search = new QLineEdit(left);
    m_search->setObjectName("MessagesSearch");
    m_search->setPlaceholderText("Search all messages and names");
    m_search->setClearButtonEnabled(true);
    m_search->setStatusTip(
        "Search the text of every message; conversations whose contact or number match are listed");
    m_conversationList = new QListView(left);
    m_conversationList->setObjectName("Conversations");
    m_conversationList->setModel(&m_conversationModel);
    m_conversationList->setItemDelegate(new TConversationDelegate(m_conversationList));
    m_conversationList->setSelectionMode(QAbstractItemView::SingleSelection);
    m_conversationList->setUniformItemSizes(true);
    m_conversationList->setStatusTip("Conversations, newest first; the number counts unread messages");
    leftLayout->addWidget(m_search);
    leftLayout->addWidget(m_conversationList);

    auto *right = new QWidget(splitter);
    auto *rightLayout = new QVBoxLayout(right);
    rightLayout->setContentsMargins(0, 0, 0, 0);
    m_threadTitle = new QLabel(right);
    m_threadTitle->setObjectName("ThreadTitle");
    QFont titleFont = m_threadTitle->font();
    titleFont.setBold(true);
    m_threadTitle->setFont(titleFont);
    m_threadList = new QListView(right);
    m_threadList->setObjectName("Thread");
    m_threadList->setModel(&m_threadModel);
    m_delegate = new TMessageDelegate(m_threadModel, m_threadList);
    m_threadList->setItemDelegate(m_delegate);
    m_threadList->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    m_threadList->setResizeMode(QListView::Adjust);
    m_threadList->setSelectionMode(QAbstractItemView::SingleSelection);
    m_threadList->setContextMenuPolicy(Qt::DefaultContextMenu);
    m_threadList->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_threadList->viewport()->installEventFilter(this);
    m_threadList->setStatusTip("The conversation; right-click a message for more");
    auto *replyRow = new QHBoxLayout;
    m_reply = new QLineEdit(right);
    m_reply->setObjectName("ReplyText");
    m_reply->setPlaceholderText("Reply");
    m_reply->setStatusTip("Text to send to this conversation's peer");
    m_send = new QPushButton("Send", right);
    m_send->setObjectName("ReplySend");
    m_send->setStatusTip("Send the reply");
    replyRow->addWidget(m_reply);
    replyRow->addWidget(m_send);
    m_counter = new QLabel(right);
    m_counter->setObjectName("ReplyCounter");
    rightLayout->addWidget(m_threadTitle);
    rightLayout->addWidget(m_threadList, 1);
    rightLayout->addLayout(replyRow);
    rightLayout->addWidget(m_counter);
    splitter->addWidget(left);
    splitter->addWidget(right);
    splitter->setStretchFactor(0, 1);
    splitter->setStretchFactor(1, 3);
    splitter->setSizes({220, 560});
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(splitter);

    m_searchDelay.setSingleShot(true);
    m_searchDelay.setInterval(kSearchDelayMs);
    m_animation.setInterval(kAnimationTickMs);
    m_elsewhere.setInterval(kElsewhereMs);
    m_clock.start();
    m_delegate->SetAudio(TMelodyPlayer::AudioAvailable(), 0);

    connect(m_conversationList->selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this] { guarded([this] { conversationSelected(); }); });
    connect(m_search, &QLineEdit::textChanged, this, [this] { m_searchDelay.start(); });
    connect(&m_searchDelay, &QTimer::timeout, this,
            [this] { guarded([this] { Search(m_search->text()); }); });
    connect(m_threadList->verticalScrollBar(), &QScrollBar::valueChanged, this,
            [this](int value) { guarded([this, value] { threadScrolled(value); }); });
    connect(m_threadList, &QListView::doubleClicked, this, [this](const QModelIndex &index) {
        // A search hit opens its conversation at that message.
        if (!m_threadModel.Search().empty() && index.isValid()) {
            const TStoredMessage m = m_threadModel.Message(index.row());
            guarded([this, &m] {
                m_search->clear();
                OpenConversation(m.Peer);
                const int row = m_threadModel.RowOf(m.Id);
                if (row >= 0)
                    m_threadList->scrollTo(m_threadModel.index(row), QAbstractItemView::PositionAtCenter);
            });
        }
    });
    connect(
        m_delegate, &TMessageDelegate::ActionTriggered, this,
        [this](int row, TMessageAction a, int picture) { guarded([=, this] { action(row, a, picture); }); });
    connect(m_reply, &QLineEdit::textChanged, this, [this] { updateCounter(); });
    connect(m_reply, &QLineEdit::returnPressed, this, [this] { guarded([this] { SendReply(); }); });
    connect(m_send, &QPushButton::clicked, this, [this] { guarded([this] { SendReply(); }); });
    connect(&m_elsewhere, &QTimer::timeout, this, [this] {
        try {
            if (m_store && m_store->ChangedElsewhere())
                Refresh();
        } catch (const std::exception &) {
            // The data module reports a store that fails; a look for changes says nothing more.
        }
    });
    connect(&m_animation, &QTimer::timeout, this, [this] {
        m_delegate->SetClock(m_clock.elapsed());
        m_threadList->viewport()->update();
    });
    connect(&m_player, &TMelodyPlayer::Finished, this, [this] {
        m_playingId = 0;
        m_delegate->SetAudio(TMelodyPlayer::AudioAvailable(), 0);
        m_threadList->viewport()->update();
    });
    updateCounter();
    showThread(true);
}

TMessagesView::~TMessagesView()
{
    m_player.disconnect(this);
}

void TMessagesView::guarded(const std::function<void()> &f)
{
    try {
        f();
    } catch (const std::exception &e) {
        if (ShowError)
            ShowError(QString::fromUtf8(e.what()));
    }
}

void TMessagesView::SetStore(TMessageStore *store)
{
    m_store = store;
    m_threadModel.SetStore(store);
    m_conversationModel.SetStore(store);
    m_newestSeen = m_conversationModel.NewestId();
    m_elsewhere.stop();
    try {
        // What other programs record shows as it comes, as the data module's own records do.
        if (store) {
            store->ChangedElsewhere();
            m_elsewhere.start();
        }
    } catch (const std::exception &) {
    }
    if (m_conversationModel.rowCount() > 0)
        m_conversationList->setCurrentIndex(m_conversationModel.index(0));
    else
        showThread(true);
}

void TMessagesView::SetComposer(const TMessageComposer *composer)
{
    m_composer = composer;
    updateCounter();
}

std::string TMessagesView::CurrentPeer() const
{
    const QModelIndex current = m_conversationList->currentIndex();
    return current.isValid() ? current.data(TConversationModel::PeerRole).toString().toStdString()
                             : std::string();
}

void TMessagesView::OpenConversation(const std::string &peer)
{
    const int row = m_conversationModel.RowOf(peer);
    if (row >= 0) {
        m_conversationList->setCurrentIndex(m_conversationModel.index(row));
        if (m_threadModel.Peer() != peer || !m_threadModel.Search().empty())
            conversationSelected();
        return;
    }
    // A peer without messages yet: an empty thread to write the first one.
    m_conversationList->clearSelection();
    m_threadModel.SetPeer(peer);
    showThread(true);
}

void TMessagesView::conversationSelected()
{
    const std::string peer = CurrentPeer();
    if (peer.empty())
        return;
    if (!m_search->text().isEmpty()) {
        const QSignalBlocker block(m_search);
        m_search->clear();
        m_searchDelay.stop();
    }
    m_delegate->SetShowPeer(false);
    m_threadModel.SetPeer(peer);
    showThread(true);
    markRead();
}

QString TMessagesView::titleOf(const std::string &peer) const
{
    const QString name = m_conversationModel.NameOf(peer);
    return name.isEmpty() ? QString::fromStdString(peer) : name + "  " + QString::fromStdString(peer);
}

void TMessagesView::showThread(bool scrollToEnd)
{
    const bool searching = !m_threadModel.Search().empty();
    const bool haveStore = m_store != nullptr;
    if (!haveStore)
        m_threadTitle->setText("No message store: messages are not recorded");
    else if (searching)
        m_threadTitle->setText(QString("Search \"%1\": %2%3 found")
                                   .arg(QString::fromStdString(m_threadModel.Search()))
                                   .arg(m_threadModel.rowCount())
                                   .arg(m_threadModel.CanFetchOlder() ? "+" : ""));
    else
        m_threadTitle->setText(titleOf(m_threadModel.Peer()));
    const bool canReply = haveStore && !searching && !m_threadModel.Peer().empty();
    m_reply->setEnabled(canReply);
    m_send->setEnabled(canReply);
    m_delegate->SetWidth(m_threadList->viewport()->width());
    if (scrollToEnd)
        m_threadList->scrollToBottom();
    updateAnimation();
}

bool TMessagesView::atBottom() const
{
    const QScrollBar *bar = m_threadList->verticalScrollBar();
    return bar->value() >= bar->maximum() - 4;
}

void TMessagesView::threadScrolled(int value)
{
    updateAnimation();
    if (value > 0 || m_fetching || !m_threadModel.CanFetchOlder())
        return;
    // The page before goes in front; the messages on screen stay where they are.
    m_fetching = true;
    QScrollBar *bar = m_threadList->verticalScrollBar();
    const int fromBottom = bar->maximum() - bar->value();
    try {
        m_threadModel.FetchOlder();
    } catch (...) {
        m_fetching = false;
        throw;
    }
    m_threadList->doItemsLayout();
    bar->setValue(bar->maximum() - fromBottom);
    m_fetching = false;
    if (!m_threadModel.Search().empty())
        showThread(false);
}

void TMessagesView::Refresh()
{
    if (!m_store)
        return;
    const int64_t newestBefore = m_newestSeen;
    refreshConversations();
    if (m_threadModel.Peer().empty() && m_threadModel.Search().empty() &&
        m_conversationModel.rowCount() > 0) {
        // The first conversation arrived.
        m_conversationList->setCurrentIndex(m_conversationModel.index(0));
    } else {
        const bool follow = atBottom();
        if (m_threadModel.Refresh() > 0)
            showThread(follow);
        else
            updateAnimation();
        if (m_threadModel.Peer() == CurrentPeer())
            markRead();
    }
    m_newestSeen = std::max(m_newestSeen, m_conversationModel.NewestId());
    notifyNew(newestBefore);
}

void TMessagesView::markRead()
{
    const std::string peer = m_threadModel.Peer();
    if (!m_store || peer.empty() || !isVisible() || (WindowActive && !WindowActive()))
        return;
    const int row = m_conversationModel.RowOf(peer);
    if (row < 0 || m_conversationModel.Conversation(row).Unread == 0)
        return;
    m_store->MarkRead(peer);
    const QSignalBlocker block(m_conversationList->selectionModel());
    m_conversationModel.Refresh();
    const int again = m_conversationModel.RowOf(peer);
    if (again >= 0)
        m_conversationList->setCurrentIndex(m_conversationModel.index(again));
}

void TMessagesView::notifyNew(int64_t newestBefore)
{
    if (!Notifier || (WindowActive && WindowActive()))
        return;
    for (int row = 0; row < m_conversationModel.rowCount(); ++row) {
        const TConversation &c = m_conversationModel.Conversation(row);
        if (c.LastId <= newestBefore || c.Unread == 0)
            continue;
        const auto m = m_store->Message(c.LastId);
        if (!m || m->Outgoing)
            continue;
        const QString summary = QString("Message from %1").arg(QString::fromStdString(c.Peer));
        const QString body = MessageSummary(m->Kind, m->Text);
        if (Notifier->Notify(summary, body)) {
            ++m_notifications;
            m_lastNotification = summary + ": " + body;
        }
    }
}

void TMessagesView::Search(const QString &words)
{
    m_searchDelay.stop();
    const std::string w = words.trimmed().toStdString();
    // The conversations whose contact or number holds the words are the ones listed meanwhile.
    m_conversationModel.SetFilter(words);
    refreshConversations();
    if (w.empty()) {
        if (!m_threadModel.Search().empty()) {
            m_threadModel.SetSearch({});
            m_delegate->SetShowPeer(false);
            const std::string peer = CurrentPeer();
            if (!peer.empty())
                m_threadModel.SetPeer(peer);
            showThread(true);
        }
        return;
    }
    m_delegate->SetShowPeer(true);
    m_threadModel.SetSearch(w);
    showThread(true);
}

void TMessagesView::updateCounter()
{
    if (!m_composer) {
        m_counter->setText(QString("%1 characters").arg(m_reply->text().size()));
        return;
    }
    TMessageContent content;
    content.Text = m_reply->text();
    m_counter->setText(MessageCounterText(*m_composer, content, static_cast<int>(m_reply->text().size())));
}

void TMessagesView::SendReply()
{
    const QString text = m_reply->text();
    const std::string peer = m_threadModel.Peer();
    if (text.isEmpty() || peer.empty() || !OnReply)
        return;
    OnReply(peer, text);
    m_reply->clear();
    Refresh();
    m_threadList->scrollToBottom();
}

void TMessagesView::action(int row, TMessageAction a, int picture)
{
    if (row < 0 || row >= m_threadModel.rowCount())
        return;
    const TRenderedMessage &r = m_threadModel.Rendered(row);
    switch (a) {
    case TMessageAction::maPlay:
        PlayMelody(row);
        break;
    case TMessageAction::maOpenMelody:
        if (r.Melody && OnOpenMelody)
            OnOpenMelody(*r.Melody);
        break;
    case TMessageAction::maOpenPicture:
        if (picture >= 0 && picture < static_cast<int>(r.Pictures.size()) && OnOpenPicture)
            OnOpenPicture(r.Pictures[static_cast<size_t>(picture)]);
        break;
    case TMessageAction::maNone:
        break;
    }
}

bool TMessagesView::PlayMelody(int row)
{
    const TStoredMessage &m = m_threadModel.Message(row);
    const TRenderedMessage &r = m_threadModel.Rendered(row);
    if (!r.Melody)
        return false;
    if (m_playingId == m.Id) {
        m_player.Stop();
        return true;
    }
    const bool playing = m_player.Play(r.Melody->Melody);
    m_playingId = playing ? m.Id : 0;
    m_delegate->SetAudio(TMelodyPlayer::AudioAvailable(), m_playingId);
    m_threadList->viewport()->update();
    if (!playing && TMelodyPlayer::AudioAvailable() && ShowError)
        ShowError(m_player.Error());
    return playing;
}

void TMessagesView::CopyText(int row)
{
    const TRenderedMessage &r = m_threadModel.Rendered(row);
    QString text = r.Text;
    if (text.isEmpty())
        text = r.Melody ? r.Melody->RTTTL : r.Title;
    QApplication::clipboard()->setText(text);
}

bool TMessagesView::SavePicture(int row, int picture, const QString &fileName)
{
    const TRenderedMessage &r = m_threadModel.Rendered(row);
    if (picture < 0 || picture >= static_cast<int>(r.Pictures.size()) || fileName.isEmpty())
        return false;
    // The frames side by side at one picture pixel per PNG pixel, as the picture editor loads them.
    QSaveFile f(fileName);
    if (!f.open(QIODevice::WriteOnly) || !r.Pictures[static_cast<size_t>(picture)].Strip().save(&f, "PNG") ||
        !f.commit())
        throw std::runtime_error(QString("Cannot write the picture \"%1\"").arg(fileName).toStdString());
    return true;
}

bool TMessagesView::SaveMelody(int row, const QString &fileName)
{
    const TRenderedMessage &r = m_threadModel.Rendered(row);
    if (!r.Melody || fileName.isEmpty())
        return false;
    const QByteArray data = r.Melody->RTTTL.toUtf8();
    QSaveFile f(fileName);
    if (!f.open(QIODevice::WriteOnly) || f.write(data) != data.size() || !f.commit())
        throw std::runtime_error(QString("Cannot write the melody \"%1\"").arg(fileName).toStdString());
    return true;
}

void TMessagesView::DeleteMessage(int row)
{
    if (!m_store || row < 0 || row >= m_threadModel.rowCount())
        return;
    m_store->Delete(m_threadModel.Message(row).Id);
    m_threadModel.Remove(row);
    refreshConversations();
}

void TMessagesView::refreshConversations()
{
    const std::string peer = CurrentPeer();
    // The selection is restored below; it must not reopen the thread meanwhile.
    const QSignalBlocker block(m_conversationList->selectionModel());
    m_conversationModel.Refresh();
    const int row = peer.empty() ? -1 : m_conversationModel.RowOf(peer);
    if (row >= 0)
        m_conversationList->setCurrentIndex(m_conversationModel.index(row));
}

void TMessagesView::SetCountryCode(const std::string &countryCode)
{
    m_countryCode = countryCode;
    m_conversationModel.SetCountryCode(countryCode);
    if (m_store) {
        refreshConversations();
        showThread(false);
    }
}

int TMessagesView::SaveAsContact(int row)
{
    if (!m_store || row < 0 || row >= m_threadModel.rowCount())
        return 0;
    const TStoredMessage &m = m_threadModel.Message(row);
    const std::string &card = m.Payload.empty() ? m.Text : m.Payload;
    const TVCardRead read = ReadVCards(card);
    if (read.Contacts.empty()) {
        QStringList errors;
        for (const std::string &e : read.Errors)
            errors << QString::fromStdString(e);
        throw std::runtime_error(
            QString("This vCard cannot be saved as a contact: %1").arg(errors.join("; ")).toStdString());
    }
    for (const TVCardContact &c : read.Contacts) {
        TContact contact{0, c.Name, {}};
        for (const TVCardNumber &n : c.Numbers)
            contact.Numbers.push_back({n.Number, n.Label, {}});
        m_store->SaveContact(contact, m_countryCode);
    }
    refreshConversations();
    showThread(false);
    return static_cast<int>(read.Contacts.size());
}

std::unique_ptr<QMenu> TMessagesView::ContextMenu(int row, int picture)
{
    auto menu = std::make_unique<QMenu>(this);
    if (row < 0 || row >= m_threadModel.rowCount())
        return menu;
    const TRenderedMessage &r = m_threadModel.Rendered(row);
    const int64_t id = m_threadModel.Message(row).Id;
    // The row is looked up again when an action runs: the thread may have changed meanwhile.
    auto rowOf = [this, id] { return m_threadModel.RowOf(id); };
    menu->addAction("Copy text", this, [this, rowOf] {
        if (rowOf() >= 0)
            CopyText(rowOf());
    });
    if (!r.Pictures.empty()) {
        const int p = picture >= 0 ? picture : 0;
        menu->addAction("Save picture as PNG...", this, [this, rowOf, p] {
            guarded([&] {
                const QString file = AskSaveFile("Save picture", "picture.png", "PNG pictures (*.png)");
                if (rowOf() >= 0)
                    SavePicture(rowOf(), p, file);
            });
        });
    }
    if (r.Melody) {
        menu->addAction("Save melody as RTTTL...", this, [this, rowOf] {
            guarded([&] {
                const QString file =
                    AskSaveFile("Save melody", "melody.rtttl", "RTTTL files (*.rtttl *.rtt)");
                if (rowOf() >= 0)
                    SaveMelody(rowOf(), file);
            });
        });
    }
    if (m_threadModel.Message(row).Kind == TPayloadKind::pkVCard) {
        menu->addAction("Save as contact", this, [this, rowOf] {
            guarded([&] {
                if (rowOf() >= 0)
                    SaveAsContact(rowOf());
            });
        });
    }
    menu->addSeparator();
    menu->addAction("Delete from store", this, [this, rowOf] {
        guarded([&] {
            if (rowOf() >= 0 && (!Confirm || Confirm("Delete this message from the store?")))
                DeleteMessage(rowOf());
        });
    });
    return menu;
}

bool TMessagesView::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_threadList->viewport()) {
        if (event->type() == QEvent::Resize) {
            m_delegate->SetWidth(m_threadList->viewport()->width());
        } else if (event->type() == QEvent::ContextMenu) {
            auto *e = static_cast<QContextMenuEvent *>(event);
            const QModelIndex index = m_threadList->indexAt(e->pos());
            if (index.isValid()) {
                const TMessageHit hit = m_delegate->HitTest(m_threadList->visualRect(index), index.row(),
                                                            m_threadList->font(), e->pos());
                ContextMenu(index.row(), hit.Picture)->exec(e->globalPos());
            }
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void TMessagesView::updateAnimation()
{
    bool animated = false;
    if (isVisible()) {
        const QRect visible = m_threadList->viewport()->rect();
        const QModelIndex first = m_threadList->indexAt(visible.topLeft());
        const int from = first.isValid() ? first.row() : 0;
        for (int row = from; row < m_threadModel.rowCount() && !animated; ++row) {
            if (!m_threadList->visualRect(m_threadModel.index(row)).intersects(visible))
                break;
            animated = m_threadModel.Rendered(row).Animated();
        }
    }
    // Idle costs nothing: the clock runs only while an animation is on screen.
    if (animated && !m_animation.isActive())
        m_animation.start();
    else if (!animated)
        m_animation.stop();
}

void TMessagesView::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    m_delegate->SetWidth(m_threadList->viewport()->width());
    markRead();
    QTimer::singleShot(0, this, [this] { updateAnimation(); });
}

bool TMessagesView::event(QEvent *event)
{
    // Back at the window: what arrived in the open conversation meanwhile is now read.
    if (event->type() == QEvent::WindowActivate)
        markRead();
    return QWidget::event(event);
}

void TMessagesView::hideEvent(QHideEvent *event)
{
    QWidget::hideEvent(event);
    m_animation.stop();
}

} // namespace kestrel
