#include "app/messagesview.h"
#include "storerig.h"
#include "xsms/ringtone.h"

#include <QClipboard>
#include <QDBusConnection>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QProcess>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

using namespace kestrel;
using namespace kestrel::storetest;

namespace {

const std::string kAnna = "+491701111111";
const std::string kBoris = "+491702222222";

// Black on the screen: the ink of text and picture pixels.
bool dark(QRgb c)
{
    return qGray(c) < 100;
}

TMessageContent text(const QString &t)
{
    TMessageContent c;
    c.Text = t;
    return c;
}

QImage picture(int w, int h, std::initializer_list<std::pair<int, int>> black)
{
    QImage image(w, h, QImage::Format_RGB32);
    image.fill(Qt::white);
    for (auto [x, y] : black)
        image.setPixel(x, y, 0xFF000000u);
    return image;
}

// The Messages view on a real store file, shown offscreen.
class MessagesViewTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        store = TMessageStore::Open(dir.filePath("messages.sqlite").toStdString());
        view = std::make_unique<TMessagesView>();
        view->Notifier.reset();
        view->WindowActive = [this] { return active; };
        view->ShowError = [this](const QString &m) { errors << m; };
        view->resize(900, 700);
    }
    void show()
    {
        view->SetStore(store.get());
        view->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(view.get()));
        QApplication::processEvents();
    }
    void receive(const TMessageContent &c, const std::string &from, double minutes = 0)
    {
        static uint32_t reference = 1;
        for (const auto &a : Received(c, from, At(minutes / 1440), reference++))
            store->RecordReceived(a.Raw, false, a.SMS.get(), At(minutes / 1440), -1);
    }
    QImage threadImage() const
    {
        QApplication::processEvents();
        return view->ThreadList()->viewport()->grab().toImage();
    }
    // The layout of a thread row as it is on screen.
    TBubbleLayout layoutOf(int row) const
    {
        QListView *list = view->ThreadList();
        list->scrollTo(view->Thread().index(row));
        QApplication::processEvents();
        return view->Delegate().Layout(list->visualRect(view->Thread().index(row)), row, list->font());
    }
    QVariant data(int row, int role) const { return view->Thread().index(row).data(role); }
    // The captions of a message's context menu.
    QStringList captions(int row) const
    {
        QStringList out;
        const auto menu = view->ContextMenu(row, -1);
        for (QAction *a : menu->actions())
            if (!a->isSeparator())
                out << a->text();
        return out;
    }

    QTemporaryDir dir;
    std::unique_ptr<TMessageStore> store;
    std::unique_ptr<TMessagesView> view;
    bool active = true;
    QStringList errors;
};

TEST_F(MessagesViewTest, ConversationsNewestFirstWithUnreadCounts)
{
    receive(text("Hello"), kAnna, 0);
    receive(text("Are you there?"), kAnna, 1);
    receive(text("Boris here"), kBoris, 2);
    active = false; // nothing is read while the user looks elsewhere
    show();
    TConversationModel &c = view->Conversations();
    ASSERT_EQ(c.rowCount(), 2);
    EXPECT_EQ(c.index(0).data(TConversationModel::PeerRole).toString().toStdString(), kBoris);
    EXPECT_EQ(c.index(0).data(TConversationModel::SummaryRole).toString(), "Boris here");
    EXPECT_EQ(c.index(0).data(TConversationModel::UnreadRole).toInt(), 1);
    EXPECT_EQ(c.index(1).data(TConversationModel::PeerRole).toString().toStdString(), kAnna);
    EXPECT_EQ(c.index(1).data(TConversationModel::UnreadRole).toInt(), 2);
    EXPECT_EQ(c.index(1).data(TConversationModel::CountRole).toInt(), 2);
    // The newest conversation is open.
    EXPECT_EQ(view->CurrentPeer(), kBoris);
    EXPECT_EQ(view->ThreadTitle()->text().toStdString(), kBoris);

    // Opening a conversation while the window is active reads it.
    active = true;
    view->OpenConversation(kAnna);
    ASSERT_EQ(view->Thread().rowCount(), 2);
    EXPECT_EQ(data(0, TThreadModel::TextRole).toString(), "Hello");
    EXPECT_EQ(data(1, TThreadModel::TextRole).toString(), "Are you there?");
    EXPECT_EQ(c.index(c.RowOf(kAnna)).data(TConversationModel::UnreadRole).toInt(), 0);
    EXPECT_EQ(c.index(c.RowOf(kBoris)).data(TConversationModel::UnreadRole).toInt(), 1);
    EXPECT_TRUE(errors.isEmpty()) << errors.join("; ").toStdString();
}

