#pragma once
// The splash window: the emblem, the program's name and its version label,
// fading in where the platform can make a window translucent.
#include <QTimer>
#include <QWidget>

class QLabel;

class frm_splash : public QWidget {
    Q_OBJECT
public:
    // Whether windows of this platform can be shown translucent.
    static bool PlatformFades();

    explicit frm_splash(bool fade = PlatformFades(), QWidget* parent = nullptr);

    // One fade step: 16 more, until the step past 255 stops the timer.
    void Timer1_Timer();
    int opacity() const { return opacity_; }
    QTimer& Timer1() { return timer1_; }
    QString versionText() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QTimer timer1_;
    int opacity_ = 0;
    QLabel* lblVersion_ = nullptr;
};
