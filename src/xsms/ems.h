// EMS objects (TS 23.040 9.2.3.24.10): pictures, animations, sounds, text formatting and the other
// enhanced-messaging elements, carried as information elements of a binary user data header next
// to the message text. TEMS turns the elements of a TUDHProtocol into typed objects and back; it
// owns its items. Every element parser accepts any byte string: a field the data does not reach
// keeps its value, and pixels the data does not reach stay white.
#pragma once

#include "xsms/directoryrecords.h"

#include <QImage>

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kestrel {

class TUDHProtocol;

// The largest picture or frame side we keep: what a variable picture's width octet can describe
// (255 octets of 8 pixels). Larger sizes are clamped before anything is allocated.
constexpr int kMaxEMSImageSide = 255 * 8;

// Base of every EMS object. GetIEI finds the element identifier by class, in ascending identifier
// order; 0 means the object has no element of its own.
class TEMSObject {
public:
    TEMSObject() = default;
    virtual ~TEMSObject() = default;
    TEMSObject(const TEMSObject &) = delete;
    TEMSObject &operator=(const TEMSObject &) = delete;

    uint8_t GetIEI() const;
    // The element data.
    virtual std::string GetData() const { return {}; }
    // Fills the fields from element data; any byte string is accepted (only the iMelody text of a
    // user-defined sound can raise EGSMError).
    virtual void SetData(std::string_view) {}
    virtual const char *ClassName() const { return "TEMSObject"; }

    // The class of an element identifier (0x0A to 0x1A), or nullptr for any other identifier.
    static std::unique_ptr<TEMSObject> CreateFromIEI(uint8_t IEI);
};

// An object placed at a character position of the text.
class TEMSPosObject : public TEMSObject {
public:
    uint8_t Position = 0;
    std::string GetData() const override;
    void SetData(std::string_view data) override;
    const char *ClassName() const override { return "TEMSPosObject"; }
};

// Element data kept as received.
class TEMSUnknown : public TEMSObject {
public:
    std::string RawData;
    std::string GetData() const override { return RawData; }
    void SetData(std::string_view data) override { RawData = std::string(data); }
    const char *ClassName() const override { return "TEMSUnknown"; }
};

class TEMSTextFormat : public TEMSPosObject {
public:
    uint8_t TextLength = 0;
    uint8_t FormatMode = 0;
    uint8_t TextColour = 0;
    std::string GetData() const override;
    void SetData(std::string_view data) override;
    const char *ClassName() const override { return "TEMSTextFormat"; }
};

class TEMSSoundPredef : public TEMSPosObject {
public:
    uint8_t SoundNumber = 0;
    std::string GetData() const override;
    void SetData(std::string_view data) override;
    const char *ClassName() const override { return "TEMSSoundPredef"; }
};

// An iMelody text after the position octet.
class TEMSSoundUserDef : public TEMSPosObject {
public:
    TEMSSoundUserDef();
    TDirectoryRecords Records;
    std::string GetData() const override;
    // Raises "Bad format" or "Bad directory name" (EGSMError) for a text that is no iMelody.
    void SetData(std::string_view data) override;
    const char *ClassName() const override { return "TEMSSoundUserDef"; }
};

class TEMSAnimationPredef : public TEMSPosObject {
public:
    uint8_t AnimationNumber = 0;
    std::string GetData() const override;
    void SetData(std::string_view data) override;
    const char *ClassName() const override { return "TEMSAnimationPredef"; }
};

// A black-and-white picture. Black pixels have the colour value 0, white ones FFFFFF. The size
// bounds (0: no bound) are applied after every size change.
class TEMSPicture : public TEMSPosObject {
public:
    TEMSPicture();
    bool Fixed = false;
    int MinHeight = 0;
    int MaxHeight = 0;
    int MinWidth = 0;
    int MaxWidth = 0;

    const QImage &Bitmap() const { return m_bitmap; }
    QImage &Bitmap() { return m_bitmap; }
    int Width() const { return m_width; }
    int Height() const { return m_height; }
    void SetWidth(int value);
    void SetHeight(int value);
    // Copies the top-left Width x Height area of Source (pixels outside it are white).
    void LoadImage(const QImage &source);
    void ApplyBounds();

    std::string GetData() const override;
    void SetData(std::string_view data) override;
    const char *ClassName() const override { return "TEMSPicture"; }

protected:
    // The size is kept beside the image: an image with a zero side holds no size of its own.
    int m_width = 0;
    int m_height = 0;
    QImage m_bitmap;
};

class TEMSPictureLarge : public TEMSPicture {
public:
    TEMSPictureLarge();
    const char *ClassName() const override { return "TEMSPictureLarge"; }
};

class TEMSPictureSmall : public TEMSPicture {
public:
    TEMSPictureSmall();
    const char *ClassName() const override { return "TEMSPictureSmall"; }
};

// Any size: width in octets and height in pixels precede the pixels.
class TEMSPictureVariable : public TEMSPicture {
public:
    std::string GetData() const override;
    void SetData(std::string_view data) override;
    // The picture as strips of whole rows, top to bottom, each of this picture's width, at this
    // picture's position, and each with at most MaxData octets of element data: how a picture too
    // large for one message travels (a receiver shows pictures at one position one below the
    // other). One strip when the picture fits. Raises EGSMError when not even one row fits.
    std::vector<std::unique_ptr<TEMSPictureVariable>> SplitRows(size_t MaxData) const;
    const char *ClassName() const override { return "TEMSPictureVariable"; }
};

// Four frames of one size.
class TEMSAnimation : public TEMSPosObject {
public:
    static constexpr int kFrameCount = 4;
    TEMSAnimation();
    int MinHeight = 0;
    int MaxHeight = 0;
    int MinWidth = 0;
    int MaxWidth = 0;

    const QImage &Frames(int index) const { return m_frames.at(static_cast<size_t>(index)); }
    QImage &Frames(int index) { return m_frames.at(static_cast<size_t>(index)); }
    int Width() const { return m_width; }
    int Height() const { return m_height; }
    void SetWidth(int value);
    void SetHeight(int value);
    // Frame i (from 0) is the Width x Height area of Source at horizontal offset i x Width.
    void LoadFrames(const QImage &source);
    void ApplyBounds();

    std::string GetData() const override;
    void SetData(std::string_view data) override;
    const char *ClassName() const override { return "TEMSAnimation"; }

protected:
    int m_width = 0;
    int m_height = 0;
    std::array<QImage, kFrameCount> m_frames;
};

class TEMSAnimationLarge : public TEMSAnimation {
public:
    TEMSAnimationLarge();
    const char *ClassName() const override { return "TEMSAnimationLarge"; }
};

class TEMSAnimationSmall : public TEMSAnimation {
public:
    TEMSAnimationSmall();
    const char *ClassName() const override { return "TEMSAnimationSmall"; }
};

class TEMSUserPrompt : public TEMSObject {
public:
    uint8_t ObjectCount = 0;
    std::string GetData() const override;
    void SetData(std::string_view data) override;
    const char *ClassName() const override { return "TEMSUserPrompt"; }
};

// One element of an extended object. The first element of an object carries the 7-octet head;
// the elements that continue it carry data only (TEMS::LoadFromUDH decides which is which).
class TEMSXObject : public TEMSObject {
public:
    bool First = true;
    uint8_t ReferenceNumber = 0;
    uint16_t Position = 0;
    uint16_t ObjectLength = 0;
    uint8_t ObjectType = 0;
    uint8_t ControlData = 0;
    std::string Data;
    std::string GetData() const override;
    void SetData(std::string_view data) override;
    const char *ClassName() const override { return "TEMSXObject"; }
};

class TEMSXObjectReused : public TEMSObject {
public:
    uint8_t ReferenceNumber = 0;
    uint16_t Position = 0;
    std::string GetData() const override;
    void SetData(std::string_view data) override;
    const char *ClassName() const override { return "TEMSXObjectReused"; }
};

// Compressed content is kept as received, not decompressed.
class TEMSCompressionControl : public TEMSUnknown {
public:
    const char *ClassName() const override { return "TEMSCompressionControl"; }
};

class TEMSObjectDistributionIndicator : public TEMSObject {
public:
    uint8_t IECount = 0;
    uint8_t Attributes = 0;
    std::string GetData() const override;
    void SetData(std::string_view data) override;
    const char *ClassName() const override { return "TEMSObjectDistributionIndicator"; }
};

class TEMSWVGObject : public TEMSPosObject {
public:
    std::string Data;
    std::string GetData() const override;
    void SetData(std::string_view data) override;
    const char *ClassName() const override { return "TEMSWVGObject"; }
};

class TEMSWVGObjectStandard : public TEMSWVGObject {
public:
    const char *ClassName() const override { return "TEMSWVGObjectStandard"; }
};

class TEMSWVGObjectCharSize : public TEMSWVGObject {
public:
    const char *ClassName() const override { return "TEMSWVGObjectCharSize"; }
};

// Carries no data.
class TEMSXObjectDataRequest : public TEMSObject {
public:
    const char *ClassName() const override { return "TEMSXObjectDataRequest"; }
};

// The EMS content of one message: the objects in element order and the text they go with.
class TEMS {
public:
    std::vector<std::unique_ptr<TEMSObject>> Items;
    std::string Text;

    // Replaces Items by the objects of the protocol's elements; elements of other identifiers are
    // skipped. An iMelody that does not parse raises EGSMError; the items read before it stay.
    void LoadFromUDH(const TUDHProtocol &protocol);
    // Replaces the protocol's elements by one per item with an identifier, and its payload by Text.
    void SaveToUDH(TUDHProtocol &protocol) const;
};

// The stored form of EMS elements: identifier, length and data of each element of the header, one
// after the other.
std::string EncodeHeaderElements(const TUDHProtocol &Protocol);
// Adds the elements of their stored form to the protocol (locked: they are only read). An element
// that runs past the end voids the whole chain, as in a header (TS 23.040 9.2.3.24): false, and
// no element is added.
bool DecodeHeaderElements(std::string_view Elements, TUDHProtocol &Protocol);

} // namespace kestrel
