#include "controls/bevel.h"

#include <QMouseEvent>
#include <QPainter>

namespace {
// Palette roles of the four classic edge colours.
constexpr QPalette::ColorRole kHighlight = QPalette::Light;
constexpr QPalette::ColorRole kLight = QPalette::Midlight;
constexpr QPalette::ColorRole kShadow = QPalette::Dark;
constexpr QPalette::ColorRole kDarkShadow = QPalette::Shadow;

struct EdgeColours {
    int topLeft = -1;      // a colour role, or -1 for no line
    int bottomRight = -1;
};

// The outer and inner line colours of the classic edge tables. An inner line
// without an outer one takes the outer position.
void EdgeLines(int flags, EdgeColours& outer, EdgeColours& inner) {
    const bool raisedOuter = flags & 1, sunkenOuter = flags & 2;
    const bool raisedInner = flags & 4, sunkenInner = flags & 8;
    const bool hasOuter = raisedOuter != sunkenOuter;
    const bool hasInner = raisedInner != sunkenInner;
    outer = inner = EdgeColours{};
    if (hasOuter) {
        outer = raisedOuter ? EdgeColours{kLight, kDarkShadow} : EdgeColours{kShadow, kHighlight};
        if (hasInner)
            inner = raisedInner ? EdgeColours{kHighlight, kShadow} : EdgeColours{kDarkShadow, kLight};
    } else if (hasInner) {
        outer = raisedInner ? EdgeColours{kHighlight, kShadow} : EdgeColours{kDarkShadow, kLight};
    }
}

void DrawFrameLines(QPainter& p, int l, int t, int r, int b, const EdgeColours& c, const QPalette& pal) {
    if (r <= l || b <= t) return;
    if (c.topLeft >= 0) {
        p.setPen(pal.color(static_cast<QPalette::ColorRole>(c.topLeft)));
        p.drawLine(l, t, r - 1, t);
        p.drawLine(l, t, l, b - 1);
    }
    if (c.bottomRight >= 0) {
        p.setPen(pal.color(static_cast<QPalette::ColorRole>(c.bottomRight)));
        p.drawLine(l, b - 1, r - 1, b - 1);
        p.drawLine(r - 1, t, r - 1, b - 1);
    }
}
}  // namespace

void DrawEdge(QPainter& painter, const QRect& rect, int flags, const QPalette& palette) {
    // Right and bottom are exclusive, as in the platform's rectangles.
    int l = rect.left(), t = rect.top(), r = rect.left() + rect.width(), b = rect.top() + rect.height();
    if (r <= l || b <= t) return;
    EdgeColours outer, inner;
    EdgeLines(flags, outer, inner);
    DrawFrameLines(painter, l, t, r, b, outer, palette);
    DrawFrameLines(painter, l + 1, t + 1, r - 1, b - 1, inner, palette);
}

int Bevel::EdgeFlags(int style) {
    switch (style) {
    case Raised: return 5;
    case Sunken: return 10;
    case RaisedInner: return 4;
    case SunkenOuter: return 2;
    default: return 0;
    }
}

Bevel::Bevel(QWidget* parent) : QWidget(parent) {}

void Bevel::setAutoSize(bool on) {
    autoSize_ = on;
    update();
}
void Bevel::setBevelInner(qint32 style) {
    inner_ = style;
    update();
}
void Bevel::setBevelOuter(qint32 style) {
    outer_ = style;
    update();
}
void Bevel::setBorderWidth(qint16 pixels) {
    borderWidth_ = pixels;
    update();
}
void Bevel::setChildObject(QObject* object) {
    child_ = object;
    update();
}
void Bevel::setMargin(int which, qint16 v) {
    margins_[which] = v;
    update();
}

QVariantMap Bevel::WriteProperties() const {
    QVariantMap m;
    if (inner_ != 3) m.insert(QStringLiteral("BevelInner"), inner_);
    if (outer_ != 3) m.insert(QStringLiteral("BevelOuter"), outer_);
    m.insert(QStringLiteral("AutoSize"), autoSize_);
    m.insert(QStringLiteral("BorderWidth"), borderWidth_);
    m.insert(QStringLiteral("MarginsL"), margins_[1]);
    m.insert(QStringLiteral("MarginsT"), margins_[0]);
    m.insert(QStringLiteral("MarginsR"), margins_[3]);
    m.insert(QStringLiteral("MarginsB"), margins_[2]);
    return m;
}

void Bevel::ReadProperties(const QVariantMap& saved) {
    auto get = [&](const char* key, int def) { return saved.value(QLatin1String(key), def).toInt(); };
    autoSize_ = saved.value(QStringLiteral("AutoSize"), false).toBool();
    inner_ = get("BevelInner", 3);
    outer_ = get("BevelOuter", 3);
    borderWidth_ = static_cast<qint16>(get("BorderWidth", 0));
    margins_[1] = static_cast<qint16>(get("MarginsL", 0));
    margins_[0] = static_cast<qint16>(get("MarginsT", 0));
    margins_[3] = static_cast<qint16>(get("MarginsR", 0));
    margins_[2] = static_cast<qint16>(get("MarginsB", 0));
    update();
}

void Bevel::FindOwnEntry() {
    if (own_ || !parent()) return;
    for (QObject* o : parent()->children()) {
        auto* b = qobject_cast<Bevel*>(o);
        if (b && b->hWnd() == hWnd()) {
            own_ = b;
            return;
        }
    }
}

void Bevel::paintEvent(QPaintEvent*) {
    FindOwnEntry();
    if (!own_) return;
    QRect r(0, 0, width(), height());
    QPainter p(this);
    DrawEdge(p, r, EdgeFlags(outer_), palette());
    lastOuter_ = r;
    // The inner edge sits BorderWidth inside; a width beyond half the size
    // inverts the rectangle, which then draws nothing.
    r = QRect(QPoint(r.left() + borderWidth_, r.top() + borderWidth_),
              QPoint(r.right() - borderWidth_, r.bottom() - borderWidth_));
    DrawEdge(p, r, EdgeFlags(inner_), palette());
    lastInner_ = r;
}

void Bevel::resizeEvent(QResizeEvent* event) {
    FindOwnEntry();
    QWidget::resizeEvent(event);
}

void Bevel::showEvent(QShowEvent* event) {
    FindOwnEntry();
    QWidget::showEvent(event);
}

void Bevel::mousePressEvent(QMouseEvent* event) {
    Q_EMIT MouseDown();
    event->accept();
}
