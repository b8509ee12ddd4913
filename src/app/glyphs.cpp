#include "app/glyphs.h"

#include <QPainter>
#include <QPixmap>
#include <QRadialGradient>

namespace kestrel {

QColor GlyphColour(int index)
{
    static const QColor base[] = {QColor(0x9a, 0x9a, 0x9a), QColor(0xd8, 0x2c, 0x20),
                                  QColor(0x2e, 0xb8, 0x3c), QColor(0xf0, 0xa8, 0x18)};
    if (index <= 0 || index >= kGlyphCount)
        return base[0];
    QColor c = base[(index + 1) / 2];
    return index % 2 == 1 ? c.darker(160) : c;
}

QIcon GlyphImage(int index)
{
    QIcon icon;
    for (int size : {16, 20, 32}) {
        QPixmap pm(size, size);
        pm.fill(Qt::transparent);
        QPainter p(&pm);
        p.setRenderHint(QPainter::Antialiasing);
        QColor c = GlyphColour(index);
        QRadialGradient g(QPointF(size * 0.38, size * 0.35), size * 0.6);
        g.setColorAt(0, c.lighter(170));
        g.setColorAt(1, c);
        p.setBrush(g);
        p.setPen(QPen(c.darker(180), std::max(1.0, size / 16.0)));
        p.drawEllipse(QRectF(1.5, 1.5, size - 3, size - 3));
        icon.addPixmap(pm);
    }
    return icon;
}

} // namespace kestrel
