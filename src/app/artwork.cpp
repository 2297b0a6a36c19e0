#include "app/artwork.h"

#include <QFont>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

QPixmap EmblemPixmap(int size) {
    QPixmap pm(size, size);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    const double s = size / 64.0;
    p.scale(s, s);
    // The sheet.
    QPainterPath sheet;
    sheet.moveTo(14, 4);
    sheet.lineTo(42, 4);
    sheet.lineTo(52, 14);
    sheet.lineTo(52, 60);
    sheet.lineTo(14, 60);
    sheet.closeSubpath();
    QLinearGradient g(0, 0, 0, 64);
    g.setColorAt(0, QColor(250, 250, 245));
    g.setColorAt(1, QColor(220, 226, 235));
    p.fillPath(sheet, g);
    p.setPen(QPen(QColor(60, 70, 90), 1.5));
    p.drawPath(sheet);
    p.drawPolyline(QPolygonF({QPointF(42, 4), QPointF(42, 14), QPointF(52, 14)}));
    // Program lines.
    QFont f(QStringLiteral("Courier New"));
    f.setStyleHint(QFont::TypeWriter);
    f.setPixelSize(6);
    f.setBold(true);
    p.setFont(f);
    p.setPen(QColor(40, 70, 140));
    const char* lines[] = {"%", "O1000", "G90 G54", "G0 X0 Y0", "M30", "%"};
    double y = 19;
    for (const char* l : lines) {
        p.drawText(QPointF(18, y), QString::fromLatin1(l));
        y += 7;
    }
    // The transfer arrow.
    QPainterPath arrow;
    arrow.moveTo(30, 44);
    arrow.lineTo(48, 44);
    arrow.lineTo(48, 38);
    arrow.lineTo(62, 49);
    arrow.lineTo(48, 60);
    arrow.lineTo(48, 54);
    arrow.lineTo(30, 54);
    arrow.closeSubpath();
    p.fillPath(arrow, QColor(200, 90, 20));
    p.setPen(QPen(QColor(120, 50, 10), 1));
    p.drawPath(arrow);
    return pm;
}
