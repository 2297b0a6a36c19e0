#pragma once
// Waits in tests: process events until a condition holds, with a generous
// upper bound so that a broken build fails instead of hanging.
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>
#include <functional>

inline bool WaitUntil(const std::function<bool()>& done, int maxMs = 10000) {
    QDeadlineTimer deadline(maxMs);
    QTimer tick;  // wakes the loop now and then so the deadline is seen
    tick.start(20);
    while (!done()) {
        if (deadline.hasExpired()) return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
    return true;
}

// Lets queued events run for a while (for "nothing more happens" checks).
inline void Settle(int ms) {
    QDeadlineTimer deadline(ms);
    QTimer tick;
    tick.start(5);
    while (!deadline.hasExpired()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
}
