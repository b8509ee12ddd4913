#include "app/smsselection.h"

#include <gtest/gtest.h>

namespace kestrel {
namespace {

// Every choice of the SMS tab's lists: what it composes, whether it edits a bitmap, and the
// caption it shows.
TEST(SMSSelection, EachChoiceComposesItsKindAndTheKindFindsItsChoice)
{
    struct Row {
        TSMSSelection selection;
        TMessageKind kind;
        bool picture;
        const char *caption;
    };
    const Row rows[] = {
        {{skSmart, stPicture}, TMessageKind::mkPicture, true, "Picture"},
        {{skSmart, stVCard}, TMessageKind::mkvCard, false, "vCard"},
        {{skSmart, stLogo}, TMessageKind::mkOperatorLogo, true, "Logo"},
        {{skSmart, stCLI}, TMessageKind::mkCLIIcon, true, "CLI"},
        {{skSmart, stMelody}, TMessageKind::mkRingingTone, false, "Melody"},
        {{skEMS, etPictureSmall}, TMessageKind::mkEMSPictureSmall, true, "Picture (small)"},
        {{skEMS, etPictureLarge}, TMessageKind::mkEMSPictureLarge, true, "Picture (large)"},
        {{skEMS, etPictureVariable}, TMessageKind::mkEMSPictureVariable, true, "Picture (variable)"},
        {{skEMS, etAnimationSmall}, TMessageKind::mkEMSAnimationSmall, true, "Animation (small)"},
        {{skEMS, etAnimationLarge}, TMessageKind::mkEMSAnimationLarge, true, "Animation (large)"},
        {{skEMS, etSound}, TMessageKind::mkEMSMelody, false, "Melody"},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.caption);
        EXPECT_EQ(SelectionKind(r.selection), r.kind);
        EXPECT_EQ(SelectionHasPicture(r.selection), r.picture);
        ASSERT_TRUE(KindSelection(r.kind).has_value());
        EXPECT_EQ(*KindSelection(r.kind), r.selection);
        EXPECT_EQ(SMSTypeCaptions(r.selection.Kind).value(r.selection.Type), r.caption);
    }
    EXPECT_EQ(SMSTypeCaptions(skSmart).size(), 5);
    EXPECT_EQ(SMSTypeCaptions(skEMS).size(), 6);
}

TEST(SMSSelection, TextAndOutOfRangeChoicesComposeNoPayloadKind)
{
    EXPECT_EQ(SMSTypeCaptions(skText), QStringList{""});
    const TSMSSelection none[] = {{skText, 0}, {skSmart, -1}, {skSmart, 5}, {skEMS, 6}, {7, 0}};
    for (const TSMSSelection &s : none) {
        EXPECT_FALSE(SelectionKind(s).has_value()) << s.Kind << "," << s.Type;
        EXPECT_FALSE(SelectionHasPicture(s));
    }
    EXPECT_FALSE(KindSelection(TMessageKind::mkText).has_value());
    EXPECT_FALSE(KindSelection(TMessageKind::mkUCS2Text).has_value());
}

} // namespace
} // namespace kestrel
