#include "xsms/ems.h"

#include "base/format.h"
#include "gsm/bytereader.h"
#include "gsm/gsmerror.h"
#include "gsm/userdataprotocols.h"

#include <algorithm>

namespace kestrel {

namespace {

// ---- element identifiers by class

struct TEMSClass {
    uint8_t iei;
    bool (*isA)(const TEMSObject &);
    std::unique_ptr<TEMSObject> (*create)();
};

template <class T>
constexpr TEMSClass emsClass(uint8_t iei)
{
    return {iei, [](const TEMSObject &o) { return dynamic_cast<const T *>(&o) != nullptr; },
            []() -> std::unique_ptr<TEMSObject> { return std::make_unique<T>(); }};
}

// TS 23.040 9.2.3.24.10, in ascending identifier order: GetIEI takes the first class the object is.
const TEMSClass kEMSClasses[] = {
    emsClass<TEMSTextFormat>(0x0A),
    emsClass<TEMSSoundPredef>(0x0B),
    emsClass<TEMSSoundUserDef>(0x0C),
    emsClass<TEMSAnimationPredef>(0x0D),
    emsClass<TEMSAnimationLarge>(0x0E),
    emsClass<TEMSAnimationSmall>(0x0F),
    emsClass<TEMSPictureLarge>(0x10),
    emsClass<TEMSPictureSmall>(0x11),
    emsClass<TEMSPictureVariable>(0x12),
    emsClass<TEMSUserPrompt>(0x13),
    emsClass<TEMSXObject>(0x14),
    emsClass<TEMSXObjectReused>(0x15),
    emsClass<TEMSCompressionControl>(0x16),
    emsClass<TEMSObjectDistributionIndicator>(0x17),
    emsClass<TEMSWVGObjectStandard>(0x18),
    emsClass<TEMSWVGObjectCharSize>(0x19),
    emsClass<TEMSXObjectDataRequest>(0x1A),
};

// ---- octets

char octet(unsigned v)
{
    return static_cast<char>(v & 0xFF);
}

std::string lowFirst(uint16_t v)
{
    return {octet(v), octet(v >> 8)};
}

// Reads one octet into field when there is one; a missing octet leaves the field as it is.
void readInto(TByteReader &r, uint8_t &field)
{
    r.Next(field);
}

// Two octets, low first, into field when both are there.
void readLowFirst(TByteReader &r, uint16_t &field)
{
    if (auto two = r.Take(2))
        field = static_cast<uint16_t>(static_cast<uint8_t>((*two)[0]) | static_cast<uint8_t>((*two)[1]) << 8);
}

// ---- black-and-white images

constexpr QRgb kWhite = 0xFFFFFFFF;
constexpr QRgb kBlack = 0xFF000000;

int clampSide(int v)
{
    return std::clamp(v, 0, kMaxEMSImageSide);
}

QImage blankImage(int width, int height)
{
    if (width <= 0 || height <= 0)
        return QImage();
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(kWhite);
    return image;
}

// Our own images are 32-bit: their rows are read and written directly (pictures of thousands of
// pixels are painted pixel by pixel on every received element).
QRgb *row(QImage &image, int y)
{
    return reinterpret_cast<QRgb *>(image.scanLine(y));
}

// Copies the Width x Height area of Source at (Left, 0) into a fresh white image.
QImage copyArea(const QImage &source, long long left, int width, int height)
{
    QImage image = blankImage(width, height);
    if (image.isNull() || source.isNull() || left >= source.width())
        return image;
    const QImage src = source.convertToFormat(QImage::Format_RGB32);
    const int columns = static_cast<int>(std::min<long long>(width, src.width() - left));
    for (int y = 0; y < image.height() && y < src.height(); ++y) {
        const auto *in = reinterpret_cast<const QRgb *>(src.constScanLine(y)) + left;
        QRgb *out = row(image, y);
        for (int x = 0; x < columns; ++x)
            if ((in[x] & 0xFFFFFF) == 0)
                out[x] = kBlack;
    }
    return image;
}

// TS 23.040 9.2.3.24.10.1.7: rows from the top, left to right, most significant bit first, one
// for black; the image ends padded to a whole octet. Pixels beyond the image are written white.
void writePixels(std::string &out, const QImage &image, int width, int height)
{
    const QImage img = image.isNull() ? image : image.convertToFormat(QImage::Format_RGB32);
    unsigned acc = 0;
    int bits = 0;
    for (int y = 0; y < height; ++y) {
        const QRgb *in = y < img.height() ? reinterpret_cast<const QRgb *>(img.constScanLine(y)) : nullptr;
        for (int x = 0; x < width; ++x) {
            const bool black = in && x < img.width() && (in[x] & 0xFFFFFF) == 0;
            acc = acc << 1 | (black ? 1u : 0u);
            if (++bits == 8) {
                out += octet(acc);
                acc = 0;
                bits = 0;
            }
        }
    }
    if (bits > 0)
        out += octet(acc << (8 - bits));
}

// Paints the pixels the reader holds into a white image, starting on a fresh octet; pixels past
// the end of the data stay white.
void readPixels(TByteReader &r, QImage &image)
{
    uint8_t b = 0;
    int bit = 8;
    for (int y = 0; y < image.height(); ++y) {
        QRgb *out = row(image, y);
        for (int x = 0; x < image.width(); ++x) {
            if (bit == 8) {
                if (!r.Next(b))
                    return;
                bit = 0;
            }
            if (b & (0x80 >> bit))
                out[x] = kBlack;
            ++bit;
        }
    }
}

// Size bounds (0: none): raised to the minimum, then lowered to the maximum.
void bound(int &width, int &height, int minWidth, int minHeight, int maxWidth, int maxHeight)
{
    if (minWidth != 0 && width < minWidth)
        width = minWidth;
    if (minHeight != 0 && height < minHeight)
        height = minHeight;
    if (maxWidth != 0 && width > maxWidth)
        width = maxWidth;
    if (maxHeight != 0 && height > maxHeight)
        height = maxHeight;
    width = clampSide(width);
    height = clampSide(height);
}

// A new size keeps the pixels that still fit; the new ones are white.
QImage resized(const QImage &image, int width, int height)
{
    return copyArea(image, 0, width, height);
}

} // namespace

// ---- TEMSObject

uint8_t TEMSObject::GetIEI() const
{
    for (const TEMSClass &c : kEMSClasses)
        if (c.isA(*this))
            return c.iei;
    return 0;
}

std::unique_ptr<TEMSObject> TEMSObject::CreateFromIEI(uint8_t IEI)
{
    for (const TEMSClass &c : kEMSClasses)
        if (c.iei == IEI)
            return c.create();
    return nullptr;
}

// ---- objects at a text position

std::string TEMSPosObject::GetData() const
{
    return {octet(Position)};
}

void TEMSPosObject::SetData(std::string_view data)
{
    TByteReader r(data);
    readInto(r, Position);
}

std::string TEMSTextFormat::GetData() const
{
    return {octet(Position), octet(TextLength), octet(FormatMode), octet(TextColour)};
}

void TEMSTextFormat::SetData(std::string_view data)
{
    TByteReader r(data);
    readInto(r, Position);
    readInto(r, TextLength);
    readInto(r, FormatMode);
    readInto(r, TextColour);
}

std::string TEMSSoundPredef::GetData() const
{
    return {octet(Position), octet(SoundNumber)};
}

void TEMSSoundPredef::SetData(std::string_view data)
{
    TByteReader r(data);
    readInto(r, Position);
    readInto(r, SoundNumber);
}

std::string TEMSAnimationPredef::GetData() const
{
    return {octet(Position), octet(AnimationNumber)};
}

void TEMSAnimationPredef::SetData(std::string_view data)
{
    TByteReader r(data);
    readInto(r, Position);
    readInto(r, AnimationNumber);
}

TEMSSoundUserDef::TEMSSoundUserDef()
{
    Records.Kind = "IMELODY";
    Records.FoldingLength = 75;
    Records.Add("VERSION=1.2");
    Records.Add("FORMAT=CLASS1.0");
}

std::string TEMSSoundUserDef::GetData() const
{
    return octet(Position) + Records.Data();
}

void TEMSSoundUserDef::SetData(std::string_view data)
{
    TByteReader r(data);
    readInto(r, Position);
    // An element with the position alone carries no melody: the records stay as they are.
    if (!r.AtEnd())
        Records.SetData(std::string(r.TakeRest()));
}

// ---- pictures

TEMSPicture::TEMSPicture() = default;

void TEMSPicture::SetWidth(int value)
{
    m_width = clampSide(value);
    ApplyBounds();
}

void TEMSPicture::SetHeight(int value)
{
    m_height = clampSide(value);
    ApplyBounds();
}

void TEMSPicture::ApplyBounds()
{
    bound(m_width, m_height, MinWidth, MinHeight, MaxWidth, MaxHeight);
    if (m_bitmap.width() != m_width || m_bitmap.height() != m_height)
        m_bitmap = resized(m_bitmap, m_width, m_height);
}

void TEMSPicture::LoadImage(const QImage &source)
{
    m_bitmap = copyArea(source, 0, m_width, m_height);
}

std::string TEMSPicture::GetData() const
{
    std::string out = TEMSPosObject::GetData();
    writePixels(out, m_bitmap, m_width, m_height);
    return out;
}

void TEMSPicture::SetData(std::string_view data)
{
    TByteReader r(data);
    if (!r.Next(Position))
        return;
    m_bitmap = blankImage(m_width, m_height);
    readPixels(r, m_bitmap);
}

static void fixPictureSize(TEMSPicture &picture, int side)
{
    picture.Fixed = true;
    picture.MinWidth = picture.MaxWidth = picture.MinHeight = picture.MaxHeight = side;
    picture.ApplyBounds();
}

TEMSPictureLarge::TEMSPictureLarge()
{
    fixPictureSize(*this, 32);
}

TEMSPictureSmall::TEMSPictureSmall()
{
    fixPictureSize(*this, 16);
}

std::string TEMSPictureVariable::GetData() const
{
    // TS 23.040 9.2.3.24.10.1.9: the width in octets and the height in pixels, one octet each.
    const int widthOctets = std::min((m_width + 7) / 8, 255);
    const int rows = std::min(m_height, 255);
    std::string out = {octet(Position), octet(static_cast<unsigned>(widthOctets)),
                       octet(static_cast<unsigned>(rows))};
    writePixels(out, m_bitmap, widthOctets * 8, rows);
    return out;
}

void TEMSPictureVariable::SetData(std::string_view data)
{
    TByteReader r(data);
    if (data.size() < 3) {
        readInto(r, Position);
        return;
    }
    uint8_t widthOctets = 0, rows = 0;
    r.Next(Position);
    r.Next(widthOctets);
    r.Next(rows);
    m_width = widthOctets * 8;
    m_height = rows;
    bound(m_width, m_height, MinWidth, MinHeight, MaxWidth, MaxHeight);
    m_bitmap = blankImage(m_width, m_height);
    readPixels(r, m_bitmap);
}

std::vector<std::unique_ptr<TEMSPictureVariable>> TEMSPictureVariable::SplitRows(size_t MaxData) const
{
    // TS 23.040 9.2.3.24.10.1.9: position, width in octets and height, then the rows; at most 255
    // rows in one element.
    constexpr size_t kHead = 3;
    const size_t widthOctets = static_cast<size_t>(std::min((m_width + 7) / 8, 255));
    size_t rowsPerStrip = 255;
    if (widthOctets > 0)
        rowsPerStrip = std::min<size_t>(MaxData > kHead ? (MaxData - kHead) / widthOctets : 0, 255);
    if (rowsPerStrip == 0)
        throw EGSMError(Format("Picture too wide for one message: %d pixels, at most %d", m_width,
                               static_cast<int>(MaxData > kHead ? (MaxData - kHead) * 8 : 0)));
    std::vector<std::unique_ptr<TEMSPictureVariable>> strips;
    int top = 0;
    do {
        const int rows = std::min(m_height - top, static_cast<int>(rowsPerStrip));
        auto strip = std::make_unique<TEMSPictureVariable>();
        strip->Position = Position;
        strip->SetWidth(m_width);
        strip->SetHeight(rows);
        if (!m_bitmap.isNull() && rows > 0)
            strip->m_bitmap = m_bitmap.copy(0, top, m_width, rows);
        strips.push_back(std::move(strip));
        top += rows;
    } while (top < m_height);
    return strips;
}

// ---- animations

TEMSAnimation::TEMSAnimation()
{
    ApplyBounds();
}

void TEMSAnimation::SetWidth(int value)
{
    m_width = clampSide(value);
    ApplyBounds();
}

void TEMSAnimation::SetHeight(int value)
{
    m_height = clampSide(value);
    ApplyBounds();
}

void TEMSAnimation::ApplyBounds()
{
    bound(m_width, m_height, MinWidth, MinHeight, MaxWidth, MaxHeight);
    for (QImage &frame : m_frames)
        if (frame.width() != m_width || frame.height() != m_height)
            frame = resized(frame, m_width, m_height);
}

void TEMSAnimation::LoadFrames(const QImage &source)
{
    for (size_t i = 0; i < m_frames.size(); ++i)
        m_frames[i] = copyArea(source, static_cast<long long>(i) * m_width, m_width, m_height);
}

std::string TEMSAnimation::GetData() const
{
    std::string out = TEMSPosObject::GetData();
    for (const QImage &frame : m_frames)
        writePixels(out, frame, m_width, m_height);
    return out;
}

void TEMSAnimation::SetData(std::string_view data)
{
    TByteReader r(data);
    if (!r.Next(Position))
        return;
    for (QImage &frame : m_frames) {
        frame = blankImage(m_width, m_height);
        readPixels(r, frame);
    }
}

static void fixAnimationSize(TEMSAnimation &animation, int side)
{
    animation.MinWidth = animation.MaxWidth = animation.MinHeight = animation.MaxHeight = side;
    animation.ApplyBounds();
}

TEMSAnimationLarge::TEMSAnimationLarge()
{
    fixAnimationSize(*this, 16);
}

TEMSAnimationSmall::TEMSAnimationSmall()
{
    fixAnimationSize(*this, 8);
}

// ---- objects without a text position

std::string TEMSUserPrompt::GetData() const
{
    return {octet(ObjectCount)};
}

void TEMSUserPrompt::SetData(std::string_view data)
{
    TByteReader r(data);
    readInto(r, ObjectCount);
}

std::string TEMSXObject::GetData() const
{
    if (!First)
        return Data;
    // TS 23.040 9.2.3.24.10.1.14: reference, length, control, type, position; little-endian words.
    return octet(ReferenceNumber) + lowFirst(ObjectLength) + octet(ControlData) + octet(ObjectType) +
           lowFirst(Position) + Data;
}

void TEMSXObject::SetData(std::string_view data)
{
    if (!First) {
        Data = std::string(data);
        return;
    }
    TByteReader r(data);
    readInto(r, ReferenceNumber);
    readLowFirst(r, ObjectLength);
    readInto(r, ControlData);
    readInto(r, ObjectType);
    readLowFirst(r, Position);
    if (r.Position() == 7)
        Data = std::string(r.TakeRest());
}

std::string TEMSXObjectReused::GetData() const
{
    return octet(ReferenceNumber) + lowFirst(Position);
}

void TEMSXObjectReused::SetData(std::string_view data)
{
    TByteReader r(data);
    readInto(r, ReferenceNumber);
    readLowFirst(r, Position);
}

std::string TEMSObjectDistributionIndicator::GetData() const
{
    return {octet(IECount), octet(Attributes)};
}

void TEMSObjectDistributionIndicator::SetData(std::string_view data)
{
    TByteReader r(data);
    readInto(r, IECount);
    readInto(r, Attributes);
}

std::string TEMSWVGObject::GetData() const
{
    return octet(Position) + Data;
}

void TEMSWVGObject::SetData(std::string_view data)
{
    TByteReader r(data);
    if (r.Next(Position))
        Data = std::string(r.TakeRest());
}

// ---- the container

void TEMS::LoadFromUDH(const TUDHProtocol &protocol)
{
    Items.clear();
    // Octets of the current extended object still to come: while positive, an element 0x14
    // continues that object instead of starting one.
    long remainder = 0;
    const TObjectList2 &ies = protocol.IEs();
    for (int i = 0; i < ies.Count(); ++i) {
        const TIE *ie = ies[i];
        std::unique_ptr<TEMSObject> object = TEMSObject::CreateFromIEI(ie->Identifier);
        if (!object)
            continue;
        if (auto *x = dynamic_cast<TEMSXObject *>(object.get())) {
            x->First = remainder <= 0;
            x->SetData(ie->Data());
            if (x->First)
                remainder = x->ObjectLength;
            remainder -= static_cast<long>(x->Data.size());
        } else {
            object->SetData(ie->Data());
        }
        Items.push_back(std::move(object));
    }
}

void TEMS::SaveToUDH(TUDHProtocol &protocol) const
{
    protocol.Clear();
    protocol.Lock();
    try {
        for (const auto &item : Items) {
            const uint8_t iei = item ? item->GetIEI() : 0;
            if (iei != 0)
                protocol.IEs().Add(std::make_unique<TIE>(iei, item->GetData()));
        }
    } catch (...) {
        protocol.Unlock();
        throw;
    }
    protocol.Unlock();
    protocol.SetData(Text);
    protocol.Encode(); // SetData skips the encoding when the text did not change
}

std::string EncodeHeaderElements(const TUDHProtocol &Protocol)
{
    std::string out;
    for (int i = 0; i < Protocol.IEs().Count(); ++i) {
        const TIE *ie = Protocol.IEs()[i];
        out += static_cast<char>(ie->Identifier);
        out += static_cast<char>(ie->Data().size());
        out += ie->Data();
    }
    return out;
}

bool DecodeHeaderElements(std::string_view Elements, TUDHProtocol &Protocol)
{
    std::vector<std::unique_ptr<TIE>> elements;
    TByteReader r(Elements);
    while (!r.AtEnd()) {
        uint8_t iei = 0, length = 0;
        std::optional<std::string_view> data;
        if (!r.Next(iei) || !r.Next(length) || !(data = r.Take(length)))
            return false;
        elements.push_back(std::make_unique<TIE>(iei, std::string(*data)));
    }
    Protocol.Lock(); // only read back, never encoded
    for (auto &ie : elements)
        Protocol.IEs().Add(std::move(ie));
    return true;
}

} // namespace kestrel