TEST_F(MessagesViewTest, PayloadsShowAsWhatTheyAre)
{
    const QString cyrillic = QString::fromUtf8("Привет, мир! \xF0\x9F\x98\x80\xF0\x9F\x8E\x89");
    receive(text(cyrillic), kAnna, 0);

    TMessageContent pictureMessage;
    pictureMessage.Kind = TMessageKind::mkPicture;
    pictureMessage.Width = 72;
    pictureMessage.Height = 28;
    pictureMessage.Picture = picture(72, 28, {{0, 0}, {5, 3}, {71, 27}});
    pictureMessage.Text = "Look";
    receive(pictureMessage, kAnna, 1);

    TMessageContent logo;
    logo.Kind = TMessageKind::mkOperatorLogo;
    logo.Width = 72;
    logo.Height = 14;
    logo.Operator = 26201;
    logo.Picture = picture(72, 14, {{1, 1}});
    receive(logo, kAnna, 2);

    TMessageContent animation;
    animation.Kind = TMessageKind::mkEMSAnimationSmall;
    animation.Text = "Dance";
    animation.Picture = picture(32, 8, {{0, 0}, {9, 1}, {18, 2}, {27, 3}}); // a dot moving down
    receive(animation, kAnna, 3);

    TMessageContent tone;
    tone.Kind = TMessageKind::mkRingingTone;
    tone.Melody.Name = "Scale";
    for (int n : {1, 3, 5})
        tone.Melody.Rows.push_back(TMelodyRow{1, n, 2, 0, 8, 0, 7});
    receive(tone, kAnna, 4);
    show();

    ASSERT_EQ(view->Thread().rowCount(), 5);
    EXPECT_EQ(data(0, TThreadModel::TextRole).toString(), cyrillic);
    EXPECT_EQ(data(0, TThreadModel::KindRole).toInt(), static_cast<int>(TPayloadKind::pkText));
    EXPECT_EQ(data(1, TThreadModel::TitleRole).toString(), "Picture message");
    EXPECT_EQ(data(1, TThreadModel::TextRole).toString(), "Look");
    EXPECT_EQ(data(1, TThreadModel::PictureRole).value<QImage>().size(), QSize(72, 28));
    EXPECT_TRUE(data(2, TThreadModel::TitleRole).toString().startsWith("Operator logo "));
    EXPECT_TRUE(data(2, TThreadModel::TitleRole).toString().endsWith(" (262 01)"));
    EXPECT_EQ(data(3, TThreadModel::TitleRole).toString(), "EMS animation");
    EXPECT_EQ(data(3, TThreadModel::TextRole).toString(), "Dance");
    EXPECT_EQ(data(3, TThreadModel::FrameCountRole).toInt(), 4);
    EXPECT_EQ(data(4, TThreadModel::TitleRole).toString(), "Ringing tone \"Scale\"");
    EXPECT_EQ(data(4, TThreadModel::MelodyTitleRole).toString(), "Scale");
    EXPECT_FALSE(data(4, TThreadModel::MelodyNotesRole).toString().isEmpty());
    for (int row = 0; row < 5; ++row) {
        EXPECT_EQ(data(row, TThreadModel::StatusRole).toString(), "received");
        EXPECT_TRUE(data(row, TThreadModel::ProblemRole).toString().isEmpty()) << row;
    }

    // The picture on screen: every picture pixel a square of whole screen pixels.
    const TBubbleLayout pictureLayout = layoutOf(1);
    ASSERT_EQ(pictureLayout.Pictures.size(), 1u);
    const int scale = pictureLayout.Scale;
    EXPECT_GE(scale, 2);
    EXPECT_EQ(pictureLayout.Pictures[0].size(), QSize(72 * scale, 28 * scale));
    QImage screen = threadImage();
    const QPoint origin = pictureLayout.Pictures[0].topLeft();
    for (auto [x, y, black] : {std::tuple{5, 3, true}, {71, 27, true}, {6, 3, false}, {5, 4, false}})
        for (auto [dx, dy] : {std::pair{0, 0}, {scale - 1, scale - 1}})
            EXPECT_EQ(dark(screen.pixel(origin + QPoint(x * scale + dx, y * scale + dy))), black)
                << x << "," << y << " +" << dx;

    // The animation moves: each frame shows its own dot.
    const TBubbleLayout animationLayout = layoutOf(3);
    ASSERT_EQ(animationLayout.Pictures.size(), 1u);
    const int s = animationLayout.Scale;
    const QPoint a = animationLayout.Pictures[0].topLeft() + QPoint(s / 2, s / 2);
    EXPECT_TRUE(view->Animating());
    for (int frame = 0; frame < 4; ++frame) {
        view->Delegate().SetClock(frame * 250);
        view->ThreadList()->viewport()->update();
        screen = threadImage();
        for (int dot = 0; dot < 4; ++dot)
            EXPECT_EQ(dark(screen.pixel(a + QPoint(dot * s, dot * s))), dot == frame) << frame << "/" << dot;
    }

    // No audio device here: the button says so, and playing reports no failure.
    const TBubbleLayout toneLayout = layoutOf(4);
    EXPECT_FALSE(toneLayout.Play.isNull());
    EXPECT_FALSE(toneLayout.OpenMelody.isNull());
    if (!TMelodyPlayer::AudioAvailable()) {
        EXPECT_EQ(view->Delegate().PlayCaption(view->Thread().Message(4).Id), "No audio device");
        EXPECT_FALSE(view->PlayMelody(4));
    }
    // Hidden, nothing animates.
    view->hide();
    EXPECT_FALSE(view->Animating());
    EXPECT_TRUE(errors.isEmpty()) << errors.join("; ").toStdString();
}

