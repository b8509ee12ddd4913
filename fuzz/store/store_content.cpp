// Received messages as the message store reads them: each one's place in a payload, the content
// of each alone, and the content of all of them together (whole or partial). Each record of the
// input is one message: a flags octet (bit 0 TP-UDHI, bits 1-2 sender, bits 3-5 the coding
// scheme), a length octet and that many octets of user data. Whatever comes, a place lies inside
// its payload and every text is valid UTF-8 without NUL (the databases refuse anything else).
#include "gsm/sms.h"
#include "store/messagecontent.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

using namespace kestrel;

static void check(bool condition)
{
    if (!condition)
        std::abort();
}

static void checkText(const std::string &text)
{
    const QByteArray bytes(text.data(), static_cast<qsizetype>(text.size()));
    check(QString::fromUtf8(bytes).toUtf8() == bytes);
    check(text.find('\0') == std::string::npos);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // 7-bit, 8-bit, UCS2, 8-bit class 1, UCS2 class 0, compressed, 7-bit class 0, reserved.
    static const uint8_t schemes[8] = {0x00, 0x04, 0x08, 0xF5, 0x18, 0x24, 0xF0, 0x0C};
    std::vector<std::unique_ptr<TSMSDeliver>> messages;
    std::vector<const TSMSDeliver *> all;
    size_t pos = 0;
    while (pos + 2 <= size) {
        const uint8_t flags = data[pos];
        const size_t length = std::min<size_t>(data[pos + 1], size - pos - 2);
        auto sms = std::make_unique<TSMSDeliver>();
        sms->SetFirstOctetBit(6, flags & 1);
        sms->OA = "+44" + std::to_string((flags >> 1) & 3);
        sms->DCS = schemes[(flags >> 3) & 7];
        sms->UserData.assign(reinterpret_cast<const char *>(data + pos + 2), length);
        pos += 2 + length;

        if (auto place = SegmentPlace(*sms)) {
            check(place->Count >= 2);
            check(place->Sequence >= 1 && place->Sequence <= place->Count);
            check(!place->JoinKey.empty());
        }
        const TReceivedContent alone = ContentOfMessage(*sms);
        checkText(alone.Text);
        all.push_back(sms.get());
        messages.push_back(std::move(sms));
    }
    if (auto whole = ContentOfSegments(all))
        checkText(whole->Text);
    checkText(ContentOfPartial(all).Text);
    return 0;
}
