// kestrel contacts: the address book, on the handset (a phonebook storage of the SIM or the
// handset) or in the message store.
//   list     the entries of a phonebook (--storage) or the store's contacts, as text or JSON lines
//   export   the same as vCard 3.0 cards
//   import   vCard files (2.1 or 3.0) into the store and, with --to-handset, into a phonebook
#include "cli/clicommand.h"
#include "cli/messagejson.h"
#include "cli/session.h"

#include "appcore/datamodule.h"
#include "base/format.h"
#include "base/inifile.h"
#include "gsm/gsmerror.h"
#include "gsm/numberingplan.h"
#include "store/messagestore.h"
#include "xsms/vcardcontacts.h"

#include <QFile>
#include <QJsonArray>

#include <cstdio>
#include <map>

namespace kestrel::cli {

namespace {

// Where the contacts of a run come from or go to.
struct TContactsRun {
    QCommandLineParser &parser;
    TSession &session;
    std::string storage;     // a phonebook storage; "" for the store
    std::string store;       // the store's location
    std::string countryCode; // the home plan's country code ("" none)
};

std::unique_ptr<TMessageStore> openStore(const TContactsRun &run)
{
    if (run.store == kNoStore)
        throw EStoreError("no store (--store or the settings file's Store is <none>)");
    return OpenMessageStore(run.store);
}

// The handset's entries as contacts: one per name, with each number of that name.
std::vector<TVCardContact> handsetCards(const std::vector<TPhonebookEntry> &entries)
{
    std::vector<TVCardContact> cards;
    std::map<QString, size_t> byName;
    for (const TPhonebookEntry &e : entries) {
        auto [it, added] = byName.try_emplace(e.Name, cards.size());
        if (added)
            cards.push_back({e.Name.toStdString(), {}});
        cards[it->second].Numbers.push_back({e.Number, ""});
    }
    return cards;
}

std::vector<TVCardContact> storeCards(const std::vector<TContact> &contacts)
{
    std::vector<TVCardContact> cards;
    for (const TContact &c : contacts) {
        TVCardContact card{c.Name, {}};
        for (const TContactNumber &n : c.Numbers)
            card.Numbers.push_back({n.Number, n.Label});
        cards.push_back(std::move(card));
    }
    return cards;
}

std::vector<TPhonebookEntry> readHandset(TContactsRun &run)
{
    std::vector<std::string> problems;
    std::vector<TPhonebookEntry> entries = run.session.gsm.ReadPhonebook(run.storage, nullptr, &problems);
    for (const std::string &p : problems)
        PrintErr(QString("kestrel contacts: left out: ") + Utf8(p));
    return entries;
}

int list(TContactsRun &run)
{
    const bool json = run.parser.isSet("json");
    if (!run.storage.empty()) {
        run.session.gsm.Open();
        for (const TPhonebookEntry &e : readHandset(run)) {
            if (json)
                PrintJson(QJsonObject{{"storage", Utf8(run.storage)},
                                      {"index", e.Index},
                                      {"name", e.Name},
                                      {"number", Utf8(e.Number)},
                                      {"type", e.Type}});
            else
                PrintOut(QString("%1  %2  %3").arg(e.Index, 4).arg(Utf8(e.Number), -20).arg(e.Name));
        }
        run.session.gsm.Close();
        return kExitOk;
    }
    for (const TContact &c : openStore(run)->Contacts()) {
        if (json) {
            QJsonArray numbers;
            for (const TContactNumber &n : c.Numbers)
                numbers.append(
                    QJsonObject{{"number", Utf8(n.Number)}, {"label", Utf8(n.Label)}, {"key", Utf8(n.Key)}});
            PrintJson(
                QJsonObject{{"id", static_cast<qint64>(c.Id)}, {"name", Utf8(c.Name)}, {"numbers", numbers}});
            continue;
        }
        QStringList numbers;
        for (const TContactNumber &n : c.Numbers)
            numbers << (n.Label.empty() ? Utf8(n.Number)
                                        : QString("%1 (%2)").arg(Utf8(n.Number), Utf8(n.Label)));
        PrintOut(QString("%1  %2").arg(Utf8(c.Name), numbers.join(", ")));
    }
    return kExitOk;
}

int exportCards(TContactsRun &run)
{
    std::vector<TVCardContact> cards;
    if (!run.storage.empty()) {
        run.session.gsm.Open();
        cards = handsetCards(readHandset(run));
        run.session.gsm.Close();
    } else {
        cards = storeCards(openStore(run)->Contacts());
    }
    const std::string text = WriteVCards(cards);
    const QString output = run.parser.value("output");
    if (output.isEmpty() || output == "-") {
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fflush(stdout);
    } else {
        QFile file(output);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
            file.write(text.data(), static_cast<qint64>(text.size())) != static_cast<qint64>(text.size()) ||
            !file.flush()) {
            PrintErr(QString("kestrel contacts: cannot write %1: %2").arg(output, file.errorString()));
            return kExitFailure;
        }
    }
    PrintErr(QString("kestrel contacts: %1 contacts exported").arg(cards.size()));
    return kExitOk;
}

// Every card of the files, or nothing when one of them cannot be read: a half import is worse than
// none, since the user would have to find out which cards went in.
bool readFiles(const QStringList &files, std::vector<TVCardContact> &cards)
{
    bool ok = true;
    for (const QString &name : files) {
        QFile file(name);
        if (!file.open(QIODevice::ReadOnly)) {
            PrintErr(QString("kestrel contacts: %1: %2").arg(name, file.errorString()));
            ok = false;
            continue;
        }
        // One octet more than allowed tells an oversized file from one just at the limit.
        const QByteArray data = file.read(static_cast<qint64>(kMaxVCardText) + 1);
        const TVCardRead read =
            ReadVCards(std::string_view(data.constData(), static_cast<size_t>(data.size())));
        for (const std::string &error : read.Errors)
            PrintErr(QString("kestrel contacts: %1: %2").arg(name, Utf8(error)));
        ok = ok && read.Errors.empty();
        cards.insert(cards.end(), read.Contacts.begin(), read.Contacts.end());
    }
    return ok;
}

// The entries the cards make in the phonebook: one per number; those the phonebook already has
// (same name, same number key) are left out. Raises EGSMError listing every entry that does not
// fit, or when there is not room for them all, before anything is written.
std::vector<TPhonebookEntry> handsetEntries(TContactsRun &run, const std::vector<TVCardContact> &cards)
{
    TPhonebookInfo info;
    const std::vector<TPhonebookEntry> present = run.session.gsm.ReadPhonebook(run.storage, &info);
    std::vector<TPhonebookEntry> entries;
    std::vector<std::string> refused;
    for (const TVCardContact &card : cards) {
        for (const TVCardNumber &n : card.Numbers) {
            TPhonebookEntry e;
            // The phonebook takes digits, "*", "#" and a leading "+" only.
            for (char c : n.Number)
                if ((c >= '0' && c <= '9') || c == '*' || c == '#' || (c == '+' && e.Number.empty()))
                    e.Number += c;
            e.Type = e.Number.starts_with('+') ? 145 : 129;
            e.Name = QString::fromStdString(card.Name);
            const std::string key = ContactNumberKey(e.Number, run.countryCode);
            if (std::any_of(present.begin(), present.end(), [&](const TPhonebookEntry &p) {
                    return p.Name == e.Name && ContactNumberKey(p.Number, run.countryCode) == key;
                }))
                continue;
            try {
                CheckPhonebookEntry(e, info.Range, info.Status.Storage);
                entries.push_back(e);
            } catch (const EGSMError &error) {
                refused.push_back(error.what());
            }
        }
    }
    if (!refused.empty()) {
        std::string text;
        for (const std::string &r : refused)
            text += (text.empty() ? "" : "\n") + r;
        throw EGSMError(text);
    }
    const int capacity = info.Range.Last - info.Range.First + 1;
    const int used = info.Status.Used >= 0 ? info.Status.Used : static_cast<int>(present.size());
    const int free = (info.Status.Total >= 0 ? info.Status.Total : capacity) - used;
    if (static_cast<int>(entries.size()) > free)
        GSMErrorFmt("The phonebook %s has room for %d more entries, the cards make %zu",
                    info.Status.Storage.c_str(), free, entries.size());
    return entries;
}

int importCards(TContactsRun &run, const QStringList &files)
{
    const bool toHandset = run.parser.isSet("to-handset");
    const bool toStore = !run.parser.isSet("no-store");
    if (!toHandset && !toStore) {
        PrintErr("kestrel contacts: --no-store without --to-handset imports nowhere");
        return kExitUsage;
    }
    std::vector<TVCardContact> cards;
    if (!readFiles(files, cards)) {
        PrintErr("kestrel contacts: nothing imported");
        return kExitFailure;
    }
    std::unique_ptr<TMessageStore> store = toStore ? openStore(run) : nullptr;
    if (toHandset) {
        run.session.gsm.Open();
        const std::vector<TPhonebookEntry> entries = handsetEntries(run, cards);
        for (const TPhonebookEntry &e : entries)
            run.session.gsm.WritePhonebookEntry(run.storage, e);
        run.session.gsm.Close();
        PrintErr(QString("kestrel contacts: %1 entries written to the phonebook %2")
                     .arg(entries.size())
                     .arg(Utf8(run.storage)));
    }
    if (store) {
        std::vector<int64_t> ids;
        for (const TVCardContact &card : cards) {
            TContact contact{0, card.Name, {}};
            for (const TVCardNumber &n : card.Numbers)
                contact.Numbers.push_back({n.Number, n.Label, {}});
            const int64_t id = store->SaveContact(contact, run.countryCode);
            if (std::find(ids.begin(), ids.end(), id) == ids.end())
                ids.push_back(id);
        }
        PrintErr(QString("kestrel contacts: %1 cards kept as %2 contacts in the store")
                     .arg(cards.size())
                     .arg(ids.size()));
    }
    return kExitOk;
}

const char *const kContactsHelp =
    "Actions:\n"
    "  list             the contacts, one per line (--json: one JSON object per line)\n"
    "  export           the contacts as vCard 3.0 cards (--output FILE, else standard output)\n"
    "  import FILE...   vCard files (2.1 or 3.0) into the store; with --to-handset into the\n"
    "                   phonebook --storage (default SM) as well, one entry per number\n"
    "\n"
    "With --storage SM|ME (or another storage the handset offers) list and export read the\n"
    "handset's phonebook; without it, the store's contacts (--store, else the settings file's).\n"
    "A file that cannot be read whole (no card, a card without END, name or number, an overlong\n"
    "line) imports nothing. Numbers of contacts meet in their international form: a national\n"
    "number takes the home country of --country-code (49, +49 or DE), else of the settings file's\n"
    "[Contacts] CountryCode, else of the SIM (its IMSI, when a handset is used), else of the\n"
    "system's locale.";

int runContacts(const QStringList &args)
{
    QCommandLineParser parser;
    parser.addOption(
        {"storage", "The handset's phonebook storage (SM on the SIM, ME in the handset).", "NAME"});
    parser.addOption({"json", "list: one JSON object per line."});
    parser.addOption({"output", "export: the file to write (default: standard output).", "FILE"});
    parser.addOption({"to-handset", "import: into the phonebook --storage (default SM) as well."});
    parser.addOption({"no-store", "import: not into the store (with --to-handset)."});
    parser.addOption({"country-code", "The home country of national numbers (49, +49 or DE).", "CODE"});
    return RunSessionCommand(
        parser, args, "The address book: the handset's phonebooks and the store's contacts.",
        [&](TSession &s) {
            const QStringList pos = parser.positionalArguments();
            const QString action = pos.value(0);
            if (action != "list" && action != "export" && action != "import") {
                PrintErr(action.isEmpty() ? "kestrel contacts: no action given (list, export or import)"
                                          : "kestrel contacts: unknown action \"" + action + "\"");
                return kExitUsage;
            }
            if ((action == "import") != (pos.size() > 1)) {
                PrintErr(action == "import"
                             ? "kestrel contacts: import needs a vCard FILE"
                             : "kestrel contacts: unexpected argument \"" + pos.value(1) + "\"");
                return kExitUsage;
            }
            for (const char *option : {"to-handset", "no-store"})
                if (action != "import" && parser.isSet(option)) {
                    PrintErr(QString("kestrel contacts: --%1 belongs to import").arg(option));
                    return kExitUsage;
                }
            if ((parser.isSet("json") && action != "list") ||
                (parser.isSet("output") && action != "export")) {
                PrintErr("kestrel contacts: --json belongs to list, --output to export");
                return kExitUsage;
            }
            TContactsRun run{parser, s, {}, StoreLocation(parser), {}};
            const bool handset = parser.isSet("storage") || parser.isSet("to-handset");
            if (handset)
                run.storage = PhonebookStorageName(
                    parser.isSet("storage") ? parser.value("storage").toStdString() : "SM");
            std::string setting = parser.value("country-code").toStdString();
            if (setting.empty())
                setting = CountryCodeFromSettings(TIniFile(SessionLocations(parser).ConfigFile));
            if (!setting.empty() && !NumberingPlanOfSetting(setting)) {
                PrintErr(QString("kestrel contacts: no numbering plan known for the country %1")
                             .arg(Utf8(setting)));
                return kExitUsage;
            }
            std::string imsi;
            if (setting.empty() && handset) {
                s.gsm.Open();
                imsi = s.gsm.SubscriberIdentity();
            }
            if (const TNumberingPlan *plan = HomeNumberingPlan(setting, imsi))
                run.countryCode = std::string(plan->CountryCode);
            if (action == "list")
                return list(run);
            if (action == "export")
                return exportCards(run);
            return importCards(run, pos.mid(1));
        },
        "ACTION [FILE...]", kContactsHelp);
}

const TCliRegistration
    kContacts({"contacts", "The address book: list, export and import contacts (vCard, JSON)", runContacts});

} // namespace

} // namespace kestrel::cli
