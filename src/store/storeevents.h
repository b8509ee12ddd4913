// Writing the store's event log, within the transaction of the change it reports. Private to
// src/store.
#pragma once

#include <cstdint>

namespace kestrel {

class TStoreDatabase;

// Message Id became Type ("received", "sent", ...): the event is written with what the message
// row says now (so call it before a row is deleted). Within a write transaction; on PostgreSQL
// the transactions that write events follow one another from here to their commit, so that ids
// grow in commit order, and the listeners of the event channel are told at the commit.
void RecordStoreEvent(TStoreDatabase &Db, const char *Type, int64_t Id);

} // namespace kestrel
