#include "app/operators.h"

#include <QFile>
#include <QHash>
#include <QXmlStreamReader>

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

QStringList ParseServiceProviders(const QByteArray &xml)
{
    std::multimap<QString, QString> byCode;
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
            } else if (depthInProvider > 0 && r.name() == u"network-id") {
                QString c = code(r.attributes().value("mcc"), r.attributes().value("mnc"));
                if (!c.isEmpty() && !providerName.isEmpty() && byCode.find(c) == byCode.end())
                    byCode.emplace(c, entry(c, providerName.remove('"')));
            }
        } else if (token == QXmlStreamReader::EndElement) {
            if (depth == depthInProvider)
                depthInProvider = -1;
            --depth;
        }
    }
    QStringList out;
    for (const auto &kv : byCode)
        out << kv.second;
    return out;
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
