// Sending what the user composed, for the window and the command line alike: the segments go out
// through the engine, and the message is recorded in the store with what it carries.
#pragma once

#include "store/messagestore.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kestrel {

class TGSM;
class TSMSSubmit;
struct TMessageContent;

// What was sent, as SendComposed reports it.
struct TSendResult {
    std::vector<int> References; // TP-MR per segment, -1 where the handset gave none
    int64_t StoredId = 0;        // the message in the store; 0 when none is configured or it failed
    std::string StoreError;      // why it is not (fully) recorded; empty when it is
};

// Sends composed segments through the engine one by one. With a store, the message (its kind and
// the text the user wrote, from Content) is recorded before the first segment goes out and each
// segment's reference as it goes; a send that fails marks it failed and raises again. A store
// that cannot be written does not stop the sending: its error is in the result. Modem names the
// modem that sends it in the record (its label, or its device). AfterEach runs
// after each segment went out. Segments are in the model's form; in text mode their 7-bit codes go
// out as the text they stand for.
TSendResult SendComposed(TGSM &gsm, const std::vector<std::unique_ptr<TSMSSubmit>> &Segments,
                         const TMessageContent &Content, TMessageStore *Store, const std::string &Modem,
                         const std::function<void(const TSMSSubmit &)> &AfterEach = {});

// The store's view of what the user composed: its kind (text, or what a receiver recognises in
// the segments), the text as written, and the payload the segments carry.
TOutgoing OutgoingOf(const std::vector<std::unique_ptr<TSMSSubmit>> &Segments,
                     const TMessageContent &Content);

} // namespace kestrel
