// The Messages tab on a large store: 100,000 received messages over 1,000 conversations, one of
// them 10,000 messages long. Prints window_start_ms (window created until the Messages tab is
// drawn with the conversations and the newest thread), open_conversation_ms (the long
// conversation drawn at its newest page), search_ms (a full-text search over every message,
// drawn) and peak_rss_kib. Run under the offscreen platform:
//
//   QT_QPA_PLATFORM=offscreen bench/messages/messages_bench [STORE] [MESSAGES] [CONVERSATIONS]
//
// STORE (default: a file in the temporary folder) is filled once and reused on later runs.
#include "app/gsmkestrelform.h"
#include "app/messagesview.h"
#include "gsm/sms.h"
#include "gsm/tpdufields.h"
#include "store/messagestore.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QListView>

#include <cstdio>
#include <sys/resource.h>

using namespace kestrel;

namespace {

std::string peer(int i)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "+4917%08d", i);
    return buf;
}

void fill(TMessageStore &store, int messages, int conversations)
{
    static const char *const kWords[] = {"hello",   "meeting", "tomorrow", "kestrel",
                                         "picture", "call",    "late",     "train"};
    const int longOne = messages / 10; // the first peer gets a tenth of all messages
    for (int i = 0; i < messages; ++i) {
        const int p = i < longOne ? 0 : 1 + (i % (conversations - 1));
        TSMSDeliver d;
        d.FirstOctet = 0x04;
        d.OA = peer(p);
        d.SCTS = EncodeDate(2026, 1, 1) + i / 86400.0;
        const std::string text =
            std::string(kWords[i % 8]) + " " + kWords[(i / 8) % 8] + " number " + std::to_string(i);
        d.UserData = TextToGSM(text);
        const std::string raw = d.GetPDU();
        auto sms = CreateSMSFromPDU(nullptr, raw, true);
        store.RecordReceived(raw, false, sms.get(), d.SCTS, -1);
        if (i % 10000 == 9999)
            std::fprintf(stderr, "filled %d\n", i + 1);
    }
}

// Draws the widget as the screen would, so that painting is part of the time.
void draw(QWidget *w)
{
    QApplication::processEvents();
    w->grab();
}

long peakRssKiB()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_maxrss;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const QStringList args = QApplication::arguments();
    const QString location = args.value(1, QDir::temp().filePath("kestrel-messages-bench.sqlite"));
    const int messages = args.value(2, "100000").toInt();
    const int conversations = args.value(3, "1000").toInt();
    const bool fresh = !QFile::exists(location);
    auto store = TMessageStore::Open(location.toStdString());
    if (fresh) {
        QElapsedTimer t;
        t.start();
        fill(*store, messages, conversations);
        std::printf("fill_s: %.1f\n", t.elapsed() / 1000.0);
    }

    const QString scratch = QDir::temp().filePath("kestrel-messages-bench-settings");
    QDir().mkpath(scratch);
    TGSMDataModule dm((scratch + "/gsm.ini").toStdString(), (scratch + "/").toStdString());
    dm.StoreName = kNoStore; // the prepared store instead of the data module's
    dm.AutoSaveSettings = false;

    QElapsedTimer t;
    t.start();
    TGSMKestrelForm form(dm, {"gsm-kestrel"});
    form.resize(1000, 760);
    form.SetMessageStore(store.get());
    form.ShowMessagesTab();
    form.show();
    draw(&form);
    const qint64 start = t.elapsed();

    TMessagesView *view = form.MessagesView();
    t.restart();
    view->OpenConversation(peer(0));
    draw(view->ThreadList());
    const qint64 open = t.elapsed();

    t.restart();
    qint64 search = -1;
    try {
        view->Search("kestrel train");
        draw(view->ThreadList());
        search = t.elapsed();
    } catch (const std::exception &e) {
        std::printf("search_error: %s\n", e.what());
    }

    std::printf("messages: %d\nconversations: %d\nlong_conversation: %d\n", messages, conversations,
                messages / 10);
    std::printf("window_start_ms: %lld\nopen_conversation_ms: %lld\nsearch_ms: %lld\nsearch_hits_shown: %d\n",
                static_cast<long long>(start), static_cast<long long>(open), static_cast<long long>(search),
                view->Thread().rowCount());
    std::printf("peak_rss_kib: %ld\n", peakRssKiB());
    return 0;
}
