// The message store with many messages: a store of --messages received messages (default
// 100,000: mixed kinds, a fifth of them in several segments, from 1,000 senders) and 1,000
// incomplete payloads, on SQLite and on a local PostgreSQL server (started here in a scratch
// folder with fsync on, or given with --postgresql URL). Prints one line per figure:
//   insert_us        median time to record one received single-segment message, its decode
//                    from the handset's PDU line included (each commit flushed to the disk)
//   insert_noflush_us the same with Synchronous off (a commit survives a crash of the program,
//                    not of the machine): the store's own cost without the disk's flush
//   list_ms          median time to list the latest 50 messages of one sender
//   search_ms        median time to find all messages holding a word that about 1% of the texts
//                    hold (about 1,000 results)
//   search_page_ms   the same for the latest 50 of a word that about 10% hold
//   open_ms          median time to open the store and fill a reassembly stack with the 1,000
//                    incomplete payloads (IncompleteSegments, decode, AddSegment)
//   bytes_per_message the store's size less an empty store's, per message
#include "connect/connection.h"
#include "gsm/sms.h"
#include "modemsim/simnetwork.h"
#include "pgserver.h"
#include "store/messagestore.h"
#include "xsms/composer.h"
#include "xsms/protocolstack.h"

#include <QCoreApplication>
#include <QImage>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QUrl>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

using namespace kestrel;

namespace {

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point t0)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// Pseudo-words: a vocabulary whose words the texts draw with a skewed frequency, so that some
// are in about 10% of the texts and some in about 1%.
std::vector<std::string> vocabulary()
{
    const char *syllables[] = {"ka", "lo", "mi", "ne", "ru", "ta", "vo", "zi", "pe", "su", "do", "fa"};
    std::vector<std::string> words;
    for (const char *a : syllables)
        for (const char *b : syllables)
            for (const char *c : syllables)
                words.push_back(std::string(a) + b + c);
    return words; // 1,728 words
}

struct TWorkload {
    std::vector<std::string> words = vocabulary();
    std::mt19937 rng{20240501};
    std::map<std::string, int> documentFrequency;
    TMessageComposer composer;
    QImage picture;

    TWorkload()
    {
        picture = QImage(72, 28, QImage::Format_RGB32);
        for (int y = 0; y < 28; ++y)
            for (int x = 0; x < 72; ++x)
                picture.setPixel(x, y, (x * y) % 3 ? 0xFFFFFF : 0);
    }

    std::string word()
    {
        // Zipf-like: word k with weight 1 / (k + 10).
        static std::discrete_distribution<size_t> pick = [&] {
            std::vector<double> w;
            for (size_t k = 0; k < words.size(); ++k)
                w.push_back(1.0 / static_cast<double>(k + 10));
            return std::discrete_distribution<size_t>(w.begin(), w.end());
        }();
        return words[pick(rng)];
    }

    std::string sentence(int n)
    {
        std::string s;
        std::map<std::string, bool> seen;
        for (int i = 0; i < n; ++i) {
            const std::string w = word();
            s += (i ? " " : "") + w;
            if (!seen[w]) {
                seen[w] = true;
                ++documentFrequency[w];
            }
        }
        return s;
    }

    // The segments of message number i as its recipient's handset gives them.
    std::vector<std::string> message(int i, const std::string &from, TDateTime when)
    {
        TMessageContent c;
        const int kind = static_cast<int>(rng() % 100);
        if (kind < 56) {
            c.Kind = TMessageKind::mkText;
            c.Text = QString::fromStdString(sentence(4 + static_cast<int>(rng() % 18)));
        } else if (kind < 70) {
            c.Kind = TMessageKind::mkUCS2Text;
            c.Text = QString::fromUtf8("Привет ") +
                     QString::fromStdString(sentence(3 + static_cast<int>(rng() % 6))) +
                     QString::fromUtf8(" 😀");
        } else if (kind < 73) {
            c.Kind = TMessageKind::mkvCard;
            c.vCardName = QString::fromStdString(word());
            c.vCardPhone = "+49170" + QString::number(i);
        } else if (kind < 76) {
            c.Kind = TMessageKind::mkEMSPictureSmall;
            c.Text = QString::fromStdString(sentence(3));
            c.Picture = picture;
        } else if (kind < 80) {
            c.Kind = TMessageKind::mkRingingTone;
            c.Melody.Name = QString::fromStdString(word());
            c.Melody.Rows = {TMelodyRow{2, 1, 2, 0, 8, 0, 7}, TMelodyRow{1, 5, 3, 1, 10, 0, 7}};
        } else if (kind < 90) { // from here on several segments: 20%
            c.Kind = TMessageKind::mkText;
            c.Text = QString::fromStdString(sentence(30 + static_cast<int>(rng() % 60)));
        } else if (kind < 94) {
            c.Kind = TMessageKind::mkUCS2Text;
            c.Text = QString::fromUtf8("Длинное сообщение ") + QString::fromStdString(sentence(14));
        } else if (kind < 98) {
            c.Kind = TMessageKind::mkPicture;
            c.Text = QString::fromStdString(sentence(2));
            c.Picture = picture;
            c.Width = 72;
            c.Height = 28;
        } else {
            c.Kind = TMessageKind::mkOperatorLogo;
            c.Picture = picture;
            c.Width = 72;
            c.Height = 14;
            c.Operator = 26201;
        }
        return delivered(composer.Compose("+4915100000001", c), from, when);
    }

