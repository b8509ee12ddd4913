#include "app/pictureeditor.h"

#include <QMouseEvent>
#include <QPainter>

namespace kestrel {

bool PicturePixelSet(const QImage &image, int x, int y)
{
    return image.valid(x, y) && (image.pixel(x, y) | 0xFF000000u) != kPictureWhite;
}

bool TogglePicturePixel(QImage &image, int x, int y)
{
    if (!image.valid(x, y))
        return false;
    image.setPixel(x, y, PicturePixelSet(image, x, y) ? kPictureWhite : 0xFF000000u);
    return true;
}

QImage NewPicture(int width, int height)
{
    QImage image(std::max(width, 1), std::max(height, 1), QImage::Format_RGB32);
    image.fill(kPictureWhite);
    return image;
}

void EnlargePicture(QImage &image, int width, int height)
{
    if (image.width() >= width && image.height() >= height && image.format() == QImage::Format_RGB32)
        return;
    QImage bigger = NewPicture(std::max(image.width(), width), std::max(image.height(), height));
    QPainter p(&bigger);
    p.drawImage(0, 0, image);
    p.end();
    image = bigger;
}

TPictureBox::TPictureBox(QWidget *parent) : QWidget(parent)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void TPictureBox::SetFrames(int frameCount, int frameWidth, int frameHeight)
{
    m_frames = std::max(frameCount, 1);
    m_frameWidth = std::max(frameWidth, 0);
    m_frameHeight = std::max(frameHeight, 0);
    setFixedSize(kPictureZoom * m_frames * m_frameWidth, kPictureZoom * m_frameHeight);
    update();
}

QColor TPictureBox::FrameColour(int frame)
{
    // Stored as blue, green, red from the high byte down: 0x0080FF00 and 0x00FFFF80.
    return frame % 2 == 1 ? QColor(0x00, 0xFF, 0x80) : QColor(0x80, 0xFF, 0xFF);
}

void TPictureBox::paintEvent(QPaintEvent *)
{
    QPainter p(this);
    p.fillRect(rect(), Qt::white);
    if (!m_picture)
        return;
    const int z = kPictureZoom;
    for (int f = 1; f <= m_frames; ++f) {
        int x0 = (f - 1) * m_frameWidth;
        p.fillRect(x0 * z, 0, m_frameWidth * z, height(), FrameColour(f));
        for (int x = x0; x < x0 + m_frameWidth; ++x)
            for (int y = 0; y < m_frameHeight; ++y)
                if (PicturePixelSet(*m_picture, x, y))
                    p.fillRect(x * z, y * z, z, z, Qt::black);
    }
    p.setPen(Qt::white);
    for (int x = 0; x < width(); x += z)
        p.drawLine(x, 0, x, height());
    for (int y = 0; y < height(); y += z)
        p.drawLine(0, y, width(), y);
}

void TPictureBox::mousePressEvent(QMouseEvent *event)
{
    if (!m_picture)
        return;
    QPoint pos = event->position().toPoint();
    if (TogglePicturePixel(*m_picture, pos.x() / kPictureZoom, pos.y() / kPictureZoom))
        update();
}

} // namespace kestrel
