#include "link/serialthread.h"
#include <QCoreApplication>
#include <QMutex>

namespace {
QMutex guard;
QThread* thread = nullptr;
QObject* anchor = nullptr;

void Stop() {
    QMutexLocker lock(&guard);
    if (!thread) return;
    anchor->deleteLater();  // goes as the thread finishes
    thread->quit();
    thread->wait();
    delete thread;
    thread = nullptr;
    anchor = nullptr;
}
}  // namespace

QThread* SerialIoThread() {
    QMutexLocker lock(&guard);
    if (!thread) {
        thread = new QThread;
        thread->setObjectName(QStringLiteral("serial"));
        anchor = new QObject;
        anchor->moveToThread(thread);
        thread->start();
        qAddPostRoutine(Stop);
    }
    return thread;
}

void DeleteOnSerialThread(QObject* o) {
    QMutexLocker lock(&guard);
    if (!thread || !thread->isRunning() || o->thread() != thread) {
        lock.unlock();
        delete o;
        return;
    }
    QObject* a = anchor;
    lock.unlock();
    QMetaObject::invokeMethod(a, [o] { delete o; }, Qt::BlockingQueuedConnection);
}
