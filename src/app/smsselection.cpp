#include "app/smsselection.h"

#include <algorithm>
#include <iterator>

namespace kestrel {

namespace {

struct TSelectionRow {
    TSMSSelection Selection;
    TMessageKind Kind;
    const char *Caption;
    bool Picture;
};

// In the order of the second list.
constexpr TSelectionRow kRows[] = {
    {{skSmart, stPicture}, TMessageKind::mkPicture, "Picture", true},
    {{skSmart, stVCard}, TMessageKind::mkvCard, "vCard", false},
    {{skSmart, stLogo}, TMessageKind::mkOperatorLogo, "Logo", true},
    {{skSmart, stCLI}, TMessageKind::mkCLIIcon, "CLI", true},
    {{skSmart, stMelody}, TMessageKind::mkRingingTone, "Melody", false},
    {{skEMS, etPictureSmall}, TMessageKind::mkEMSPictureSmall, "Picture (small)", true},
    {{skEMS, etPictureLarge}, TMessageKind::mkEMSPictureLarge, "Picture (large)", true},
    {{skEMS, etPictureVariable}, TMessageKind::mkEMSPictureVariable, "Picture (variable)", true},
    {{skEMS, etAnimationSmall}, TMessageKind::mkEMSAnimationSmall, "Animation (small)", true},
    {{skEMS, etAnimationLarge}, TMessageKind::mkEMSAnimationLarge, "Animation (large)", true},
    {{skEMS, etSound}, TMessageKind::mkEMSMelody, "Melody", false},
};

const TSelectionRow *rowOf(TSMSSelection selection)
{
    const auto it = std::find_if(std::begin(kRows), std::end(kRows),
                                 [&](const TSelectionRow &r) { return r.Selection == selection; });
    return it == std::end(kRows) ? nullptr : it;
}

} // namespace

QStringList SMSTypeCaptions(int kind)
{
    QStringList captions;
    for (const TSelectionRow &r : kRows)
        if (r.Selection.Kind == kind)
            captions << r.Caption;
    // Text has no second choice; the list shows one empty item.
    return captions.isEmpty() ? QStringList{""} : captions;
}

std::optional<TMessageKind> SelectionKind(TSMSSelection selection)
{
    const TSelectionRow *r = rowOf(selection);
    return r ? std::optional(r->Kind) : std::nullopt;
}

bool SelectionHasPicture(TSMSSelection selection)
{
    const TSelectionRow *r = rowOf(selection);
    return r && r->Picture;
}

std::optional<TSMSSelection> KindSelection(TMessageKind kind)
{
    for (const TSelectionRow &r : kRows)
        if (r.Kind == kind)
            return r.Selection;
    return std::nullopt;
}

} // namespace kestrel
