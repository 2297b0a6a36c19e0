// Receiving: collecting each connection's message until it is complete, a
// program's text going to its file as it arrives, and passing over the rest
// of a message that was refused or aborted.
#include "common/ansi.h"
#include "common/log.h"
#include "common/paths.h"
#include "library/programfile.h"
#include "link/frames.h"
#include "link/incomingprogram.h"
#include "link/programname.h"
#include "link/station.h"
#include <QFileInfo>
#include <QStorageInfo>
#include <QScopedValueRollback>
#include <QTcpSocket>
#include <optional>
#include <limits>

namespace {
constexpr char kDC2 = 18;
constexpr char kDC4 = 20;

// Whether the bytes after a "%" may be the start of a header of either
// protocol (as far as they go), so that the "%" starts a new message.
bool StartsHeader(QByteArrayView rest) {
    if (rest.isEmpty()) return false;
    const char first = rest.front();
    if (first == ':') return true;
    if (QByteArrayView("LSERD").contains(first) && (rest.size() < 2 || rest[1] == ' ')) return true;
    if (first != 'C' && first != 'R') return false;
    for (qsizetype i = 1; i < std::min<qsizetype>(4, rest.size()); ++i)
        if (rest[i] < 'A' || rest[i] > 'Z') return false;
    return true;
}
}  // namespace

Reception* Station::ReceptionOf(QTcpSocket* socket) {
    if (!socket) return &serialRx_;
    if (socket == comsock) return &comsockRx_;
    NetConnections::Accepted* a = conns_.of(socket);
    return a ? &a->rx : nullptr;
}

bool Station::MachineReceiving() const { return conns_.receiving(); }

void Station::PassOver(Reception::Pass& skipping, QByteArray& data) {
    using Pass = Reception::Pass;
    if (skipping == Pass::No || data.isEmpty()) return;
    if (skipping == Pass::AfterPercent) {
        skipping = Pass::No;
        if (StartsHeader(data)) data.prepend('%');
        return;
    }
    const qsizetype end = data.indexOf('%');
    if (end < 0) {
        data.clear();
        return;
    }
    // A machine that gave up starts its next message afresh: that "%" is
    // its first character, not the end of the one passed over.
    const QByteArrayView rest = QByteArrayView(data).sliced(end + 1);
    skipping = rest.isEmpty() ? Pass::AfterPercent : Pass::No;
    if (StartsHeader(rest)) data.remove(0, end);
    else data.remove(0, end + 1);
}

