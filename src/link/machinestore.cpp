#include "link/machinestore.h"
#include "library/history.h"
#include <QCoreApplication>
#include <QFile>
#include <QLockFile>
#include <QPromise>
#include <QThreadPool>
#include <openssl/crypto.h>
#include <optional>

namespace {
// Workers of their own: a store may wait seconds for a lock another process
// holds, and must not take a thread that another machine's store needs. At
// exit the pool waits for stores under way, so none is left half-replaced.
QThreadPool& StorePool() {
    static QThreadPool pool;
    static const bool sized = [] {
        pool.setMaxThreadCount(32);
        // Drained while the application object goes, before Qt's own
        // globals (the locale a store's history reads) are torn down.
        qAddPostRoutine(WaitForStores);
        return true;
    }();
    Q_UNUSED(sized);
    return pool;
}

}  // namespace

void WaitForStores() { StorePool().waitForDone(); }

namespace {
template <typename T, typename F>
QFuture<T> OnWorker(F work) {
    auto promise = std::make_shared<QPromise<T>>();
    QFuture<T> future = promise->future();
    promise->start();
    StorePool().start([promise, work = std::make_shared<F>(std::move(work))]() mutable {
        T result = (*work)();
        // The checksum's library keeps state per thread; a pool's thread
        // lives on, so it is given back after each task, not at exit.
        OPENSSL_thread_stop();
        promise->addResult(std::move(result));
        promise->finish();
    });
    return future;
}
// A file's bytes into writer in pieces: a large upload is never held whole.
bool CopyInto(ProgramFileWriter& writer, const QString& path) {
    QFile in(path);
    if (!in.open(QIODevice::ReadOnly)) return false;
    QByteArray piece(256 * 1024, Qt::Uninitialized);
    for (qint64 n; (n = in.read(piece.data(), piece.size())) != 0;)
        if (n < 0 || !writer.write(piece.constData(), n)) return n >= 0;
    return true;
}
}  // namespace

StoreResult RunStore(StoreWork& w) {
    StoreResult out;
    ProgramFileWriter whole;
    FileResult& r = out.file;
    // Written out first, then the program it replaces is kept, then replaced:
    // a failed write keeps no version, a version that cannot be kept stops the replace.
    if (w.program) {
        r = w.program->finish();
    } else if ((r = whole.open(w.path, w.comment)).ok) {
        if (w.textFile.isEmpty()) whole.write(w.text.constData(), w.text.size());
        else if (!CopyInto(whole, w.textFile)) r = FileResult{false, 57, QStringLiteral("den mottagna filen kunde inte läsas")};
        if (r.ok) r = whole.finish();
        else whole.cancel();
    }
    const ProgramFileWriter* writer = w.program ? w.program->writer() : &whole;
    const QString target = writer ? writer->target() : QString();
    // Servers that share a library replace one program one at a time: its
    // version and its new text go together.
    std::optional<QLockFile> lock;
    if (r.ok && !target.isEmpty() && !LockProgram(lock.emplace(ProgramLockPath(target)), w.lockWaitMs))
        r = FileResult{false, 75, QStringLiteral("programmet ersätts av en annan process just nu")};
    // A program the same as the one it replaces keeps no version.
    if (r.ok && !target.isEmpty() && !w.origin.isEmpty()) r = KeepVersion(*writer, w.origin);
    if (writer) {
        out.sha256 = writer->sha256Hex();
        out.bytes = writer->textBytes();
    }
    if (r.ok) r = w.program ? w.program->commit() : whole.commit();
    return out;
}

QFuture<StoreResult> StartStore(StoreWork work) {
    return OnWorker<StoreResult>([w = std::make_shared<StoreWork>(std::move(work))] { return RunStore(*w); });
}

QFuture<TrashResult> StartTrash(QString source, QString target, QString origin) {
    return OnWorker<TrashResult>([source, target, origin] {
        TrashResult t;
        t.kept = KeepVersion(source, origin);
        t.moved = t.kept.ok && QFile::rename(source, target);
        return t;
    });
}