    // A long text of three segments whose first only is handed out.
    std::string firstSegmentOfLongText(const std::string &from, TDateTime when)
    {
        TMessageContent c;
        c.Kind = TMessageKind::mkText;
        c.Text = QString::fromStdString(sentence(70));
        return delivered(composer.Compose("+4915100000001", c), from, when).front();
    }

    static std::vector<std::string> delivered(const std::vector<std::unique_ptr<TSMSSubmit>> &submits,
                                              const std::string &from, TDateTime when)
    {
        std::vector<std::string> out;
        for (const auto &s : submits) {
            s->GSM = SimBareContext();
            out.push_back("00" + StrToHex(SimDeliverFromSubmit(s->Encode(), from, when)));
        }
        return out;
    }
};

std::string peer(int k)
{
    return "+49170" + std::to_string(1000000 + k);
}

void record(TMessageStore &store, const std::string &raw, TDateTime when)
{
    auto sms = CreateSMSFromPDU(nullptr, raw, true);
    store.RecordReceived(raw, false, sms.get(), when, -1);
}

// The store's size on disk or on the server.
double sizeOf(const std::string &location)
{
    if (location.find("://") == std::string::npos) {
        double size = 0;
        for (const char *suffix : {"", "-wal"}) {
            std::error_code e;
            const auto s = std::filesystem::file_size(location + suffix, e);
            if (!e)
                size += static_cast<double>(s);
        }
        return size;
    }
    double size = 0;
    {
        QUrl u(QString::fromStdString(location));
        QSqlDatabase db = QSqlDatabase::addDatabase("QPSQL", "size");
        db.setHostName(u.host());
        db.setPort(u.port());
        db.setUserName(u.userName());
        db.setPassword(u.password());
        db.setDatabaseName(u.path().mid(1));
        if (db.open()) {
            QSqlQuery q(db);
            q.exec("CHECKPOINT");
            if (q.exec("SELECT pg_database_size(current_database())") && q.next())
                size = q.value(0).toDouble();
        }
        db.close();
    }
    QSqlDatabase::removeDatabase("size");
    return size;
}