// Right-to-left text is laid out from the right edge of its bubble, left-to-right text from the
// left: the short second line of each shows on its own side.
TEST_F(MessagesViewTest, TextKeepsItsDirection)
{
    receive(text(QString::fromUtf8("\xD7\xA9\xD7\x9C\xD7\x95\xD7\x9D \xD7\xA2\xD7\x95\xD7\x9C\xD7\x9D "
                                   "\xD7\x92\xD7\x93\xD7\x95\xD7\x9C\n\xD7\x90")),
            kAnna, 0); // Hebrew: "shalom olam gadol", then one letter
    receive(text("Hello big world\nH"), kAnna, 1);
    show();
    // Where the ink of the last line starts and ends, as fractions of the text's width.
    auto lastLineInk = [this](int row) {
        const TBubbleLayout l = layoutOf(row);
        const QImage screen = threadImage();
        const int lineHeight = QFontMetrics(view->ThreadList()->font()).lineSpacing();
        int first = INT_MAX, last = -1;
        for (int y = l.Text.bottom() - lineHeight + 1; y <= l.Text.bottom(); ++y)
            for (int x = l.Text.left(); x <= l.Text.right(); ++x)
                if (dark(screen.pixel(x, y))) {
                    first = std::min(first, x - l.Text.left());
                    last = std::max(last, x - l.Text.left());
                }
        return std::pair{first / double(l.Text.width()), last / double(l.Text.width())};
    };
    const auto [rtlFirst, rtlLast] = lastLineInk(0);
    const auto [ltrFirst, ltrLast] = lastLineInk(1);
    EXPECT_GT(rtlFirst, 0.7) << rtlFirst << ".." << rtlLast;
    EXPECT_LT(ltrLast, 0.3) << ltrFirst << ".." << ltrLast;
}

