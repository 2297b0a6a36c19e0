#pragma once
// The disk's part of a program a machine sent, and of a program it removes:
// waiting for the program's lock, keeping the version it replaces and
// putting the new file in place. Run on a worker of their own, so that no
// machine's answer waits for another machine's disk or another process's
// lock; the station answers the machine when the future is ready.
#include "library/programfile.h"
#include "link/incomingprogram.h"
#include <QByteArray>
#include <QFuture>
#include <QFutureWatcher>
#include <QString>
#include <memory>

struct StoreWork {
    // The program that went to its file as it arrived; or, when null, text
    // (or, when textFile is set, that file's bytes, read in pieces) to be
    // written to path with comment.
    std::unique_ptr<IncomingProgram> program;
    QByteArray text;
    QString textFile;
    QString path, comment;
    QString origin;  // for the version kept; empty keeps none
    int lockWaitMs = 10000;
};

struct StoreResult {
    FileResult file;  // ok once the program is committed
    // Of the program text written (what a later send of the file sends).
    QByteArray sha256;  // hex
    qint64 bytes = 0;
    bool stored() const { return file.ok; }
};

// Blocking: the lock, the version, the commit.
StoreResult RunStore(StoreWork& work);
QFuture<StoreResult> StartStore(StoreWork work);
// Waits until every store and removal under way on the workers has ended.
void WaitForStores();

// The program at source moved to target (the trash) after its version was
// kept; the failure of the keep when that stopped it.
struct TrashResult {
    bool moved = false;
    FileResult kept;
};
QFuture<TrashResult> StartTrash(QString source, QString target, QString origin);

// then(result) on context's thread once future is ready; never when context
// is gone by then.
template <typename T, typename F>
void WhenReady(QObject* context, const QFuture<T>& future, F then) {
    auto* watcher = new QFutureWatcher<T>(context);
    QObject::connect(watcher, &QFutureWatcherBase::finished, context, [watcher, then = std::move(then)]() mutable {
        watcher->deleteLater();
        then(watcher->result());
    });
    watcher->setFuture(future);
}
