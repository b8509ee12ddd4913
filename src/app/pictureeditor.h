// The picture editor's paint box: the bitmap five times enlarged, frames side by side in
// alternating colours, a white grid, and a click that toggles one pixel.
#pragma once

#include <QImage>
#include <QWidget>

namespace kestrel {

constexpr int kPictureZoom = 5;
constexpr QRgb kPictureWhite = 0xFFFFFFFF;

// Whether a bitmap pixel counts as set: anything but white.
bool PicturePixelSet(const QImage &image, int x, int y);
// Black becomes white and anything else black, at 1:1 scale; false outside the bitmap.
bool TogglePicturePixel(QImage &image, int x, int y);
// Grows the bitmap (never shrinks it) to at least width x height, new pixels white.
void EnlargePicture(QImage &image, int width, int height);
// A fresh editor bitmap: 32-bit RGB, all white.
QImage NewPicture(int width, int height);

class TPictureBox : public QWidget {
    Q_OBJECT
public:
    explicit TPictureBox(QWidget *parent = nullptr);

    // The bitmap shown and edited (owned by the window) and the frame layout.
    void SetPicture(QImage *picture)
    {
        m_picture = picture;
        update();
    }
    void SetFrames(int frameCount, int frameWidth, int frameHeight);
    int FrameCount() const { return m_frames; }

    // Frame colours: odd frames light green, even frames light blue.
    static QColor FrameColour(int frame);

protected:
    void paintEvent(QPaintEvent *) override;
    void mousePressEvent(QMouseEvent *event) override;

private:
    QImage *m_picture = nullptr; // not owned
    int m_frames = 1;
    int m_frameWidth = 0;
    int m_frameHeight = 0;
};

} // namespace kestrel
