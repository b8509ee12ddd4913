// The store file on disk: private to its user, refused unchanged when it is foreign, damaged or
// of a newer version, and a full disk during a write leaves no half of it behind.
#include "storerig.h"

#include "gsm/tpdufields.h"
#include "store/messagestore.h"

#include <QSqlDatabase>
#include <QSqlQuery>

#include <csignal>
#include <fstream>
#include <sys/resource.h>
#include <sys/stat.h>

namespace kestrel::storetest {
namespace {

namespace fs = std::filesystem;

std::string readAll(const fs::path &p)
{
    std::ifstream in(p, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

unsigned modeOf(const fs::path &p)
{
    struct stat st {};
    return stat(p.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// Runs SQL on an SQLite file directly, as another program would.
void sqlite(const fs::path &file, const std::vector<const char *> &statements)
{
    {
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "direct");
        db.setDatabaseName(QString::fromStdString(file.string()));
        ASSERT_TRUE(db.open());
        QSqlQuery q(db);
        for (const char *sql : statements)
            ASSERT_TRUE(q.exec(sql)) << sql;
        q.finish();
        db.close();
    }
    QSqlDatabase::removeDatabase("direct");
}

std::string openError(const fs::path &file)
{
    try {
        TMessageStore::Open(file.string());
    } catch (const EStoreError &e) {
        return e.what();
    }
    return "(opened)";
}

TEST(StoreFile, IsCreatedForItsUserAlone)
{
    const fs::path dir = ScratchFolder() / "private" / "a" / "b";
    const fs::path file = dir / "messages.sqlite";
    const mode_t old = umask(022);
    {
        auto store = TMessageStore::Open(file.string());
        const auto a = Deliver("+4930", 0, TextToGSM("private"), At());
        store->RecordReceived(a.Raw, false, a.SMS.get(), At(), -1);
        // The journal files exist while the store is open.
        for (const char *suffix : {"", "-wal", "-shm"}) {
            SCOPED_TRACE(suffix);
            const fs::path p = file.string() + suffix;
            ASSERT_TRUE(fs::exists(p));
            EXPECT_EQ(modeOf(p), 0600u);
        }
        EXPECT_EQ(modeOf(dir), 0700u);
        EXPECT_EQ(modeOf(dir.parent_path()), 0700u);
    }
    umask(old);
    EXPECT_EQ(modeOf(file), 0600u);
}

TEST(StoreFile, ForeignDamagedOrNewerFilesAreRefusedUnchanged)
{
    const fs::path dir = ScratchFolder() / "refused";
    fs::create_directories(dir);
    const fs::path text = dir / "notes.txt";
    std::ofstream(text) << "these are notes, not messages\n";
    const fs::path foreign = dir / "contacts.sqlite";
    sqlite(foreign,
           {"CREATE TABLE contacts (name TEXT, phone TEXT)", "INSERT INTO contacts VALUES ('a', '1')"});
    const fs::path newer = dir / "newer.sqlite";
    TMessageStore::Open(newer.string());
    sqlite(newer, {"UPDATE store_schema SET version = 99"});
    const fs::path twice = dir / "twice.sqlite";
    TMessageStore::Open(twice.string());
    sqlite(twice, {"INSERT INTO store_schema (version) VALUES (1)"});

    const struct {
        fs::path file;
        std::string message;
    } rows[] = {
        {text, "Cannot open the message store " + text.string() + ": file is not a database"},
        {foreign, "Cannot open the message store " + foreign.string() +
                      ": it is not a message store: it holds the tables contacts of another program"},
        {newer, "The message store " + newer.string() + " has schema version 99, newer than the " +
                    std::to_string(TMessageStore::SchemaVersion()) +
                    " this program knows: use a newer version of the program"},
        {twice, "Cannot open the message store " + twice.string() + ": its schema version record is damaged"},
        {dir, "Cannot open the message store " + dir.string() + ": it is a folder"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.file);
        const std::string before = fs::is_directory(row.file) ? "" : readAll(row.file);
        EXPECT_EQ(openError(row.file), row.message);
        if (!fs::is_directory(row.file)) {
            EXPECT_EQ(readAll(row.file), before);
            EXPECT_FALSE(fs::exists(row.file.string() + "-wal"));
        }
    }
}

TEST(StoreFile, ADamagedStoreGivesAnErrorNotACrash)
{
    const fs::path file = ScratchFolder() / "damaged.sqlite";
    {
        auto store = TMessageStore::Open(file.string());
        for (int i = 0; i < 300; ++i) {
            const auto a = Deliver("+4930" + std::to_string(i % 7), 0,
                                   TextToGSM("message number " + std::to_string(i)), At(i * 0.001));
            store->RecordReceived(a.Raw, false, a.SMS.get(), At(i * 0.001), -1);
        }
    }
    // Overwrite pages in the middle of the file with garbage.
    std::string bytes = readAll(file);
    ASSERT_GT(bytes.size(), 40000u);
    for (size_t i = 8192; i < bytes.size() - 4096; i += 4096)
        for (size_t k = 0; k < 200; ++k)
            bytes[i + k] = static_cast<char>(0xA5 ^ k);
    std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;

    std::string error;
    try {
        auto store = TMessageStore::Open(file.string());
        store->List({});
        TMessageFilter f;
        f.Peer = "+49303";
        store->List(f);
        const auto a = Deliver("+4930", 0, TextToGSM("new"), At(1));
        store->RecordReceived(a.Raw, false, a.SMS.get(), At(1), -1);
    } catch (const EStoreError &e) {
        error = e.what();
    }
    EXPECT_NE(error.find("malformed"), std::string::npos) << error;
}

TEST(StoreFile, AFullDiskDuringAWriteKeepsNothingOfIt)
{
    const fs::path file = ScratchFolder() / "full.sqlite";
    auto store = TMessageStore::Open(file.string());
    const auto before = Deliver("+4930", 0, TextToGSM("before"), At());
    store->RecordReceived(before.Raw, false, before.SMS.get(), At(), -1);

    // No file of this process may grow beyond 16 KiB for a moment: the journal cannot take
    // the next transaction.
    const auto old = std::signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    rlimit small = saved;
    small.rlim_cur = 16384;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const auto big = Received(
        [] {
            TMessageContent c;
            c.Kind = TMessageKind::mkText;
            c.Text = QString(1500, 'x');
            return c;
        }(),
        "+4940", At());
    std::string error;
    try {
        for (const auto &a : big)
            store->RecordReceived(a.Raw, false, a.SMS.get(), At(0.1), -1);
    } catch (const EStoreError &e) {
        error = e.what();
    }
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, old);
    EXPECT_NE(error.find("Message store " + file.string() + ": recording a received message: "),
              std::string::npos)
        << error;

    // What committed before is there, the failed write is not; the store carries on.
    auto list = store->List({});
    ASSERT_FALSE(list.empty());
    EXPECT_EQ(list[0].Text, "before");
    const int kept = static_cast<int>(list.size());
    store.reset();
    store = TMessageStore::Open(file.string());
    EXPECT_EQ(static_cast<int>(store->List({}).size()), kept);
    const auto after = Deliver("+4930", 0, TextToGSM("after"), At(0.2));
    store->RecordReceived(after.Raw, false, after.SMS.get(), At(0.2), -1);
    EXPECT_EQ(store->List({}).back().Text, "after");
}

} // namespace
} // namespace kestrel::storetest
