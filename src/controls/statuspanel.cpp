#include "controls/statuspanel.h"

#include <QFontMetrics>

StatusPanel::StatusPanel(QWidget* parent) : QLabel(parent) {
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    setMinimumWidth(1);
}

void StatusPanel::showText(const QString& text) {
    setText(text);
    setToolTip(text);
    fit();
}

void StatusPanel::resizeEvent(QResizeEvent* event) {
    QLabel::resizeEvent(event);
    fit();
}

void StatusPanel::fit() {
    QFont f = parentWidget() ? parentWidget()->font() : QFont();
    const int room = contentsRect().width() - 2 * qMax(indent(), 0);
    const bool wide = QFontMetrics(f).horizontalAdvance(text()) > room;
    if (wide) f.setPointSizeF(f.pointSizeF() * 0.8);
    setWordWrap(wide);
    setFont(f);
}