// A message that carries a program goes to a file from its header on: the
// machine's store of a program, which goes to the library, and the answer to
// the PC's fetch, which goes where that fetch said when it asked. An answer
// nobody asked for is read to its end and stored nowhere.
void Station::StartProgram(Reception& r, int protocol, QTcpSocket* from) {
    if (r.program || !r.in.startsWith('%')) return;
    IncomingProgram::Frame frame;
    QString name;
    bool answer = false;
    if (protocol == 2) {
        if (r.in.size() < 22) return;
        const QByteArray kind = r.in.mid(1, 4);
        if (!(kind == "CSAV" || (kind == "RLOD" && r.in.mid(17, 2) == "00"))) return;
        frame = IncomingProgram::Frame::Checksummed;
        name = FromAnsi(TrimBlanks(r.in.mid(9, 6)));
        answer = kind == "RLOD";
    } else {
        const char letter = r.in.size() > 1 ? r.in.at(1) : 0;
        if (letter == 'S') {
            if (r.in.size() < 13) return;
            frame = IncomingProgram::Frame::Short;
        } else if (!QByteArrayView("LSERD").contains(letter) && r.in.size() >= 11 && r.in.at(9) == 'S') {
            frame = IncomingProgram::Frame::Colon;
        } else {
            return;
        }
        name = P1Name(r.in);
        if (frame == IncomingProgram::Frame::Colon && name == QLatin1String("D")) return;  // the machine's list
    }
    // Protocol 1 answers a fetch with a store of the program asked for.
    const Exchange* x = protocol == 2 ? (answer ? Answered("LOD", name, from) : nullptr) : Answered("L", name, from);
    QString path, comment;
    if (x) {
        path = x->target;
        comment = x->comment;
        r.answers = x->id;
        r.origin = x->library ? QStringLiteral("Hämtad från ") + MachineName : QString();
    } else if (protocol == 1 && LateCopy(name)) {
        // Read to its end and dropped there: it answers nothing open.
        r.answers = std::numeric_limits<quint64>::max();
        AddLog(QStringLiteral("Sent svar: kopian av %1 kom efter sin tidsgräns och sparas inte.").arg(name));
    } else if (!answer) {
        path = responder_.storePath(name);
        r.origin = QStringLiteral("Sparad av ") + MachineName;
    }
    // A name that is not safe stores nothing: the message is read to its end
    // and refused there, as a message held whole would be.
    auto writer = std::make_unique<ProgramFileWriter>();
    FileResult opened;
    const bool safe = MachineNameProblem(name).isEmpty() && !path.isEmpty();
    if (safe) opened = writer->open(path, comment);
    if (!safe || !opened.ok) writer.reset();
    r.program = std::make_unique<IncomingProgram>(frame, r.in, std::move(writer), opened);
    r.name = name;
    r.in.truncate(frame == IncomingProgram::Frame::Checksummed ? 20 : 12);
}

// A program past MaxProgramMB, or one that would leave the library's disk
// with less than 64 MB free, is refused as soon as that is known: nothing of
// it stays, the rest is passed over, and a machine's store is answered "09"
// at once, so that its next request is answered as usual.
bool Station::ProgramTooLarge(Reception& r, int protocol, QTcpSocket* from) {
    constexpr qint64 kMB = 1024 * 1024;
    constexpr qint64 kFreeFloor = 64 * kMB, kSpaceCheckEvery = 4 * kMB;
    if (!r.program || !r.program->writer()) return false;
    const qint64 size = r.program->size();
    QString why;
    if (General.MaxProgramMB > 0 && size > General.MaxProgramMB * kMB) {
        why = QStringLiteral("större än MaxProgramMB (%1 MB)").arg(General.MaxProgramMB);
    } else if (r.spaceShort.isEmpty() && size >= r.nextSpaceCheck) {
        r.nextSpaceCheck = size + kSpaceCheckEvery;
        const QStorageInfo disk(QFileInfo(r.program->target()).absolutePath());
        if (disk.isValid() && disk.bytesAvailable() < kFreeFloor)
            r.spaceShort = QStringLiteral("mindre än 64 MB skulle bli kvar på disken (%1 MB ledigt)")
                               .arg(disk.bytesAvailable() / kMB);
    }
    // A full disk is told at the program's end (or at the next check's size):
    // a store with a wrong checksum is answered "04" first, as always.
    if (why.isEmpty() && !r.spaceShort.isEmpty() && (r.program->endsWithPercent() || size >= r.nextSpaceCheck)) {
        const bool damaged = protocol == 2 && r.program->endsWithPercent() &&
                             r.program->receivedChecksum() != r.program->computedChecksum();
        if (!damaged) why = r.spaceShort;
    }
    if (why.isEmpty()) return false;
    const QString name = r.name;
    const bool complete = r.program->endsWithPercent();
    const bool answer = r.answers != 0;
    const quint64 answers = r.answers;
    AddLog(QStringLiteral("Programmet %1 från maskinen sparades inte: %2 tecken, %3.").arg(name).arg(size).arg(why));
    r.clear();
    if (!complete) r.skip = Reception::Pass::ToPercent;
    if (answer) {
        if (exchange_ && exchange_->id == answers && exchange_->open()) {
            EndExchange(Exchange::State::Failed);
            AbortExchange();
        }
    } else if (protocol == 2) {
        LinkState& link = from ? NetLink : SerialLink;
        const QScopedValueRollback<QTcpSocket*> on(parsingFrom_, from);
        responder_.replyLater(BuildFrame("R", "SAV", "", ToAnsi(name), "09"), link, 0);
    }
    Status(QStringLiteral("Programmet %1 sparades inte: %2.").arg(EscapeControls(name), why));
    return true;
}