TEST_F(MessagesViewTest, ThreadPagesThroughTheStore)
{
    for (int i = 0; i < 120; ++i)
        receive(text(QString("message %1").arg(i)), kAnna, i);
    show();
    TThreadModel &t = view->Thread();
    ASSERT_EQ(t.rowCount(), TThreadModel::kPageSize);
    EXPECT_EQ(data(t.rowCount() - 1, TThreadModel::TextRole).toString(), "message 119");
    EXPECT_EQ(data(0, TThreadModel::TextRole).toString(), "message 70");
    EXPECT_TRUE(t.CanFetchOlder());
    QScrollBar *bar = view->ThreadList()->verticalScrollBar();
    EXPECT_EQ(bar->value(), bar->maximum()); // opened at the newest

    // Scrolling to the top brings the page before, and the message that was on top stays in view.
    const int64_t topId = t.Message(0).Id;
    bar->setValue(0);
    QApplication::processEvents();
    EXPECT_EQ(t.rowCount(), 100);
    EXPECT_EQ(data(0, TThreadModel::TextRole).toString(), "message 20");
    const QRect top = view->ThreadList()->visualRect(t.index(t.RowOf(topId)));
    EXPECT_TRUE(top.intersects(view->ThreadList()->viewport()->rect())) << top.y();
    bar->setValue(0);
    QApplication::processEvents();
    EXPECT_EQ(t.rowCount(), 120);
    EXPECT_FALSE(t.CanFetchOlder());
    EXPECT_EQ(data(0, TThreadModel::TextRole).toString(), "message 0");
}

TEST_F(MessagesViewTest, SearchFindsMessagesOfEveryConversation)
{
    receive(text("apple pie tonight"), kAnna, 0);
    receive(text("no fruit"), kAnna, 1);
    receive(text("An apple a day"), kBoris, 2);
    show();
    view->SearchField()->setText("apple");
    view->Search(view->SearchField()->text());
    TThreadModel &t = view->Thread();
    ASSERT_EQ(t.rowCount(), 2);
    EXPECT_EQ(data(0, TThreadModel::TextRole).toString(), "apple pie tonight");
    EXPECT_EQ(data(0, TThreadModel::PeerRole).toString().toStdString(), kAnna);
    EXPECT_EQ(data(1, TThreadModel::PeerRole).toString().toStdString(), kBoris);
    EXPECT_TRUE(view->ThreadTitle()->text().startsWith("Search \"apple\": 2"))
        << view->ThreadTitle()->text().toStdString();
    EXPECT_FALSE(view->ReplyField()->isEnabled());
    // Hits name who they are from.
    EXPECT_FALSE(layoutOf(0).Peer.isNull());

    view->SearchField()->clear();
    view->Search({});
    EXPECT_EQ(t.Peer(), view->CurrentPeer());
    EXPECT_TRUE(t.Search().empty());
    EXPECT_TRUE(view->ReplyField()->isEnabled());
}

// A queued message's end shows in its status line: sent quietly, failed and uncertain (sent or
// not, a user decides) each in a warning colour of its own, in the model and on the screen.
TEST_F(MessagesViewTest, FailedAndUncertainSendsStandOut)
{
    TMessageComposer composer;
    const auto submits = composer.Compose(kAnna, text("status"));
    TOutgoing out;
    out.Peer = kAnna;
    out.Text = "status";
    out.Segments.push_back(submits.front().get());
    const std::vector<std::pair<TStoredStatus, std::string>> ends = {
        {TStoredStatus::ssSent, "sent"},
        {TStoredStatus::ssFailed, "failed"},
        {TStoredStatus::ssUncertain, "uncertain"}};
    for (size_t i = 0; i < ends.size(); ++i) {
        const int64_t id = store->Enqueue(out, At(0.01 * static_cast<double>(i)));
        ASSERT_TRUE(store->ClaimQueued("test", "m", 60000));
        switch (ends[i].first) {
        case TStoredStatus::ssSent:
            ASSERT_TRUE(store->SegmentSent(id, 1, 7, At(0.01 * static_cast<double>(i))));
            break;
        case TStoredStatus::ssFailed:
            ASSERT_TRUE(store->FailQueued(id, "test", "+CMS ERROR: 500"));
            break;
        default:
            ASSERT_TRUE(store->MarkUncertain(id, "test", "No reply"));
        }
    }
    show();
    view->OpenConversation(kAnna);
    ASSERT_EQ(view->Thread().rowCount(), 3);
    std::vector<QColor> colours;
    for (int row = 0; row < 3; ++row) {
        EXPECT_EQ(data(row, TThreadModel::StatusRole).toString().toStdString(), ends[row].second);
        colours.push_back(data(row, Qt::ForegroundRole).value<QColor>());
    }
    const QColor quiet = colours[0];
    EXPECT_EQ(qRed(quiet.rgb()), qGreen(quiet.rgb())) << "a plain grey for a message that went out";
    for (int row = 1; row < 3; ++row) {
        SCOPED_TRACE(ends[row].second);
        EXPECT_GT(colours[row].red() - colours[row].blue(), 0x60) << "a warm colour";
    }
    EXPECT_NE(colours[1], colours[2]);
    // The status line is drawn in that colour: warm ink in it only where the model asks.
    for (int row = 0; row < 3; ++row) {
        SCOPED_TRACE(ends[row].second);
        const QRect meta = layoutOf(row).Meta;
        const QImage image = threadImage();
        int warm = 0;
        for (int y = meta.top(); y <= meta.bottom(); ++y)
            for (int x = meta.left(); x <= meta.right(); ++x) {
                const QRgb c = image.pixel(x, y);
                warm += qRed(c) - qBlue(c) > 0x40;
            }
        EXPECT_EQ(warm > 0, row > 0) << warm;
    }
}

