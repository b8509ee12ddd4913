// Names of mobile networks from the installed mobile-broadband-provider-info data: the operator
// list of the logo editor ("MCCMNC,\"Name\"" entries, headed by the entry that clears a logo) and
// the name of the network a modem reports only by its numeric code (+COPS, TS 27.007 7.3).
#pragma once

#include <QHash>
#include <QString>
#include <QStringList>

#include <string_view>

namespace kestrel {

// Where Debian installs the providers list.
extern const char *const kServiceProvidersFile;

// Entries read from a serviceproviders.xml text: one per distinct five-digit code (MNCs of
// three digits cannot be sent in a logo and are left out), sorted by code. Malformed XML ends
// the reading; what was read until then is kept.
QStringList ParseServiceProviders(const QByteArray &xml);
// "00000,<clear logo>", then the entries of the file (when it can be read) merged with the few
// built-in ones that are always offered, sorted by code.
QStringList OperatorList(const QString &path = kServiceProvidersFile);
// The operator's name for MCC x 100 + MNC, from OperatorList() (read once); empty when unknown.
QString OperatorName(int code);

// Network names by numeric code as a modem gives it: three MCC digits and the MNC of two or
// three digits, as the providers list writes it ("26201", "310260"). The first provider of the
// list that names a code gives its name. Malformed XML ends the reading.
QHash<QString, QString> ParseNetworkNames(const QByteArray &xml);
// The name for a numeric code (quotes and blanks around it ignored) from the installed list (read
// once); empty when unknown.
QString NetworkName(std::string_view numeric, const QString &path = kServiceProvidersFile);

} // namespace kestrel
