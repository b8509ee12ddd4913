// What a stored message shows in the Messages view, and the renderers that make it: one per payload
// kind, each turning the stored payload octets (and its destination port) into text, pictures and a
// melody through the payload classes. The payload came from strangers: a renderer that cannot read
// it says so in the message's Problem instead of failing, and keeps what it could read.
#pragma once

#include "store/messagestore.h"
#include "xsms/composer.h"
#include "xsms/melody.h"

#include <QImage>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>
#include <string_view>
#include <vector>

namespace kestrel {

// A picture of a message: one frame, or the frames of an animation (1:1, black on white).
struct TMessagePicture {
    QString Label;              // "Picture", "Operator logo", "EMS animation (small)", ...
    std::vector<QImage> Frames; // at least one
    int FrameMs = 0;            // time per frame of an animation
    TMessageKind EditorKind = TMessageKind::mkPicture; // how the picture editor takes it
    int Operator = 0;                                  // operator logos: MCC x 100 + MNC
    // All frames side by side, as the picture editor and a saved PNG hold them.
    QImage Strip() const;
};

// A melody of a message, as the melody editor and the player take it.
struct TMessageMelody {
    TMelody Melody;
    QString Title;    // the song's title ("" for a tone without one)
    QString Notes;    // the notes for reading: MelodyNotes
    QString RTTTL;    // the whole melody as one RTTTL line
    bool EMS = false; // an EMS iMelody rather than a ringing tone
};

struct TRenderedMessage {
    QString Title;                         // what it is: "Operator logo D1 (262 01)", "vCard", ...
    QString Text;                          // text in any script, lines separated by '\n'
    std::vector<TMessagePicture> Pictures; // in payload order
    std::optional<TMessageMelody> Melody;
    QString Progress; // "2 of 3 parts" while segments are missing
    QString Problem;  // why (part of) the payload could not be shown

    bool Animated() const;
};

// One renderer per payload kind.
class TPayloadRenderer {
public:
    virtual ~TPayloadRenderer() = default;
    virtual bool Accepts(const TStoredMessage &message) const = 0;
    // Fills what the payload shows; may raise EGSMError (RenderMessage turns that into Problem).
    virtual void Render(const TStoredMessage &message, TRenderedMessage &out) const = 0;
};

// The renderers in the order they are asked; the last takes anything.
const std::vector<std::unique_ptr<TPayloadRenderer>> &PayloadRenderers();

// The message as the view shows it: the progress of an incomplete one, the payload rendered by the
// first renderer that accepts it, and any failure as Problem.
TRenderedMessage RenderMessage(const TStoredMessage &message);

// A melody's notes for reading: RTTTL's note tokens (duration where not a quarter, name, octave
// where not the fifth, dots) joined by ", ", the tempo before the first note and before each note
// where it changes ("112 bpm: 8c, 8e, c6, 140 bpm: 2c").
QString MelodyNotes(const TMelody &melody);

// The first line of what a message shows, for the conversation list and notifications.
QString MessageSummary(TPayloadKind kind, const std::string &text);

// Octets from a sender as text: UTF-8 when they are valid UTF-8, else Latin-1 (what the handsets of
// the smart-messaging era wrote).
QString TextFromOctets(std::string_view octets);

} // namespace kestrel