TEST_F(MessagesViewTest, LiveUpdatesStatusAndNotification)
{
    receive(text("first"), kAnna, 0);
    show();
    ASSERT_EQ(view->Thread().rowCount(), 1);

    // A sent message, its segment out, then the status report that it was delivered.
    TMessageComposer composer;
    TMessageContent reply = text("a reply");
    reply.StatusReport = true;
    auto submits = composer.Compose(kAnna, reply);
    TOutgoing out;
    out.Peer = kAnna;
    out.Text = "a reply";
    out.Segments.push_back(submits.front().get());
    const int64_t id = store->RecordOutgoing(out, At(0.01));
    store->SegmentSent(id, 1, 42, At(0.01));
    view->Refresh();
    ASSERT_EQ(view->Thread().rowCount(), 2);
    EXPECT_TRUE(data(1, TThreadModel::OutgoingRole).toBool());
    EXPECT_EQ(data(1, TThreadModel::StatusRole).toString(), "sent");
    const TArrival report = Report(kAnna, 42, 0, At(0.02));
    store->RecordReceived(report.Raw, false, report.SMS.get(), At(0.02), -1);
    view->Refresh();
    EXPECT_EQ(data(1, TThreadModel::StatusRole).toString(), "delivered");
    // The sent bubble keeps to the right.
    EXPECT_GT(layoutOf(1).Bubble.left(), layoutOf(0).Bubble.left());

    // A message while the window is not active: counted unread and shown.
    active = false;
    receive(text("are you awake?"), kBoris, 5);
    view->Refresh();
    EXPECT_EQ(view->Conversations().index(0).data(TConversationModel::PeerRole).toString().toStdString(),
              kBoris);
    EXPECT_EQ(view->Conversations().index(0).data(TConversationModel::UnreadRole).toInt(), 1);
    EXPECT_EQ(view->NotificationCount(), 0); // no notifier in this test

    // One in the open conversation stays unread until the user is back at the window.
    receive(text("still there?"), kAnna, 6);
    view->Refresh();
    ASSERT_EQ(view->CurrentPeer(), kAnna);
    TConversationModel &c = view->Conversations();
    EXPECT_EQ(c.index(c.RowOf(kAnna)).data(TConversationModel::UnreadRole).toInt(), 1);
    active = true;
    QEvent activate(QEvent::WindowActivate);
    QApplication::sendEvent(view.get(), &activate);
    EXPECT_EQ(c.index(c.RowOf(kAnna)).data(TConversationModel::UnreadRole).toInt(), 0);
    EXPECT_EQ(c.index(c.RowOf(kBoris)).data(TConversationModel::UnreadRole).toInt(), 1);
    EXPECT_TRUE(errors.isEmpty()) << errors.join("; ").toStdString();
}

