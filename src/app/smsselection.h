// What the SMS tab's two lists select, and which message kind each choice composes. One table
// answers both ways: the composer asks which kind a choice is, and a received picture or melody
// opened from the Messages tab asks which choice takes its kind.
#pragma once

#include "xsms/composer.h"

#include <QStringList>

#include <optional>

namespace kestrel {

// The first list.
enum TSMSKind { skText, skSmart, skEMS };
// The second list for smart messages and for EMS objects.
enum TSmartType { stPicture, stVCard, stLogo, stCLI, stMelody };
enum TEMSType {
    etPictureSmall,
    etPictureLarge,
    etPictureVariable,
    etAnimationSmall,
    etAnimationLarge,
    etSound
};

// One choice of the two lists.
struct TSMSSelection {
    int Kind = skText; // TSMSKind
    int Type = 0;      // TSmartType or TEMSType; 0 for text
    bool operator==(const TSMSSelection &) const = default;
};

// The second list's items for a choice of the first.
QStringList SMSTypeCaptions(int kind);
// The message kind a choice composes; nullopt for text (its kind follows the text) and for
// indexes outside the lists.
std::optional<TMessageKind> SelectionKind(TSMSSelection selection);
// Whether the choice edits a bitmap (pictures, logos, icons, animations).
bool SelectionHasPicture(TSMSSelection selection);
// The choice that composes a kind; nullopt for the text kinds.
std::optional<TSMSSelection> KindSelection(TMessageKind kind);

} // namespace kestrel
