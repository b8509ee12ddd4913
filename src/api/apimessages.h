// The JSON shapes of messages in the HTTP API: a send request read at the edge into what the
// composer takes (with limits, naming the field that is wrong), and stored messages written out.
#pragma once

#include "store/messagestore.h"
#include "xsms/composer.h"

#include <QJsonObject>

#include <string>

namespace kestrel::api {

// One message to send, as read from its JSON object.
struct TSendRequest {
    std::string To;
    std::string Via;
    TMessageContent Content;
    TDeliveryCallback Callback; // the compatibility route's dlr-url and dlr-mask
};

// Reads one message object; raises EApiError 400 naming the field (an unknown field, a number
// that is no number, an empty text, an unknown kind, an image that does not decode). Prefix goes
// before the field names ("messages[3].").
TSendRequest ReadSendRequest(const QJsonObject &Json, const std::string &Prefix = {});

// A stored message: with Segments, each part and its status.
QJsonObject StoredMessageJson(const TStoredMessage &Message, bool Segments);

} // namespace kestrel::api