void run(const char *backend, const std::string &location, const std::string &emptyLocation, int messages)
{
    const int peers = 1000, incomplete = 1000;
    TWorkload w;
    const TDateTime now = NowUTC();
    const TDateTime start = now - 12; // the messages spread over the last twelve days
    const double step = 11.0 / messages;
    int segments = 0;
    double genMs = 0, recMs = 0;
    auto t0 = Clock::now();
    {
        TStoreSettings fast;
        fast.Synchronous = false; // filling is not what is measured
        auto store = TMessageStore::Open(location, fast);
        for (int i = 0; i < messages; ++i) {
            const TDateTime when = start + i * step;
            const auto g = Clock::now();
            const auto raws = w.message(i, peer(i % peers), when);
            genMs += msSince(g);
            for (const std::string &raw : raws) {
                const auto r = Clock::now();
                record(*store, raw, when);
                recMs += msSince(r);
                ++segments;
            }
            if (i % 10000 == 9999)
                std::fprintf(stderr, "%s: %d messages recorded (%.0f s)\n", backend, i + 1,
                             msSince(t0) / 1000);
        }
        for (int i = 0; i < incomplete; ++i)
            record(*store, w.firstSegmentOfLongText(peer(i % peers), now - 0.5 + i * 0.0001),
                   now - 0.5 + i * 0.0001);
    }
    std::fprintf(stderr, "generating %.0f ms, recording %.0f ms\n", genMs, recMs);
    std::printf("%s fill: %d messages in %d segments and %d incomplete payloads, %.0f s\n", backend, messages,
                segments, incomplete, msSince(t0) / 1000);

    auto insert = [&](bool synchronous) {
        TStoreSettings settings;
        settings.Synchronous = synchronous;
        auto store = TMessageStore::Open(location, settings);
        std::vector<double> times;
        for (int i = 0; i < 300; ++i) {
            TMessageContent c;
            c.Kind = TMessageKind::mkText;
            c.Text = QString::fromStdString(w.sentence(10));
            const std::string raw =
                TWorkload::delivered(w.composer.Compose("+49151", c), peer(i % peers), now).front();
            const auto s = Clock::now();
            auto sms = CreateSMSFromPDU(nullptr, raw, true);
            store->RecordReceived(raw, false, sms.get(), now, -1);
            times.push_back(std::chrono::duration<double, std::micro>(Clock::now() - s).count());
        }
        return median(times);
    };
    std::printf("%s insert_us: %.0f\n", backend, insert(true));
    std::printf("%s insert_noflush_us: %.0f\n", backend, insert(false));

    auto store = TMessageStore::Open(location);
    std::vector<double> times;
    size_t listed = 0;
    for (int i = 0; i < 200; ++i) {
        TMessageFilter f;
        f.Peer = peer(static_cast<int>(w.rng() % peers));
        f.Limit = 50;
        const auto s = Clock::now();
        listed += store->List(f).size();
        times.push_back(msSince(s));
    }
    std::printf("%s list_ms: %.2f (%zu messages per list)\n", backend, median(times), listed / 200);

    // Words held by about 1% and about 10% of the texts.
    auto near = [&](double share) {
        std::string best;
        double bestDistance = 1e9;
        for (const auto &[word, count] : w.documentFrequency) {
            const double d = std::abs(count - share * messages);
            if (d < bestDistance) {
                bestDistance = d;
                best = word;
            }
        }
        return best;
    };
    auto search = [&](const std::string &word, int limit, size_t &found) {
        std::vector<double> t;
        for (int i = 0; i < 21; ++i) {
            TMessageFilter f;
            f.Search = word;
            f.Limit = limit;
            const auto s = Clock::now();
            found = store->List(f).size();
            t.push_back(msSince(s));
        }
        return median(t);
    };
    size_t found = 0;
    const std::string rare = near(0.01), common = near(0.10);
    const double searchMs = search(rare, 0, found);
    std::printf("%s search_ms: %.2f (\"%s\", %zu messages)\n", backend, searchMs, rare.c_str(), found);
    const double pageMs = search(common, 50, found);
    std::printf("%s search_page_ms: %.2f (\"%s\", latest %zu of %d)\n", backend, pageMs, common.c_str(),
                found, w.documentFrequency[common]);
    store.reset();

    times.clear();
    int open = 0;
    for (int i = 0; i < 7; ++i) {
        const auto s = Clock::now();
        auto again = TMessageStore::Open(location);
        TSMSProtocolStack stack;
        for (const TStoredSegment &segment : again->IncompleteSegments(now - 3)) {
            auto sms = CreateSMSFromPDU(nullptr, segment.PDU, true);
            TSMSProtocol *p = nullptr;
            stack.AddSegment(sms.get(), p);
        }
        times.push_back(msSince(s));
        open = stack.Count();
    }
    std::printf("%s open_ms: %.1f (%d payloads in the stack)\n", backend, median(times), open);

    const double empty = sizeOf(emptyLocation);
    std::printf("%s bytes_per_message: %.0f\n", backend,
                (sizeOf(location) - empty) / (messages + incomplete));
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    setvbuf(stdout, nullptr, _IOLBF, 0); // each figure as soon as it is known
    int messages = 100000;
    std::string backend = "both", postgres, folder;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--messages")
            messages = std::stoi(argv[i + 1]);
        else if (a == "--backend")
            backend = argv[i + 1];
        else if (a == "--postgresql")
            postgres = argv[i + 1];
        else if (a == "--dir")
            folder = argv[i + 1];
    }
    try {
        if (backend == "both" || backend == "sqlite") {
            const std::filesystem::path dir = folder.empty()
                                                  ? std::filesystem::temp_directory_path() /
                                                        ("kestrel-store-bench-" + std::to_string(getpid()))
                                                  : std::filesystem::path(folder);
            std::filesystem::remove_all(dir / "bench.sqlite");
            std::filesystem::create_directories(dir);
            const std::string empty = (dir / "empty.sqlite").string();
            TMessageStore::Open(empty);
            run("sqlite", (dir / "bench.sqlite").string(), empty, messages);
            if (folder.empty())
                std::filesystem::remove_all(dir);
        }
        if (backend == "both" || backend == "postgresql") {
            std::unique_ptr<test::TPostgresServer> server;
            std::string url = postgres, empty;
            if (url.empty()) {
                server = std::make_unique<test::TPostgresServer>(true);
                url = server->Url(server->CreateDatabase("bench"));
                empty = server->Url(server->CreateDatabase("empty"));
                TMessageStore::Open(empty);
            }
            run("postgresql", url, empty.empty() ? url : empty, messages);
        }
    } catch (const std::exception &e) {
        std::fprintf(stderr, "store_bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
