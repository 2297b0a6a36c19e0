// What waits while the receiving side cannot go on: a machine's store on a
// worker, its connection's next message meanwhile, and the serial messages
// that arrived whole while the line was writing.
#include "common/ansi.h"
#include "common/log.h"
#include "link/programname.h"
#include "station/receiver.h"
#include "station/station.h"
#include <QTcpSocket>
#include <utility>

// Whether parsing a message from the line may write to it: the machine's
// requests do; answers, and protocol 1's stores, which have none, never do.
bool Receiver::repliesOnLine(const QByteArray& m, int protocol) const {
    if (protocol == 2) return !m.startsWith("%R");
    const char letter = m.size() > 1 ? m.at(1) : 0;
    if (letter == 'S' || letter == 'R') return false;
    const Exchange* x = st_.OpenExchange();
    if (letter == 'D') return !(x && !x->socket && x->command == "D");
    const bool colonAnswer = !QByteArrayView("LSERD").contains(letter) && m.size() > 9 && m.at(9) == 'S';
    return !colonAnswer;
}

void Receiver::lineFree() {
    if (!deferred_.empty()) QMetaObject::invokeMethod(&st_, [this] { runDeferred(); }, Qt::QueuedConnection);
}

void Receiver::runDeferred() {
    while (!deferred_.empty() && !st_.sender_.sending() && !serial_.storing) {
        Deferred d = std::move(deferred_.front());
        deferred_.pop_front();
        const int protocol = st_.Machine.Typ == 2 ? 1 : 2;
        parseMessage(std::move(d.message), std::move(d.program), d.answers, d.origin, st_.SerialLink, protocol, nullptr);
        parsed();
    }
}

// Writes a program the machine sent: the one that went to its file as it
// arrived, or the body given to target. Not stored (with the reason on the
// status line and in the log) when the name is unsafe or the file could not
// be written; then fileError holds the file error for the operator, whom
// the caller tells only after the machine has its answer. The lock, the
// version and the commit run on a worker.
void Receiver::store(const std::function<QByteArray()>& body, const QString& name, StoreDone done) {
    const QString problem = MachineNameProblem(name);
    if (!problem.isEmpty()) {
        st_.AddLog(QStringLiteral("Ogiltigt programnamn från maskinen ('%1'): %2.").arg(name, problem));
        st_.Status(QStringLiteral("Ogiltigt programnamn ('%1'). Programmet sparades inte.").arg(EscapeControls(name)));
        done(StoreResult{FileResult{false, 52, problem}, {}, 0}, QString());
        return;
    }
    StoreWork work;
    work.origin = parsingOrigin_;
    if (parsingProgram_ && parsingHeld_ && parsingHeld_->get() == parsingProgram_) {
        work.program = std::move(*parsingHeld_);
        parsingProgram_ = nullptr;
    } else {
        const Exchange* x = st_.exchanges_.latest();
        if (!parsingAnswers_ || !x || x->id != parsingAnswers_) x = nullptr;
        work.path = x ? x->target : st_.responder_.storePath(name);
        work.comment = x ? x->comment : QString();
        work.text = body();
    }
    const DiskWait held = hold();
    WhenReady(&st_, StartStore(std::move(work)), [this, held, done = std::move(done)](const StoreResult& r) {
        QString fileError;
        if (!r.stored()) {
            fileError = r.file.message();
            st_.AddLog(fileError);
            st_.Status(fileError);
        }
        st_.stored_.sha256 = r.sha256;
        done(r, fileError);
        release(held);
    });
}

Receiver::DiskWait Receiver::hold() {
    if (Reception* r = of(parsingFrom_)) ++r->storing;
    ++diskWork_;
    parseDeferred_ = true;
    return DiskWait{parsingFrom_, !parsingFrom_};
}

// The message is dealt with now; the connection's next one, if it came
// meanwhile, is read.
void Receiver::release(const DiskWait& held) {
    Reception* r = held.serial ? &serial_ : held.from ? of(held.from) : nullptr;
    if (r && r->storing > 0) --r->storing;
    --diskWork_;
    Q_EMIT st_.messageParsed();
    if (held.serial) runDeferred();
    else if (held.from && held.from->bytesAvailable() > 0) st_.conns_.arrived(held.from);
}