bool Station::Accumulate(Reception& r, const QByteArray& data, int protocol, bool serial, QTcpSocket* from) {
    if (r.program) {
        r.program->append(data);
        if (serial) r.program->dropFinalDc4();
        if (ProgramTooLarge(r, protocol, from)) return false;
        return r.program->endsWithPercent();
    }
    r.in += data;
    if (serial) {
        if (r.in.startsWith(kDC2)) r.in.remove(0, 1);
        if (r.in.endsWith(kDC4)) r.in.chop(1);
    }
    StartProgram(r, protocol, from);
    if (ProgramTooLarge(r, protocol, from)) return false;
    if (r.program) return r.program->endsWithPercent();
    if (InBufferTooLarge(r)) return false;
    const bool ends = r.in.size() >= 2 && r.in.endsWith('%');
    return ends && (!serial || r.in.startsWith('%'));
}

// The parser owns the message from here: the connection starts afresh, and
// an abort inside the parser cannot take it for one still under way.
void Station::HandOver(Reception& r, LinkState& link, int protocol, QTcpSocket* from) {
    std::unique_ptr<IncomingProgram> program = std::move(r.program);
    QByteArray message = std::move(r.in);
    const quint64 answers = r.answers;
    const QString origin = r.origin;
    r.clear();
    // A store still on its worker is answered first: messages after it wait.
    if (!from && ((sender_.sending() && RepliesOnLine(message, protocol)) || serialRx_.storing)) {
        // Its reply would go out between two pieces of the message being written.
        deferred_.push_back({std::move(message), std::move(program), answers, origin});
        return;
    }
    ParseMessage(std::move(message), std::move(program), answers, origin, link, protocol, from);
}

void Station::ParseMessage(QByteArray message, std::unique_ptr<IncomingProgram> program, quint64 answers,
                           const QString& origin, LinkState& link, int protocol, QTcpSocket* from) {
    const QScopedValueRollback<IncomingProgram*> parsing(parsingProgram_, program.get());
    const QScopedValueRollback<std::unique_ptr<IncomingProgram>*> held(parsingHeld_, &program);
    parseDeferred_ = false;
    const QScopedValueRollback<quint64> answering(parsingAnswers_, answers);
    const QScopedValueRollback<QString> kept(parsingOrigin_, origin);
    const QScopedValueRollback<QTcpSocket*> on(parsingFrom_, from);
    if (program) Q_EMIT trafficRow(true, message, program->size(), program->receivedChecksum(), program->computedChecksum(), from);
    else Q_EMIT trafficRow(true, message, message.size(), {}, {}, from);
    if (protocol == 1) ParseP1(std::move(message), link);
    else Parse(std::move(message), link);
}

// Whether parsing a message from the line may write to it: the machine's
// requests do; answers, and protocol 1's stores, which have none, never do.
bool Station::RepliesOnLine(const QByteArray& m, int protocol) const {
    if (protocol == 2) return !m.startsWith("%R");
    const char letter = m.size() > 1 ? m.at(1) : 0;
    if (letter == 'S' || letter == 'R') return false;
    const Exchange* x = OpenExchange();
    if (letter == 'D') return !(x && !x->socket && x->command == "D");
    const bool colonAnswer = !QByteArrayView("LSERD").contains(letter) && m.size() > 9 && m.at(9) == 'S';
    return !colonAnswer;
}

void Station::LineFree() {
    if (!deferred_.empty()) QMetaObject::invokeMethod(this, &Station::RunDeferred, Qt::QueuedConnection);
}