// Records of another program on the same store file (a gateway, kestrel send) show as they
// come, as the window's own do; the view's own writes are no news to it.
TEST_F(MessagesViewTest, RecordsOfOtherProgramsShowAsTheyCome)
{
    receive(text("mine"), kAnna, 0);
    show();
    ASSERT_EQ(view->Conversations().rowCount(), 1);
    EXPECT_FALSE(store->ChangedElsewhere());
    receive(text("mine too"), kAnna, 1);
    EXPECT_FALSE(store->ChangedElsewhere());
    auto other = TMessageStore::Open(dir.filePath("messages.sqlite").toStdString());
    for (const auto &a : Received(text("from a gateway"), kBoris, At(2.0 / 1440), 77))
        other->RecordReceived(a.Raw, false, a.SMS.get(), At(2.0 / 1440), -1);
    EXPECT_TRUE(QTest::qWaitFor([&] { return view->Conversations().rowCount() == 2; }, 5000));
    EXPECT_EQ(view->Conversations().index(0).data(TConversationModel::PeerRole).toString().toStdString(),
              kBoris);
    EXPECT_TRUE(errors.isEmpty()) << errors.join("; ").toStdString();
}

TEST_F(MessagesViewTest, IncompletePayloadShowsItsParts)
{
    const auto parts = Received(text(QString(400, 'a')), kAnna, At(), 9);
    ASSERT_EQ(parts.size(), 3u);
    for (size_t i : {0u, 2u})
        store->RecordReceived(parts[i].Raw, false, parts[i].SMS.get(), At(), -1);
    show();
    ASSERT_EQ(view->Thread().rowCount(), 1);
    EXPECT_EQ(data(0, TThreadModel::ProgressRole).toString(), "2 of 3 parts");
    EXPECT_EQ(data(0, TThreadModel::StatusRole).toString(), "incomplete");
    // The last part makes it whole.
    store->RecordReceived(parts[1].Raw, false, parts[1].SMS.get(), At(), -1);
    view->Refresh();
    EXPECT_TRUE(data(0, TThreadModel::ProgressRole).toString().isEmpty());
    EXPECT_EQ(data(0, TThreadModel::TextRole).toString(), QString(400, 'a'));
}

TEST_F(MessagesViewTest, ContextMenuCopiesSavesAndDeletes)
{
    TMessageContent pictureMessage;
    pictureMessage.Kind = TMessageKind::mkPicture;
    pictureMessage.Width = 16;
    pictureMessage.Height = 8;
    pictureMessage.Picture = picture(16, 8, {{3, 2}});
    receive(pictureMessage, kAnna, 0);
    TMessageContent tone;
    tone.Kind = TMessageKind::mkRingingTone;
    tone.Melody.Name = "Two";
    tone.Melody.Rows = {TMelodyRow{1, 1, 2, 0, 8, 0, 7}, TMelodyRow{1, 8, 3, 0, 8, 0, 7}};
    receive(tone, kAnna, 1);
    receive(text("keep me"), kAnna, 2);
    show();
    ASSERT_EQ(view->Thread().rowCount(), 3);

    EXPECT_EQ(captions(0), QStringList({"Copy text", "Save picture as PNG...", "Delete from store"}));
    EXPECT_EQ(captions(1), QStringList({"Copy text", "Save melody as RTTTL...", "Delete from store"}));
    EXPECT_EQ(captions(2), QStringList({"Copy text", "Delete from store"}));

    view->CopyText(2);
    EXPECT_EQ(QApplication::clipboard()->text(), "keep me");

    const QString png = dir.filePath("picture.png");
    view->AskSaveFile = [&](const QString &, const QString &, const QString &) { return png; };
    view->ContextMenu(0, -1)->actions().at(1)->trigger();
    QImage saved(png);
    ASSERT_FALSE(saved.isNull());
    EXPECT_EQ(saved.size(), QSize(16, 8));
    EXPECT_TRUE(dark(saved.pixel(3, 2)));
    EXPECT_FALSE(dark(saved.pixel(4, 2)));

    const QString rtttl = dir.filePath("two.rtttl");
    EXPECT_TRUE(view->SaveMelody(1, rtttl));
    QFile f(rtttl);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    TSMRingingTone back;
    back.SetRTTTL(QString::fromUtf8(f.readAll()));
    EXPECT_EQ(MelodyFromRingingTone(back).Rows.size(), 2u);
    EXPECT_EQ(MelodyFromRingingTone(back).Name, "Two");

    // Deleting asks first; a no keeps the message.
    const int64_t pictureId = view->Thread().Message(0).Id;
    view->Confirm = [](const QString &) { return false; };
    view->ContextMenu(0, -1)->actions().last()->trigger();
    EXPECT_EQ(view->Thread().rowCount(), 3);
    view->Confirm = [](const QString &) { return true; };
    view->ContextMenu(0, -1)->actions().last()->trigger();
    EXPECT_EQ(view->Thread().rowCount(), 2);
    EXPECT_FALSE(store->Message(pictureId));
    EXPECT_EQ(view->Conversations().index(0).data(TConversationModel::CountRole).toInt(), 2);
    EXPECT_TRUE(errors.isEmpty()) << errors.join("; ").toStdString();
}

