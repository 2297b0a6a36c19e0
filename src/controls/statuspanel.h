#pragma once
// A status bar panel whose text is never cut off: a text wider than the
// panel wraps onto two lines in a smaller font, and the whole text is also
// its tool tip. Its width never follows the text, so a long message cannot
// push the other panels out of the window.
#include <QLabel>

class StatusPanel : public QLabel {
    Q_OBJECT
public:
    explicit StatusPanel(QWidget* parent = nullptr);
    void showText(const QString& text);

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void fit();
};
