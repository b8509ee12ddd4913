// Arbitrary bytes to CreateFromPort for every port of the payload table: the first octet picks
// the port, the rest is the payload.
#include "smartmessagefuzz.h"

#include <iterator>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using namespace kestrel;
    if (size == 0)
        return 0;
    const uint16_t port = fuzz::kPorts[data[0] % std::size(fuzz::kPorts)];
    const std::string payload = fuzz::Bytes(data + 1, size - 1);
    std::unique_ptr<TSmartMessage> message;
    try {
        message = TSmartMessage::CreateFromPort(payload, port);
    } catch (const EGSMError &) {
        return 0;
    }
    if (!message) {
        fuzz::Check(port == 1234);
        return 0;
    }
    // Our rendering reads back and renders the same. A directory record whose name holds a "=" or
    // ends in blanks settles after one more pass (records are stored as NAME=value), and one named
    // "end " comes back as an END line.
    const bool directory = dynamic_cast<TSMMIMEDirectory *>(message.get()) != nullptr;
    std::string first;
    try {
        first = message->GetData();
    } catch (const EGSMError &) {
        return 0; // parsed from foreign data, but not writable (an unsupported song type)
    }
    std::unique_ptr<TSmartMessage> again, third;
    try {
        again = TSmartMessage::CreateFromPort(first, port);
    } catch (const EGSMError &) {
        fuzz::Check(directory);
        return 0;
    }
    const std::string second = again->GetData();
    if (!directory)
        fuzz::Check(second == first);
    try {
        third = TSmartMessage::CreateFromPort(second, port);
    } catch (const EGSMError &) {
        fuzz::Check(directory);
        return 0;
    }
    fuzz::Check(third->GetData() == second);
    return 0;
}
