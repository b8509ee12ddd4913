// The operator list of the logo editor: "MCCMNC,\"Name\"" entries, headed by the entry that
// clears a logo, taken from the installed mobile-broadband-provider-info data.
#pragma once

#include <QString>
#include <QStringList>

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

} // namespace kestrel
