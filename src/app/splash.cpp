#include "app/splash.h"

#include "app/artwork.h"
#include "app/version.h"

#include <QGuiApplication>
#include <QLabel>
#include <QLinearGradient>
#include <QPainter>
#include <QVBoxLayout>

bool frm_splash::PlatformFades() {
    const QString p = QGuiApplication::platformName();
    return p == QLatin1String("windows") || p == QLatin1String("xcb") || p == QLatin1String("cocoa");
}

frm_splash::frm_splash(bool fade, QWidget* parent)
    : QWidget(parent, Qt::SplashScreen | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint) {
    setObjectName(QStringLiteral("frm_splash"));
    setFixedSize(420, 240);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(24, 20, 24, 16);
    auto* emblem = new QLabel(this);
    emblem->setPixmap(EmblemPixmap(96));
    emblem->setAlignment(Qt::AlignCenter);
    column->addWidget(emblem);
    auto* title = new QLabel(QStringLiteral("Fenmo32"), this);
    title->setObjectName(QStringLiteral("lblTitle"));
    QFont big = title->font();
    big.setPointSize(22);
    big.setBold(true);
    title->setFont(big);
    title->setAlignment(Qt::AlignCenter);
    column->addWidget(title);
    lblVersion_ = new QLabel(SplashVersionText(), this);
    lblVersion_->setObjectName(QStringLiteral("lblVersion"));
    lblVersion_->setAlignment(Qt::AlignRight);
    column->addWidget(lblVersion_);

    timer1_.setObjectName(QStringLiteral("Timer1"));
    connect(&timer1_, &QTimer::timeout, this, &frm_splash::Timer1_Timer);
    if (fade) {
        setWindowOpacity(0.0);
        timer1_.setInterval(50);
        timer1_.start();
    } else {
        // Shown opaque at once; the timer never runs.
        timer1_.setInterval(0);
        opacity_ = 255;
    }
}

QString frm_splash::versionText() const { return lblVersion_->text(); }

void frm_splash::Timer1_Timer() {
    opacity_ += 16;
    if (opacity_ > 255) {
        timer1_.stop();
        opacity_ -= 16;  // the last step only stops the fade: the window stays at 240
        return;
    }
    setWindowOpacity(opacity_ / 255.0);
}

void frm_splash::paintEvent(QPaintEvent*) {
    QPainter p(this);
    QLinearGradient g(0, 0, 0, height());
    g.setColorAt(0, QColor(236, 241, 248));
    g.setColorAt(1, QColor(196, 208, 226));
    p.fillRect(rect(), g);
    p.setPen(QColor(90, 100, 120));
    p.drawRect(rect().adjusted(0, 0, -1, -1));
}
