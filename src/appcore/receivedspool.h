// The spool of received messages that the store could not take when they came: a routed message
// (+CMT, +CDS) exists nowhere else once the handset has acknowledged it, so it is written here and
// flushed to the disk first, and recorded into the store when the store works again.
#pragma once

#include "base/datetime.h"

#include <functional>
#include <string>

namespace kestrel {

struct TSpooledMessage {
    std::string PDU; // hex, with the service-centre field
    TDateTime Arrival = 0;
    std::string Modem;
};

// Appends the message and flushes it to the disk (created 0600; several processes may share the
// file). Raises EConnectError when it is not on the disk whole.
void SpoolMessage(const std::string &path, const TSpooledMessage &message);
// Whether the spool holds anything.
bool SpoolHasMessages(const std::string &path);
// Hands every spooled message to record, oldest first, holding the spool's lock; the spool is
// emptied once all were recorded. What record raises ends the replay and leaves the spool whole
// (those recorded already come again: the store knows them as duplicates). A line that cannot
// be read is passed over. Returns the number of messages handed over.
int ReplaySpool(const std::string &path, const std::function<void(const TSpooledMessage &)> &record);

} // namespace kestrel