void Station::RunDeferred() {
    while (!deferred_.empty() && !sender_.sending() && !serialRx_.storing) {
        Deferred d = std::move(deferred_.front());
        deferred_.pop_front();
        const int protocol = Machine.Typ == 2 ? 1 : 2;
        ParseMessage(std::move(d.message), std::move(d.program), d.answers, d.origin, SerialLink, protocol, nullptr);
        if (!std::exchange(parseDeferred_, false)) Q_EMIT messageParsed();
    }
}

bool Station::InBufferTooLarge(Reception& r) {
    if (r.in.size() <= General.MaxMessage) return false;
    const qint64 size = r.in.size();
    const bool unfinished = r.in.indexOf('%', 1) < 0;
    AddLog(QStringLiteral("Meddelandet från maskinen är för stort (%1 tecken, gräns %2). Mottagningen avbruten.")
               .arg(size)
               .arg(General.MaxMessage));
    r.clear();
    cmdAbort_Click();
    Status(QStringLiteral("Meddelandet från maskinen är för stort. Mottagningen avbruten."));
    // Its remainder is no message of its own: nothing in it gets an answer.
    r.skip = unfinished ? Reception::Pass::ToPercent : Reception::Pass::No;
    return true;
}


// Writes a program the machine sent: the one that went to its file as it
// arrived, or the body given to target. Not stored (with the reason on the
// status line and in the log) when the name is unsafe or the file could not
// be written; then fileError holds the file error for the operator, whom
// the caller tells only after the machine has its answer. The lock, the
// version and the commit run on a worker.
void Station::StoreFromMachine(const std::function<QByteArray()>& body, const QString& name, StoreDone done) {
    const QString problem = MachineNameProblem(name);
    if (!problem.isEmpty()) {
        AddLog(QStringLiteral("Ogiltigt programnamn från maskinen ('%1'): %2.").arg(name, problem));
        Status(QStringLiteral("Ogiltigt programnamn ('%1'). Programmet sparades inte.").arg(EscapeControls(name)));
        done(StoreResult{FileResult{false, 52, problem}, {}, 0}, QString());
        return;
    }
    StoreWork work;
    work.origin = parsingOrigin_;
    if (parsingProgram_ && parsingHeld_ && parsingHeld_->get() == parsingProgram_) {
        work.program = std::move(*parsingHeld_);
        parsingProgram_ = nullptr;
    } else {
        const Exchange* x = parsingAnswers_ && exchange_ && exchange_->id == parsingAnswers_ ? exchange_.get() : nullptr;
        work.path = x ? x->target : responder_.storePath(name);
        work.comment = x ? x->comment : QString();
        work.text = body();
    }
    const DiskWait held = HoldConnection();
    WhenReady(this, StartStore(std::move(work)), [this, held, done = std::move(done)](const StoreResult& r) {
        QString fileError;
        if (!r.stored()) {
            fileError = r.file.message();
            AddLog(fileError);
            Status(fileError);
        }
        stored_.sha256 = r.sha256;
        done(r, fileError);
        ReleaseConnection(held);
    });
}

Station::DiskWait Station::HoldConnection() {
    if (Reception* r = ReceptionOf(parsingFrom_)) ++r->storing;
    ++diskWork_;
    parseDeferred_ = true;
    return DiskWait{parsingFrom_, !parsingFrom_};
}

// The message is dealt with now; the connection's next one, if it came
// meanwhile, is read.
void Station::ReleaseConnection(const DiskWait& held) {
    Reception* r = held.serial ? &serialRx_ : held.from ? ReceptionOf(held.from) : nullptr;
    if (r && r->storing > 0) --r->storing;
    --diskWork_;
    Q_EMIT messageParsed();
    if (held.serial) RunDeferred();
    else if (held.from && held.from->bytesAvailable() > 0) conns_.arrived(held.from);
}
