// The bevelled frame control as the window draws it (its saved properties and
// caption are VB6 leftovers nothing calls).
#include "controls/bevel.h"

#include <QImage>
#include <QPainter>
#include <gtest/gtest.h>

namespace {
QImage Render(Bevel& b) {
    QImage img(b.size(), QImage::Format_RGB32);
    img.fill(Qt::magenta);
    b.render(&img, QPoint(), QRegion(), QWidget::DrawChildren);
    return img;
}
}  // namespace

TEST(Bevel, EachFindsItsOwnEntryAndDrawsItsEdges) {
    QWidget form;
    form.resize(200, 100);
    Bevel a(&form), b(&form);
    a.setGeometry(0, 0, 40, 20);
    b.setGeometry(50, 0, 40, 20);
    Render(a);
    Render(b);
    EXPECT_EQ(a.ownEntry(), &a);
    EXPECT_EQ(b.ownEntry(), &b);
    Bevel orphan;  // no container: nothing found, nothing drawn
    orphan.resize(10, 10);
    const QImage none = Render(orphan);
    EXPECT_EQ(none.pixel(0, 0), QColor(Qt::magenta).rgb());

    // Raised outer and sunken inner two pixels inside.
    a.setBevelOuter(1);
    a.setBevelInner(2);
    a.setBorderWidth(2);
    const QImage img = Render(a);
    const QPalette p = a.palette();
    EXPECT_EQ(img.pixel(5, 0), p.color(QPalette::Midlight).rgb());  // outer top, light
    EXPECT_EQ(img.pixel(5, 19), p.color(QPalette::Shadow).rgb());   // outer bottom, dark shadow
    EXPECT_EQ(img.pixel(5, 2), p.color(QPalette::Dark).rgb());      // inner top, shadow
    EXPECT_EQ(img.pixel(5, 17), p.color(QPalette::Light).rgb());    // inner bottom, highlight
    EXPECT_EQ(a.lastInnerRect(), QRect(2, 2, 36, 16));

    // Style 7 draws nothing; a border wider than half the height inverts
    // the inner rectangle, which draws nothing either.
    a.setBevelOuter(7);
    a.setBevelInner(1);
    a.setBorderWidth(15);
    const QImage blank = Render(a);
    EXPECT_EQ(blank.pixel(0, 0), QColor(Qt::magenta).rgb());
    EXPECT_EQ(blank.pixel(20, 10), QColor(Qt::magenta).rgb());
    EXPECT_LT(a.lastInnerRect().height(), 0);
}
