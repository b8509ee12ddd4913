// The schema of the message store and its migrations. Version 1 is the first; each later version
// is one step from the one before, and a store is brought up to date when it is opened.
#pragma once

namespace kestrel {

class TStoreDatabase;

// The version that brought the event log: a store kept at an older one has none, and its
// changes write no events.
constexpr int kEventLogSchema = 7;
// The version that brought webhook deliveries and the delivery callbacks of queued messages.
constexpr int kWebhookSchema = 8;

// The newest schema version this program knows.
int LatestStoreSchema();

// Checks that the database is a message store (or empty) and migrates it to version Target (0:
// the newest), creating it when empty. Raises EStoreError, changing nothing, for a database that
// holds tables of another program, a store of a newer version than this program knows, or a
// version record that is damaged.
void PrepareStoreSchema(TStoreDatabase &Database, int Target);

} // namespace kestrel
