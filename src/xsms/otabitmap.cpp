#include "xsms/otabitmap.h"

#include "base/format.h"
#include "base/rtlerrors.h"
#include "gsm/bytereader.h"
#include "gsm/gsmerror.h"

#include <algorithm>

namespace kestrel {

namespace {

constexpr uint8_t kInfoMore = 0x80;        // another info byte follows
constexpr uint8_t kInfoCompressed = 0x40;  // compressed image data (not supported)
constexpr uint8_t kInfoKeepPayload = 0x20; // keep the payload in ReceivedData
constexpr uint8_t kInfoWideSizes = 0x10;   // 16-bit width and height
constexpr uint8_t kInfoFrameMask = 0x0F;   // frames minus one

// A missing header octet counts as zero.
uint8_t nextOrZero(TByteReader &reader)
{
    uint8_t o = 0;
    reader.Next(o);
    return o;
}

QImage blankFrame(int width, int height)
{
    if (width <= 0 || height <= 0)
        return QImage();
    QImage image(width, height, QImage::Format_Mono);
    image.setColorTable({qRgb(255, 255, 255), qRgb(0, 0, 0)}); // index 0 white, 1 black
    image.fill(0);
    return image;
}

bool isBlack(const QImage &image, int x, int y)
{
    if (x >= image.width() || y >= image.height())
        return false;
    return (image.pixel(x, y) & 0xFFFFFF) == 0;
}

uint8_t firstInfo(const std::string &info)
{
    return info.empty() ? 0 : static_cast<uint8_t>(info[0]);
}

} // namespace

TSMOTABitmap::TSMOTABitmap() : InfoField(1, '\0'), m_frames(1) {}

long long TSMOTABitmap::FrameBytes() const
{
    return (static_cast<long long>(m_width) * m_height + 7) / 8;
}

bool TSMOTABitmap::sizeFits(long long width, long long height, long long frames)
{
    return width >= 0 && height >= 0 && (width * height + 7) / 8 * frames <= kMaxBitmapDataBytes;
}

void TSMOTABitmap::checkSize(long long width, long long height, long long frames) const
{
    if (!sizeFits(width, height, frames))
        throw EGSMError(
            Format("Bitmap of %lld x %lld pixels in %lld frames is too large", width, height, frames));
}

void TSMOTABitmap::resizeFrames()
{
    for (QImage &frame : m_frames) {
        if (!frame.isNull() && frame.width() == m_width && frame.height() == m_height)
            continue;
        QImage fresh = blankFrame(m_width, m_height);
        // Keep what fits of the old pixels; new area is white.
        if (!frame.isNull() && !fresh.isNull())
            for (int y = 0; y < std::min(m_height, frame.height()); ++y)
                for (int x = 0; x < std::min(m_width, frame.width()); ++x)
                    fresh.setPixel(x, y, isBlack(frame, x, y) ? 1 : 0);
        frame = fresh;
    }
}

void TSMOTABitmap::SetWidth(int value)
{
    checkSize(value, m_height, FrameCount());
    m_width = value;
    resizeFrames();
    updateInfoField();
}

void TSMOTABitmap::SetHeight(int value)
{
    checkSize(m_width, value, FrameCount());
    m_height = value;
    resizeFrames();
    updateInfoField();
}

void TSMOTABitmap::SetAnimationCount(int value)
{
    const int count = std::clamp(value, 0, 15) + 1;
    checkSize(m_width, m_height, count);
    m_frames.resize(static_cast<size_t>(count));
    updateInfoField();
}

const QImage &TSMOTABitmap::Frames(int index) const
{
    if (index < 0 || index >= FrameCount())
        RaiseListIndexError(index);
    return m_frames[static_cast<size_t>(index)];
}

QImage &TSMOTABitmap::Frames(int index)
{
    if (index < 0 || index >= FrameCount())
        RaiseListIndexError(index);
    return m_frames[static_cast<size_t>(index)];
}

void TSMOTABitmap::SetInfoFieldCount(uint8_t count)
{
    if (count == 0)
        throw EGSMError("Info field count must be graeter than zero");
    InfoField.resize(count, '\0');
    updateInfoField();
}

void TSMOTABitmap::updateInfoField()
{
    if (InfoField.empty())
        InfoField.assign(1, '\0');
    auto first = static_cast<uint8_t>(InfoField[0]);
    if (m_width > 255 || m_height > 255)
        first |= kInfoWideSizes;
    else
        first &= static_cast<uint8_t>(~kInfoWideSizes);
    first = static_cast<uint8_t>((first & 0xF0) | ((FrameCount() - 1) & kInfoFrameMask));
    InfoField[0] = static_cast<char>(first);
    for (size_t i = 0; i < InfoField.size(); ++i) {
        auto b = static_cast<uint8_t>(InfoField[i]);
        b = i + 1 < InfoField.size() ? (b | kInfoMore) : (b & static_cast<uint8_t>(~kInfoMore));
        InfoField[i] = static_cast<char>(b);
    }
}

void TSMOTABitmap::LoadFrames(const QImage &source)
{
    for (int i = 0; i < FrameCount(); ++i) {
        QImage frame = blankFrame(m_width, m_height);
        const long long left = static_cast<long long>(i) * m_width;
        for (int y = 0; y < m_height && y < source.height(); ++y)
            for (int x = 0; x < m_width && left + x < source.width(); ++x)
                if ((source.pixel(static_cast<int>(left + x), y) & 0xFFFFFF) == 0)
                    frame.setPixel(x, y, 1);
        m_frames[static_cast<size_t>(i)] = frame;
    }
}

void TSMOTABitmap::checkSupported() const
{
    if (firstInfo(InfoField) & kInfoCompressed)
        throw EGSMError("Compression not supported");
    if (Depth != 1)
        throw EGSMError("Depth (<> 1) not suported");
}

std::string TSMOTABitmap::renderBitmap() const
{
    checkSupported();
    std::string out;
    // The chain ends at the first byte without the "more" bit.
    for (char b : InfoField) {
        out.push_back(b);
        if (!(static_cast<uint8_t>(b) & kInfoMore))
            break;
    }
    const bool wide = firstInfo(InfoField) & kInfoWideSizes;
    auto putSize = [&](int v) {
        if (wide)
            out.push_back(static_cast<char>((v >> 8) & 0xFF));
        out.push_back(static_cast<char>(v & 0xFF));
    };
    putSize(m_width);
    putSize(m_height);
    out.push_back(static_cast<char>(Depth));
    for (const QImage &frame : m_frames) {
        // Pixels row by row, most significant bit first; the frame is padded to whole octets.
        uint8_t acc = 0;
        int bits = 0;
        for (int y = 0; y < m_height; ++y) {
            for (int x = 0; x < m_width; ++x) {
                acc = static_cast<uint8_t>((acc << 1) | (isBlack(frame, x, y) ? 1 : 0));
                if (++bits == 8) {
                    out.push_back(static_cast<char>(acc));
                    acc = 0;
                    bits = 0;
                }
            }
        }
        if (bits > 0)
            out.push_back(static_cast<char>(acc << (8 - bits)));
    }
    return out;
}

void TSMOTABitmap::parseBitmap(std::string_view data)
{
    TByteReader reader(data);
    InfoField.clear();
    uint8_t info = 0;
    do {
        if (!reader.Next(info))
            break;
        InfoField.push_back(static_cast<char>(info));
    } while (info & kInfoMore);
    if (InfoField.empty())
        InfoField.assign(1, '\0');
    const uint8_t first = firstInfo(InfoField);
    const bool wide = first & kInfoWideSizes;
    int width = nextOrZero(reader);
    if (wide)
        width = width * 256 + nextOrZero(reader);
    int height = nextOrZero(reader);
    if (wide)
        height = height * 256 + nextOrZero(reader);
    Depth = nextOrZero(reader);
    const int frames = (first & kInfoFrameMask) + 1;
    m_frames.resize(static_cast<size_t>(frames));
    // A 16-bit size may claim gigapixels: such a size is refused (and not kept) before anything
    // is allocated; an acceptable one is kept even when the support check below fails.
    const bool fits = sizeFits(width, height, frames);
    if (fits) {
        m_width = width;
        m_height = height;
    }
    checkSupported();
    if (!fits)
        checkSize(width, height, frames);

    // Frames start on octet boundaries. A payload shorter than its header promises ends the
    // reading there; the pixels not received stay white.
    for (QImage &frame : m_frames) {
        frame = blankFrame(m_width, m_height);
        uint8_t octet = 0;
        int bitsLeft = 0;
        bool ended = false;
        for (int y = 0; y < m_height && !ended; ++y) {
            for (int x = 0; x < m_width; ++x) {
                if (bitsLeft == 0) {
                    if (!reader.Next(octet)) {
                        ended = true;
                        break;
                    }
                    bitsLeft = 8;
                }
                --bitsLeft;
                if ((octet >> bitsLeft) & 1)
                    frame.setPixel(x, y, 1);
            }
        }
    }
    if (first & kInfoKeepPayload)
        ReceivedData.assign(data.data(), data.size());
    else
        ReceivedData.clear();
}

std::string TSMCLIIcon::GetData() const
{
    return "0" + renderBitmap();
}

namespace {

// A single-frame OTA bitmap and nothing else: info field 0x00, width, height, depth 1 and exactly
// the octets of its pixels.
bool isWholeBareBitmap(std::string_view data)
{
    if (data.size() < 4 || data[0] != '\0' || data[3] != '\x01')
        return false;
    const long long width = static_cast<uint8_t>(data[1]), height = static_cast<uint8_t>(data[2]);
    return width > 0 && height > 0 && static_cast<long long>(data.size()) == 4 + (width * height + 7) / 8;
}

} // namespace

void TSMCLIIcon::SetData(const std::string &data)
{
    const std::string_view view(data);
    if (!data.empty() && data[0] == '0')
        parseBitmap(view.substr(1));
    else if (isWholeBareBitmap(view))
        // Some phone tools send caller icons without the version character: the bitmap is read
        // only when it is whole and valid, so that other data is not taken for an icon.
        parseBitmap(view);
    else
        throw EGSMError("Unsupported or bad CLI format");
}

std::string TSMOperatorLogo::EncodeMCC(uint16_t mcc)
{
    // Decimal digits, then F filler; two digits per octet, the first in the low nibble.
    std::string digits = std::to_string(mcc);
    while (digits.size() < 4)
        digits.push_back('F');
    auto nibble = [](char c) { return c == 'F' ? 0xF : c - '0'; };
    std::string out;
    for (int i = 0; i < 4; i += 2)
        out.push_back(static_cast<char>(nibble(digits[static_cast<size_t>(i)]) |
                                        (nibble(digits[static_cast<size_t>(i) + 1]) << 4)));
    return out;
}

uint8_t TSMOperatorLogo::EncodeMNC(uint8_t mnc)
{
    return static_cast<uint8_t>(((mnc / 10) % 10) | ((mnc % 10) << 4));
}

uint16_t TSMOperatorLogo::DecodeBCD(std::string_view octets)
{
    uint16_t value = 0;
    for (char c : octets) {
        const auto o = static_cast<uint8_t>(c);
        for (uint8_t n : {static_cast<uint8_t>(o & 0x0F), static_cast<uint8_t>(o >> 4)})
            if (n < 10)
                value = static_cast<uint16_t>(value * 10 + n);
    }
    return value;
}

std::string TSMOperatorLogo::GetData() const
{
    std::string out = "0" + EncodeMCC(MCC);
    out.push_back(static_cast<char>(EncodeMNC(MNC)));
    out.push_back('\n');
    return out + renderBitmap();
}

void TSMOperatorLogo::SetData(const std::string &data)
{
    const std::string_view view(data);
    // The bare layout: MCC, MNC and an OTA header for a single 72 x 14 frame of depth 1.
    if (data.size() == 133 && view.substr(3, 4) == std::string_view("\x00\x48\x0E\x01", 4)) {
        MCC = DecodeBCD(view.substr(0, 2));
        MNC = static_cast<uint8_t>(DecodeBCD(view.substr(2, 1)));
        parseBitmap(view.substr(3));
    } else if (data.size() >= 5 && data[0] == '0' && data[4] == '\n') {
        MCC = DecodeBCD(view.substr(1, 2));
        MNC = static_cast<uint8_t>(DecodeBCD(view.substr(3, 1)));
        parseBitmap(view.substr(5));
    } else {
        throw EGSMError("Unsupported or bad logo format");
    }
}

} // namespace kestrel
