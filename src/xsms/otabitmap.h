// Over-the-air bitmaps: picture messages, screen savers, caller-group (CLI) icons and operator
// logos. A bitmap owns 1 to 16 black-and-white frames of Width x Height pixels.
#pragma once

#include "xsms/smartmessage.h"

#include <QImage>

#include <string_view>

namespace kestrel {

// The most frame data a bitmap may carry: what a 16-bit payload length can describe. Larger sizes
// are refused before anything is allocated.
constexpr long long kMaxBitmapDataBytes = 65535;

class TSMOTABitmap : public TSmartMessage {
public:
    TSMOTABitmap();

    // Info-field bytes as stored (at least one); a parse keeps them exactly as received.
    std::string InfoField;
    uint8_t Depth = 1;
    // The whole payload after a parse whose first info byte has bit 0x20; empty otherwise.
    std::string ReceivedData;

    int Width() const { return m_width; }
    int Height() const { return m_height; }
    // Resize every frame and update the info field. Raise EGSMError for a negative size or one whose
    // frame data would exceed kMaxBitmapDataBytes, changing nothing.
    void SetWidth(int value);
    void SetHeight(int value);

    int AnimationCount() const { return static_cast<int>(m_frames.size()) - 1; }
    // Keeps min(N, 15) + 1 frames; new frames are empty until the next size assignment.
    void SetAnimationCount(int value);
    int FrameCount() const { return static_cast<int>(m_frames.size()); }
    // Frame at a 0-based index (raises the list index error outside the list). Black pixels have
    // the colour value 0, white ones FFFFFF.
    const QImage &Frames(int index) const;
    QImage &Frames(int index);

    int InfoFieldCount() const { return static_cast<int>(InfoField.size()); }
    // Pads with 00 or cuts to N bytes; 0 raises "Info field count must be graeter than zero".
    void SetInfoFieldCount(uint8_t count);

    // Copies the Width x Height area at (i * Width, 0) of Source into frame i, for every frame;
    // a black source pixel (colour value 0) is black, anything else white.
    void LoadFrames(const QImage &source);

    std::string GetData() const override { return renderBitmap(); }
    void SetData(const std::string &data) override { parseBitmap(data); }
    const char *ClassName() const override { return "TSMOTABitmap"; }

    // Bytes of one frame: ceil(Width x Height / 8).
    long long FrameBytes() const;

protected:
    std::string renderBitmap() const;
    void parseBitmap(std::string_view data);

private:
    int m_width = 0;
    int m_height = 0;
    std::vector<QImage> m_frames;
    void updateInfoField();
    void resizeFrames();
    static bool sizeFits(long long width, long long height, long long frames);
    void checkSize(long long width, long long height, long long frames) const;
    void checkSupported() const;
};

// Same payload as a bitmap; its own class gives it the screen-saver multipart item type.
class TSMScreenSaver : public TSMOTABitmap {
public:
    const char *ClassName() const override { return "TSMScreenSaver"; }
};

// "0" followed by the OTA bitmap. Also accepted on parse: a whole single-frame bitmap of depth 1
// without the "0" (info field 0x00, and exactly the pixel octets its size calls for).
class TSMCLIIcon : public TSMOTABitmap {
public:
    std::string GetData() const override;
    void SetData(const std::string &data) override;
    const char *ClassName() const override { return "TSMCLIIcon"; }
};

// "0", MCC (2 octets BCD), MNC (1 octet BCD), line feed, OTA bitmap. Also accepted on parse: the
// 133-octet layout of MCC, MNC and one 72 x 14 bitmap without the leading "0" and line feed.
class TSMOperatorLogo : public TSMOTABitmap {
public:
    uint16_t MCC = 0;
    uint8_t MNC = 0;
    std::string GetData() const override;
    void SetData(const std::string &data) override;
    const char *ClassName() const override { return "TSMOperatorLogo"; }

    static std::string EncodeMCC(uint16_t mcc);
    static uint8_t EncodeMNC(uint8_t mnc);
    // Decimal digits from BCD octets, low nibble first; nibbles of 10 and above are skipped.
    static uint16_t DecodeBCD(std::string_view octets);
};

} // namespace kestrel
