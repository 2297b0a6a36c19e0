#pragma once
// A push button whose caption wraps onto several lines when it is wider than
// the button, as on the tool band's tall buttons.
#include <QPushButton>

class CaptionButton : public QPushButton {
    Q_OBJECT
public:
    explicit CaptionButton(const QString& caption, QWidget* parent = nullptr) : QPushButton(caption, parent) {}

protected:
    void paintEvent(QPaintEvent* event) override;
};
