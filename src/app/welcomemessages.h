// What the virtual handset of "gsm-kestrel --simulate" holds when it starts: messages from its own
// number that show what the Messages tab shows (texts in other scripts, a picture message, an
// operator logo, an EMS animation, a ringing tone, a vCard), so that a first run has a
// conversation to look at and to answer; what is sent to that number comes back into it.
#pragma once

#include "xsms/composer.h"

#include <string>
#include <vector>

namespace kestrel {

class TModemSimulator;

// The contents, in the order they arrive (pictures drawn with the toolkit's fonts).
std::vector<TMessageContent> WelcomeContents();
// The SMS-DELIVERs (hex, without a service-centre field) that carry the contents from the sender.
std::vector<std::string> WelcomeDeliveries(const std::string &from);
// Puts them unread into the handset's storage (SIM first, then the phone), where the login reads
// them; returns how many segments went in.
int StoreWelcomeMessages(TModemSimulator &simulator, const std::string &from);

} // namespace kestrel
