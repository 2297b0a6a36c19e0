#pragma once
// Waits in tests: process events until a condition holds, with a generous
// upper bound so that a broken build fails instead of hanging.
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>
#include <QCoro/QCoroTask>
#include <functional>
#include <memory>
#include <optional>

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

// Runs an operation (a coroutine) to its end, bounded like WaitUntil.
template <typename T>
T Await(QCoro::Task<T> task, int maxMs = 60000) {
    auto result = std::make_shared<std::optional<T>>();
    auto chained = task.then([result](T value) { *result = std::move(value); });
    WaitUntil([&] { return result->has_value(); }, maxMs);
    return result->value_or(T{});
}
inline void Await(QCoro::Task<void> task, int maxMs = 60000) {
    auto done = std::make_shared<bool>(false);
    auto chained = task.then([done] { *done = true; });
    WaitUntil([&] { return *done; }, maxMs);
}
