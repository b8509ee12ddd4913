// The address book the store keeps beside the messages: contacts and their numbers, each number
// with the key under which its other written forms meet.
#include "store/messagestore.h"

#include "base/clock.h"
#include "gsm/numberingplan.h"
#include "store/messagecontent.h"
#include "store/storedatabase.h"
#include "store/storesql.h"

#include <QSqlQuery>

#include <algorithm>
#include <map>

namespace kestrel {

using storesql::q;
using storesql::str;

namespace {

// Each contact's numbers, filled into Contacts by id.
void readNumbers(TStoreDatabase &db, std::vector<TContact> &contacts, const QString &where,
                 const QVariantList &values)
{
    std::map<int64_t, TContact *> byId;
    for (TContact &c : contacts)
        byId[c.Id] = &c;
    QSqlQuery &r = db.Run("SELECT contact_id, number, label, number_key FROM contact_numbers" + where +
                              " ORDER BY contact_id, id",
                          values);
    while (r.next())
        if (auto it = byId.find(r.value(0).toLongLong()); it != byId.end())
            it->second->Numbers.push_back({str(r.value(1)), str(r.value(2)), str(r.value(3))});
    r.finish();
}

void sortByName(std::vector<TContact> &contacts)
{
    std::stable_sort(contacts.begin(), contacts.end(), [](const TContact &a, const TContact &b) {
        const int c =
            QString::fromStdString(a.Name).compare(QString::fromStdString(b.Name), Qt::CaseInsensitive);
        return c != 0 ? c < 0 : a.Id < b.Id;
    });
}

} // namespace

std::string ContactNumberKey(const std::string &Number, const std::string &CountryCode)
{
    const std::string international =
        InternationalDigits(Number, CountryCode.empty() ? nullptr : NumberingPlanOfCountryCode(CountryCode));
    return international.empty() ? NormalisedAddress(Number) : international;
}

int64_t TMessageStore::SaveContact(const TContact &Contact, const std::string &CountryCode)
{
    if (QString::fromStdString(Contact.Name).trimmed().isEmpty())
        throw EStoreError("A contact needs a name");
    std::vector<TContactNumber> numbers;
    for (TContactNumber n : Contact.Numbers) {
        n.Key = ContactNumberKey(n.Number, CountryCode);
        if (n.Key.empty())
            continue;
        if (std::none_of(numbers.begin(), numbers.end(),
                         [&](const TContactNumber &m) { return m.Key == n.Key; }))
            numbers.push_back(std::move(n));
    }
    if (numbers.empty())
        throw EStoreError("The contact \"" + Contact.Name + "\" has no number");
    TStoreDatabase &db = database();
    int64_t id = Contact.Id;
    db.Transaction(true, "saving a contact", [&] {
        id = Contact.Id;
        const qint64 now = Clock().UnixMs();
        std::vector<TContactNumber> toAdd = numbers;
        if (id != 0) {
            if (db.Run("UPDATE contacts SET name = ?, updated = ? WHERE id = ?",
                       {q(Contact.Name), now, qint64(id)})
                    .numRowsAffected() == 0)
                throw EStoreError("There is no contact " + std::to_string(id));
            db.Run("DELETE FROM contact_numbers WHERE contact_id = ?", {qint64(id)});
        } else {
            // The same card again: the kept contact of that name with one of these numbers.
            for (const TContactNumber &n : numbers) {
                QSqlQuery &r =
                    db.Run("SELECT c.id FROM contacts c JOIN contact_numbers n ON n.contact_id = c.id"
                           " WHERE n.number_key = ? AND c.name = ? ORDER BY c.id",
                           {q(n.Key), q(Contact.Name)});
                if (r.next())
                    id = r.value(0).toLongLong();
                r.finish();
                if (id != 0)
                    break;
            }
            if (id != 0) {
                std::vector<std::string> kept;
                QSqlQuery &r =
                    db.Run("SELECT number_key FROM contact_numbers WHERE contact_id = ?", {qint64(id)});
                while (r.next())
                    kept.push_back(str(r.value(0)));
                r.finish();
                std::erase_if(toAdd, [&](const TContactNumber &n) {
                    return std::find(kept.begin(), kept.end(), n.Key) != kept.end();
                });
                db.Run("UPDATE contacts SET updated = ? WHERE id = ?", {now, qint64(id)});
            } else {
                QSqlQuery &r = db.Run("INSERT INTO contacts (name, updated) VALUES (?, ?) RETURNING id",
                                      {q(Contact.Name), now});
                r.next();
                id = r.value(0).toLongLong();
                r.finish();
            }
        }
        for (const TContactNumber &n : toAdd)
            db.Run("INSERT INTO contact_numbers (contact_id, number, label, number_key) VALUES (?, ?, ?, ?)",
                   {qint64(id), q(n.Number), q(n.Label), q(n.Key)});
    });
    return id;
}

std::vector<TContact> TMessageStore::Contacts() const
{
    TStoreDatabase &db = database();
    std::vector<TContact> out;
    db.Transaction(false, "reading the contacts", [&] {
        out.clear();
        QSqlQuery &r = db.Run("SELECT id, name FROM contacts");
        while (r.next())
            out.push_back({r.value(0).toLongLong(), str(r.value(1)), {}});
        r.finish();
        readNumbers(db, out, "", {});
    });
    sortByName(out);
    return out;
}

std::optional<TContact> TMessageStore::ContactOfNumber(const std::string &Number,
                                                       const std::string &CountryCode) const
{
    const std::string key = ContactNumberKey(Number, CountryCode);
    if (key.empty())
        return std::nullopt;
    TStoreDatabase &db = database();
    std::vector<TContact> found;
    db.Transaction(false, "finding a contact", [&] {
        found.clear();
        QSqlQuery &r = db.Run("SELECT DISTINCT c.id, c.name FROM contacts c"
                              " JOIN contact_numbers n ON n.contact_id = c.id WHERE n.number_key = ?",
                              {q(key)});
        while (r.next())
            found.push_back({r.value(0).toLongLong(), str(r.value(1)), {}});
        r.finish();
        if (!found.empty())
            readNumbers(db, found,
                        " WHERE contact_id IN (SELECT contact_id FROM contact_numbers WHERE number_key = ?)",
                        {q(key)});
    });
    if (found.empty())
        return std::nullopt;
    sortByName(found);
    return found.front();
}

bool TMessageStore::DeleteContact(int64_t Id)
{
    TStoreDatabase &db = database();
    bool deleted = false;
    db.Transaction(true, "deleting a contact", [&] {
        db.Run("DELETE FROM contact_numbers WHERE contact_id = ?", {qint64(Id)});
        deleted = db.Run("DELETE FROM contacts WHERE id = ?", {qint64(Id)}).numRowsAffected() > 0;
    });
    return deleted;
}

} // namespace kestrel
