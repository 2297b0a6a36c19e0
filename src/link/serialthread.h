#pragma once
// The one thread on which every station's serial port moves its bytes and
// keeps its time, woken by the ports' descriptors and timers, so that a line
// keeps its rate however long the event thread is kept busy. Nothing on it
// ever waits for the event thread; the event thread may wait for it (briefly).
#include <QMetaObject>
#include <QObject>
#include <QThread>
#include <type_traits>
#include <utility>

// Started at the first call; stopped when the application object goes.
QThread* SerialIoThread();
// Deletes o on that thread and waits for it (at once when it no longer runs).
void DeleteOnSerialThread(QObject* o);

// Runs f on o's thread and waits for its result: at once when that is this
// thread or no longer runs.
template <class F>
auto OnThreadOf(const QObject* o, F&& f) -> decltype(f()) {
    using R = decltype(f());
    QThread* t = o->thread();
    if (!t || t == QThread::currentThread() || !t->isRunning()) return f();
    auto* context = const_cast<QObject*>(o);
    if constexpr (std::is_void_v<R>) {
        QMetaObject::invokeMethod(context, std::forward<F>(f), Qt::BlockingQueuedConnection);
    } else {
        R result{};
        QMetaObject::invokeMethod(context, std::forward<F>(f), Qt::BlockingQueuedConnection, &result);
        return result;
    }
}
