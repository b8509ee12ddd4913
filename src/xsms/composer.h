// TMessageComposer turns what the user wants to send into the SMS-SUBMIT objects that carry it:
// plain text (7-bit with a message class, or UCS2), smart messages over a "//SCK" text header or a
// binary header with ports and concatenation, and EMS objects over a binary header. The window
// and the kestrel program both compose through it; the engine only sends what it returns. Text
// longer than one message becomes a concatenated message instead of being cut.
#pragma once

#include "xsms/melody.h"

#include <QImage>
#include <QString>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kestrel {

class ISMSContext;
class TSMSSubmit;

enum class TMessageKind {
    mkText,     // 7-bit with the message class; UCS2 when the text needs it
    mkUCS2Text, // always UCS2
    mkvCard,    // smart messages
    mkPicture,
    mkOperatorLogo,
    mkCLIIcon,
    mkRingingTone,
    mkEMSPictureSmall, // EMS objects
    mkEMSPictureLarge,
    mkEMSPictureVariable,
    mkEMSAnimationSmall,
    mkEMSAnimationLarge,
    mkEMSMelody,
};

struct TMessageContent {
    TMessageKind Kind = TMessageKind::mkText;
    // The message text; the optional text of a picture message; the text of an EMS message.
    QString Text;
    int MessageClass = 2; // text: TS 23.038 message class 0 to 3
    bool StatusReport = false;
    QString vCardName;
    QString vCardPhone;
    // Pictures, logos, icons and animations: the frames side by side, black pixels colour 0.
    QImage Picture;
    int Width = 0; // OTA bitmaps and the variable EMS picture; fixed EMS sizes ignore them
    int Height = 0;
    int AnimationCount = 0; // OTA bitmaps: frames after the first
    int Operator = 0;       // operator logo: MCC x 100 + MNC
    TMelody Melody;         // ringing tone, EMS melody
};

// The data coding schemes the send flow uses (TS 23.038 4).
constexpr uint8_t kDCSSmartText = 0x00;    // 7-bit, the "//SCK" text header
constexpr uint8_t kDCSBinaryClass1 = 0xF5; // 8-bit data, class 1 (ME)
constexpr uint8_t kDCS7BitClass = 0xF0;    // + class
constexpr uint8_t kDCSUCS2Class = 0x18;    // + class
// A text marked with the guillemet travels as UCS2 behind this character, with coding 0x18.
constexpr char16_t kUCS2Marker = 0x00BB;
constexpr char16_t kUCS2Prefix = 0x0001;

// Why a message cannot go to Destination as the user gave it, or "" when it can. Every front end
// that sends or queues asks this before anything else (Compose raises with the same text):
// - the destination is a number: digits, with "+" in front for an international number or "#"
//   for a national one (the model's form of a national number read from a message), at most 20
//   (TS 23.040 9.1.2.5). A name (an alphanumeric address) is refused: networks take it as a
//   sender, and a message sent to one goes nowhere.
// - a text message holds at least one character; a vCard a name or a number.
std::string OutgoingRefusal(const std::string &Destination, const TMessageContent &Content);

class TMessageComposer {
public:
    // Running multipart reference: its low octet goes into each payload sent in several parts.
    uint32_t ReferenceCounter = 0;

    // The messages that carry Content to DA, bound to GSM; advances the reference counter.
    // Raises EGSMError for what OutgoingRefusal refuses and for content that cannot be encoded (a picture too
    // large, a text that would need more than 255 messages, an RTTTL melody that does not parse).
    std::vector<std::unique_ptr<TSMSSubmit>> Compose(const std::string &DA, const TMessageContent &Content,
                                                     const ISMSContext *GSM = nullptr);
    // How many messages Compose would make, without advancing the counter.
    int MessageCount(const TMessageContent &Content) const;

    // True when every character of Text has a code in the default alphabet.
    static bool FitsDefaultAlphabet(const QString &Text);

private:
    std::vector<std::unique_ptr<TSMSSubmit>> compose(const std::string &DA, const TMessageContent &Content,
                                                     const ISMSContext *GSM, uint32_t &counter) const;
};

} // namespace kestrel