// The desktop's notification service as the bus shows it, recording what it is asked to show.
class TNotificationService : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    QStringList Received;
public slots:
    uint Notify(const QString &, uint, const QString &, const QString &summary, const QString &body,
                const QStringList &, const QVariantMap &, int)
    {
        Received << summary + ": " + body;
        return static_cast<uint>(Received.size());
    }
};

// A private session bus with a notification service of our own: a message that arrives while the
// window is not active is announced there; without the service nothing is sent and nothing waits.
TEST_F(MessagesViewTest, DesktopNotificationOverDBus)
{
    QProcess bus;
    bus.start("dbus-daemon", {"--session", "--nofork", "--print-address=1"});
    if (!bus.waitForStarted(5000))
        GTEST_SKIP() << "no dbus-daemon";
    ASSERT_TRUE(bus.waitForReadyRead(5000));
    const QString address = QString::fromUtf8(bus.readLine()).trimmed();
    QDBusConnection client = QDBusConnection::connectToBus(address, "kestrel-client");
    ASSERT_TRUE(client.isConnected());

    TDesktopNotifier without(client);
    EXPECT_FALSE(without.Available());
    EXPECT_FALSE(without.Notify("x", "y"));

    QDBusConnection service = QDBusConnection::connectToBus(address, "kestrel-service");
    TNotificationService notifications;
    ASSERT_TRUE(
        service.registerObject(TDesktopNotifier::kPath, &notifications, QDBusConnection::ExportAllSlots));
    ASSERT_TRUE(service.registerService(TDesktopNotifier::kService));
    receive(text("first"), kAnna, 0);
    show();
    view->Notifier = std::make_unique<TDesktopNotifier>(client);
    EXPECT_TRUE(view->Notifier->Available());
    active = false;
    receive(text("while away"), kBoris, 1);
    view->Refresh();
    EXPECT_EQ(view->NotificationCount(), 1);
    EXPECT_EQ(view->LastNotification().toStdString(), "Message from " + kBoris + ": while away");
    for (int i = 0; i < 100 && notifications.Received.isEmpty(); ++i)
        QTest::qWait(20);
    EXPECT_EQ(notifications.Received,
              QStringList{QString::fromStdString("Message from " + kBoris + ": while away")});
    // While the user looks at the window, nothing is announced.
    active = true;
    receive(text("seen"), kBoris, 2);
    view->Refresh();
    EXPECT_EQ(view->NotificationCount(), 1);
    service.unregisterService(TDesktopNotifier::kService);
    QDBusConnection::disconnectFromBus("kestrel-service");
    QDBusConnection::disconnectFromBus("kestrel-client");
    bus.terminate();
    bus.waitForFinished(5000);
}

// Contacts in the view: conversations under their contact's name (the number beside it), the
// search that finds a name, and a received vCard saved as a contact from its context menu.
class ContactsViewTest : public MessagesViewTest {
protected:
    // Each conversation as its list shows it: "display|peer".
    QStringList listed() const
    {
        QStringList out;
        const auto &m = view->Conversations();
        for (int r = 0; r < m.rowCount(); ++r)
            out << m.index(r).data().toString() + "|" +
                       m.index(r).data(TConversationModel::PeerRole).toString();
        return out;
    }
};

