#include "library/ui/fileicons.h"

#include <QFont>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace {
// A sheet with a folded corner, tinted, with a letter on it.
QIcon Sheet(const QColor& tint, const QString& letter) {
    QPixmap pm(16, 16);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing, false);
    QPainterPath sheet;
    sheet.moveTo(2, 0);
    sheet.lineTo(10, 0);
    sheet.lineTo(14, 4);
    sheet.lineTo(14, 15);
    sheet.lineTo(2, 15);
    sheet.closeSubpath();
    p.fillPath(sheet, tint.lighter(185));
    p.setPen(tint.darker(150));
    p.drawPath(sheet);
    p.drawLine(10, 0, 10, 4);
    p.drawLine(10, 4, 14, 4);
    QFont f = p.font();
    f.setPixelSize(9);
    f.setBold(true);
    p.setFont(f);
    p.setPen(tint.darker(170));
    p.drawText(QRect(2, 4, 12, 11), Qt::AlignCenter, letter);
    p.end();
    return QIcon(pm);
}
}  // namespace

QList<QIcon> FileKindIcons() {
    static const QList<QIcon> icons = {
        QIcon(),
        QIcon(),
        Sheet(QColor(40, 90, 180), QStringLiteral("O")),
        Sheet(QColor(30, 130, 60), QStringLiteral("K")),
        Sheet(QColor(190, 110, 20), QStringLiteral("T")),
    };
    return icons;
}
