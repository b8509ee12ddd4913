// Arbitrary bytes to CreateFromPort for every port of the payload table: the first octet picks
// the port, the rest is the payload.
#include "smartmessagefuzz.h"

#include <iterator>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using namespace kestrel;
    static const uint16_t ports[] = {kSMPortvCard,
                                     kSMPortvCalendar,
                                     kSMPortWapvCard,
                                     kSMPortWapvCalendar,
                                     kSMPortWapvCardSecure,
                                     kSMPortWapvCalendarSecure,
                                     kSMPortRingingTone,
                                     kSMPortOperatorLogo,
                                     kSMPortCLIIcon,
                                     kSMPortMultipart,
                                     1234};
    if (size == 0)
        return 0;
    const uint16_t port = ports[data[0] % std::size(ports)];
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
    try {
        std::string rendered = message->GetData();
        auto again = TSmartMessage::CreateFromPort(rendered, port);
        fuzz::Check(again && again->GetData() == rendered);
    } catch (const EGSMError &) {
        // an object parsed from foreign data that our writer refuses (unsupported song type)
    }
    return 0;
}