TEST_F(ContactsViewTest, ConversationsShowTheirContactsName)
{
    // Anna's card has her number in its national form, saved at home in 49: it meets +49...
    // Boris's national number was saved at home in 44: another number.
    store->SaveContact({0, "Anna Schmidt", {{"0170 1111111", "cell", {}}}}, "49");
    store->SaveContact({0, "Boris", {{"0170 2222222", "", {}}}}, "44");
    receive(text("hello from Anna"), kAnna, 1);
    receive(text("hello from Boris"), kBoris, 2);
    show();
    view->SetCountryCode("49");
    EXPECT_EQ(listed(), (QStringList{"+491702222222|+491702222222", "Anna Schmidt|+491701111111"}));
    const QModelIndex anna = view->Conversations().index(1);
    EXPECT_TRUE(anna.data(Qt::ToolTipRole).toString().startsWith("Anna Schmidt (+491701111111): 1 messages"));
    view->ConversationList()->setCurrentIndex(anna);
    QApplication::processEvents();
    EXPECT_EQ(view->ThreadTitle()->text(), "Anna Schmidt  +491701111111");
}

TEST_F(ContactsViewTest, SearchFindsAName)
{
    store->SaveContact({0, "Anna Schmidt", {{kAnna, "", {}}}}, "49");
    receive(text("hello from Anna"), kAnna, 1);
    receive(text("hello from Boris"), kBoris, 2);
    show();
    view->SetCountryCode("49");
    view->Search("schmidt");
    EXPECT_EQ(listed(), QStringList{"Anna Schmidt|+491701111111"});
    EXPECT_TRUE(view->Conversations().Filtered());
    // A number's digits find their conversation too.
    view->Search("2222");
    EXPECT_EQ(listed(), QStringList{"+491702222222|+491702222222"});
    // Words of message texts only: every conversation stays listed, the hits show on the right.
    view->Search("hello");
    EXPECT_EQ(listed().size(), 2);
    EXPECT_FALSE(view->Conversations().Filtered());
    EXPECT_EQ(view->Thread().rowCount(), 2);
    view->Search("");
    EXPECT_EQ(listed().size(), 2);
}

TEST_F(ContactsViewTest, ReceivedVCardSavedAsContact)
{
    TMessageContent card;
    card.Kind = TMessageKind::mkvCard;
    card.vCardName = "Boris Beispiel";
    card.vCardPhone = "+491702222222";
    receive(card, kBoris, 1);
    receive(text("plain"), kBoris, 2);
    show();
    view->SetCountryCode("49");
    ASSERT_EQ(view->Thread().rowCount(), 2);
    EXPECT_EQ(captions(1), (QStringList{"Copy text", "Delete from store"}));
    ASSERT_EQ(captions(0), (QStringList{"Copy text", "Save as contact", "Delete from store"}));
    view->ContextMenu(0, -1)->actions().at(1)->trigger();
    EXPECT_TRUE(errors.isEmpty()) << errors.join('\n').toStdString();
    const auto contacts = store->Contacts();
    ASSERT_EQ(contacts.size(), 1u);
    EXPECT_EQ(contacts[0].Name, "Boris Beispiel");
    ASSERT_EQ(contacts[0].Numbers.size(), 1u);
    EXPECT_EQ(contacts[0].Numbers[0].Key, "491702222222");
    EXPECT_EQ(listed(), QStringList{"Boris Beispiel|+491702222222"});
    EXPECT_EQ(view->ThreadTitle()->text(), "Boris Beispiel  +491702222222");
    // Saved again: still one contact.
    EXPECT_EQ(view->SaveAsContact(0), 1);
    EXPECT_EQ(store->Contacts().size(), 1u);
}

TEST_F(ContactsViewTest, VCardWithoutNumberIsNotSaved)
{
    TMessageContent card;
    card.Kind = TMessageKind::mkvCard;
    card.vCardName = "Nobody";
    receive(card, kBoris, 1);
    show();
    ASSERT_EQ(view->Thread().rowCount(), 1);
    view->ContextMenu(0, -1)->actions().at(1)->trigger();
    ASSERT_EQ(errors.size(), 1);
    EXPECT_TRUE(
        errors[0].startsWith("This vCard cannot be saved as a contact: card 1 (line 1) \"Nobody\": no phone "
                             "number (TEL)"))
        << errors[0].toStdString();
    EXPECT_TRUE(store->Contacts().empty());
}

} // namespace

#include "messagesview_test.moc"
