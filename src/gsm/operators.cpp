#include "gsm/operators.h"

#include <QFile>
#include <QHash>
#include <QXmlStreamReader>

#include <algorithm>
#include <map>

namespace kestrel {

const char *const kServiceProvidersFile = "/usr/share/mobile-broadband-provider-info/serviceproviders.xml";

namespace {

QString entry(const QString &code, const QString &name)
{
    return code + ",\"" + name + "\"";
}

QString code(const QStringView mcc, const QStringView mnc)
{
    bool okC = false, okN = false;
    int c = mcc.toInt(&okC), n = mnc.toInt(&okN);
    if (!okC || !okN || c < 0 || c > 999 || n < 0 || n > 99 || mnc.size() > 2)
        return {};
    return QString("%1%2").arg(c, 3, 10, QChar('0')).arg(n, 2, 10, QChar('0'));
}

} // namespace

namespace {

// Calls Fn(mcc, mnc, provider name) for every network id of the list, in file order.
template <typename Fn>
void ForEachNetwork(const QByteArray &xml, Fn fn)
{
    QXmlStreamReader r(xml);
    QString providerName;
    int depthInProvider = -1, depth = 0;
    while (!r.atEnd()) {
        auto token = r.readNext();
        if (token == QXmlStreamReader::StartElement) {
            ++depth;
            if (r.name() == u"provider") {
                depthInProvider = depth;
                providerName.clear();
            } else if (depthInProvider > 0 && depth == depthInProvider + 1 && r.name() == u"name") {
                providerName = r.readElementText().simplified();
                --depth; // readElementText consumed the end element
            } else if (depthInProvider > 0 && r.name() == u"network-id" && !providerName.isEmpty()) {
                fn(r.attributes().value("mcc"), r.attributes().value("mnc"), providerName);
            }
        } else if (token == QXmlStreamReader::EndElement) {
            if (depth == depthInProvider)
                depthInProvider = -1;
            --depth;
        }
    }
}

bool AllDigits(QStringView s)
{
    return std::all_of(s.begin(), s.end(), [](QChar c) { return c >= '0' && c <= '9'; });
}

} // namespace

QStringList ParseServiceProviders(const QByteArray &xml)
{
    std::multimap<QString, QString> byCode;
    ForEachNetwork(xml, [&](QStringView mcc, QStringView mnc, QString name) {
        QString c = code(mcc, mnc);
        if (!c.isEmpty() && byCode.find(c) == byCode.end())
            byCode.emplace(c, entry(c, name.remove('"')));
    });
    QStringList out;
    for (const auto &kv : byCode)
        out << kv.second;
    return out;
}

QHash<QString, QString> ParseNetworkNames(const QByteArray &xml)
{
    QHash<QString, QString> names;
    ForEachNetwork(xml, [&](QStringView mcc, QStringView mnc, const QString &name) {
        // TS 23.003 2.2: three MCC digits, two or three MNC digits.
        if (mcc.size() == 3 && (mnc.size() == 2 || mnc.size() == 3) && AllDigits(mcc) && AllDigits(mnc)) {
            const QString c = mcc.toString() + mnc.toString();
            if (!names.contains(c))
                names.insert(c, name);
        }
    });
    return names;
}

QString NetworkName(std::string_view numeric, const QString &path)
{
    static const QHash<QString, QString> names = [&] {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? ParseNetworkNames(f.read(8 * 1024 * 1024))
                                           : QHash<QString, QString>{};
    }();
    const QString c =
        QString::fromLatin1(numeric.data(), static_cast<qsizetype>(numeric.size())).trimmed().remove('"');
    return names.value(c);
}

QStringList OperatorList(const QString &path)
{
    QStringList entries;
    QFile f(path);
    if (f.open(QIODevice::ReadOnly))
        entries = ParseServiceProviders(f.read(8 * 1024 * 1024));
    for (const char *builtIn : {"20205,\"PANAFON\"", "23001,\"PAEGAS\"", "26201,\"D1\"", "74601,\"ICMS\""})
        if (!entries.contains(builtIn))
            entries << builtIn;
    std::stable_sort(entries.begin(), entries.end(),
                     [](const QString &a, const QString &b) { return a.left(5) < b.left(5); });
    entries.prepend("00000,<clear logo>");
    return entries;
}

QString OperatorName(int code)
{
    static const QHash<QString, QString> names = [] {
        QHash<QString, QString> byCode;
        for (const QString &entry : OperatorList()) {
            const QString name = entry.section(',', 1).trimmed();
            if (name.startsWith('"') && name.endsWith('"') && name.size() >= 2)
                byCode.insert(entry.left(5), name.mid(1, name.size() - 2));
        }
        return byCode;
    }();
    if (code < 0 || code > 99999)
        return {};
    return names.value(QString("%1").arg(code, 5, 10, QChar('0')));
}

} // namespace kestrel
