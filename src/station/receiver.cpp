// Receiving: collecting each connection's message until it is complete, a
// program's text going to its file as it arrives, and passing over the rest
// of a message that was refused or aborted; the hand-over to the parsers.
#include "common/ansi.h"
#include "common/log.h"
#include "common/paths.h"
#include "common/trace.h"
#include "library/programfile.h"
#include "link/arrows.h"
#include "link/frames.h"
#include "link/incomingprogram.h"
#include "link/programname.h"
#include "station/receiver.h"
#include "station/station.h"
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

Receiver::Receiver(Station& station)
    : st_(station), serial_(station.SerialLink.InBuffer), pc_(station.NetLink.InBuffer) {}

Receiver::~Receiver() = default;

Reception* Receiver::of(QTcpSocket* socket) {
    if (!socket) return &serial_;
    if (socket == st_.comsock) return &pc_;
    NetConnections::Accepted* a = st_.conns_.of(socket);
    return a ? &a->rx : nullptr;
}

void Receiver::fromLine(QByteArray data) {
    data = StripNulls(data);
    passOver(serial_.skip, data);
    if (!serial_.busy() && data == QByteArray(1, kDC4)) data.clear();
    if (data.isEmpty()) {
        // Passing over a refused message keeps measuring its silence.
        serialSilence(true);
        return;
    }
    // Messages that arrived back to back are taken one at a time.
    while (!data.isEmpty()) {
        const qsizetype end = messageEnd(serial_, data);
        serialReceive(data.left(end));
        data.remove(0, end);
        passOver(serial_.skip, data);
        if (!serial_.busy() && data == QByteArray(1, kDC4)) data.clear();
    }
}

// Where the message under way ends in data: at its next "%" once it has
// started; bytes before a first "%" stay together.
qsizetype Receiver::messageEnd(const Reception& r, const QByteArray& data) {
    qsizetype from = -1;
    if (r.program || r.in.startsWith('%')) from = 0;
    else if (r.in.isEmpty() && data.startsWith('%')) from = 1;
    else if (r.in.isEmpty() && data.startsWith(QByteArrayView("\x12%"))) from = 2;
    const qsizetype end = from < 0 ? -1 : data.indexOf('%', from);
    return end < 0 ? data.size() : end + 1;
}

void Receiver::serialReceive(const QByteArray& data) {
    QByteArray& in = st_.SerialLink.InBuffer;
    st_.Status(QStringLiteral("Tar emot från maskin..."));
    if (!serial_.busy()) st_.ShowPilar(QStringLiteral("Tar emot data från maskin..."), RecArrows());
    TraceEnter(QStringLiteral("Comm_OnComm().9"));
    st_.RxCount += data.size();
    st_.panel_.setPanel(2, QString::number(st_.RxCount) + QStringLiteral(" tecken"));
    const int protocol = st_.Machine.Typ == 2 ? 1 : 2;
    if (!accumulate(serial_, data, protocol, true, nullptr)) {
        serialSilence(true);
        return;
    }
    TraceEnter(QStringLiteral("Comm_OnComm().5"));
    if (st_.LogTraffic) st_.AddHexLog(in, QStringLiteral("commands.log"), 3);
    st_.RecTimer.stop();
    st_.HidePilar();
    const qint64 size = serial_.program ? serial_.program->size() : in.size();
    st_.Status(QStringLiteral("Mottagning klar (") + QString::number(size) + QStringLiteral(" tecken )."));
    st_.RxCount = 0;
    if (st_.Machine.Typ == 1 || st_.Machine.Typ == 2) handOver(serial_, st_.SerialLink, protocol, nullptr);
    else serial_.clear();
    // An exchange still waiting for its answer keeps its time-out.
    serialSilence(false);
    parsed();
}

void Receiver::serialSilence(bool restart) {
    const bool receiving = serial_.busy() || serial_.skip == Reception::Pass::ToPercent;
    const Exchange* x = st_.OpenExchange();
    const bool awaited = x && !x->socket && x->silence;
    if (!receiving && !awaited) st_.RecTimer.stop();
    else if (restart || !st_.RecTimer.isActive()) Station::Arm(st_.RecTimer);
}

void Receiver::passOver(Reception::Pass& skipping, QByteArray& data) {
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
void Receiver::startProgram(Reception& r, int protocol, QTcpSocket* from) {
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
    const Exchange* x = protocol == 2 ? (answer ? st_.exchanges_.answered("LOD", name, from) : nullptr)
                                      : st_.exchanges_.answered("L", name, from);
    QString path, comment;
    if (x) {
        path = x->target;
        comment = x->comment;
        r.answers = x->id;
        r.origin = x->library ? QStringLiteral("Hämtad från ") + st_.MachineName : QString();
    } else if (protocol == 1 && st_.exchanges_.lateCopy(name)) {
        // Read to its end and dropped there: it answers nothing open.
        r.answers = std::numeric_limits<quint64>::max();
        st_.AddLog(QStringLiteral("Sent svar: kopian av %1 kom efter sin tidsgräns och sparas inte.").arg(name));
    } else if (!answer) {
        path = st_.responder_.storePath(name);
        r.origin = QStringLiteral("Sparad av ") + st_.MachineName;
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
bool Receiver::programTooLarge(Reception& r, int protocol, QTcpSocket* from) {
    constexpr qint64 kMB = 1024 * 1024;
    constexpr qint64 kFreeFloor = 64 * kMB, kSpaceCheckEvery = 4 * kMB;
    if (!r.program || !r.program->writer()) return false;
    const qint64 size = r.program->size();
    QString why;
    if (st_.General.MaxProgramMB > 0 && size > st_.General.MaxProgramMB * kMB) {
        why = QStringLiteral("större än MaxProgramMB (%1 MB)").arg(st_.General.MaxProgramMB);
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
    st_.AddLog(QStringLiteral("Programmet %1 från maskinen sparades inte: %2 tecken, %3.").arg(name).arg(size).arg(why));
    r.clear();
    if (!complete) r.skip = Reception::Pass::ToPercent;
    if (answer) {
        if (st_.exchanges_.stillOpen(answers)) {
            st_.exchanges_.end(Exchange::State::Failed);
            st_.AbortExchange();
        }
    } else if (protocol == 2) {
        LinkState& link = from ? st_.NetLink : st_.SerialLink;
        const QScopedValueRollback<QTcpSocket*> on(parsingFrom_, from);
        st_.responder_.replyLater(BuildFrame("R", "SAV", "", ToAnsi(name), "09"), link, 0);
    }
    st_.Status(QStringLiteral("Programmet %1 sparades inte: %2.").arg(EscapeControls(name), why));
    return true;
}

bool Receiver::accumulate(Reception& r, const QByteArray& data, int protocol, bool serial, QTcpSocket* from) {
    if (r.program) {
        r.program->append(data);
        if (serial) r.program->dropFinalDc4();
        if (programTooLarge(r, protocol, from)) return false;
        return r.program->endsWithPercent();
    }
    r.in += data;
    if (serial) {
        if (r.in.startsWith(kDC2)) r.in.remove(0, 1);
        if (r.in.endsWith(kDC4)) r.in.chop(1);
    }
    startProgram(r, protocol, from);
    if (programTooLarge(r, protocol, from)) return false;
    if (r.program) return r.program->endsWithPercent();
    if (inBufferTooLarge(r)) return false;
    const bool ends = r.in.size() >= 2 && r.in.endsWith('%');
    return ends && (!serial || r.in.startsWith('%'));
}

// The parser owns the message from here: the connection starts afresh, and
// an abort inside the parser cannot take it for one still under way.
void Receiver::handOver(Reception& r, LinkState& link, int protocol, QTcpSocket* from) {
    std::unique_ptr<IncomingProgram> program = std::move(r.program);
    QByteArray message = std::move(r.in);
    const quint64 answers = r.answers;
    const QString origin = r.origin;
    r.clear();
    // A store still on its worker is answered first: messages after it wait.
    if (!from && ((st_.sender_.sending() && repliesOnLine(message, protocol)) || serial_.storing)) {
        // Its reply would go out between two pieces of the message being written.
        deferred_.push_back({std::move(message), std::move(program), answers, origin});
        return;
    }
    parseMessage(std::move(message), std::move(program), answers, origin, link, protocol, from);
}

void Receiver::parseMessage(QByteArray message, std::unique_ptr<IncomingProgram> program, quint64 answers,
                           const QString& origin, LinkState& link, int protocol, QTcpSocket* from) {
    const QScopedValueRollback<IncomingProgram*> parsing(parsingProgram_, program.get());
    const QScopedValueRollback<std::unique_ptr<IncomingProgram>*> held(parsingHeld_, &program);
    parseDeferred_ = false;
    const QScopedValueRollback<quint64> answering(parsingAnswers_, answers);
    const QScopedValueRollback<QString> kept(parsingOrigin_, origin);
    const QScopedValueRollback<QTcpSocket*> on(parsingFrom_, from);
    if (program) Q_EMIT st_.trafficRow(true, message, program->size(), program->receivedChecksum(), program->computedChecksum(), from);
    else Q_EMIT st_.trafficRow(true, message, message.size(), {}, {}, from);
    if (protocol == 1) st_.ParseP1(std::move(message), link);
    else st_.Parse(std::move(message), link);
}

void Receiver::parsed() {
    if (!std::exchange(parseDeferred_, false)) Q_EMIT st_.messageParsed();
}

bool Receiver::inBufferTooLarge(Reception& r) {
    if (r.in.size() <= st_.General.MaxMessage) return false;
    const qint64 size = r.in.size();
    const bool unfinished = r.in.indexOf('%', 1) < 0;
    st_.AddLog(QStringLiteral("Meddelandet från maskinen är för stort (%1 tecken, gräns %2). Mottagningen avbruten.")
                   .arg(size)
                   .arg(st_.General.MaxMessage));
    r.clear();
    st_.cmdAbort_Click();
    st_.Status(QStringLiteral("Meddelandet från maskinen är för stort. Mottagningen avbruten."));
    // Its remainder is no message of its own: nothing in it gets an answer.
    r.skip = unfinished ? Reception::Pass::ToPercent : Reception::Pass::No;
    return true;
}


// Before a request: bytes that start no message go, all of them. A message
// that started stays: it is the machine's own request, or a late answer
// that will be dropped whole once it is complete.
void Receiver::clearInput(QTcpSocket* socket) {
    Reception* r = of(socket);
    if (!r || r->program || r->in.startsWith('%')) return;
    r->abort();
}

bool Receiver::abort(bool keepMachineStore) {
    const bool machineStoring = keepMachineStore && serial_.answers == 0 && serial_.program;
    if (!machineStoring) serial_.abort();
    pc_.abort();
    return machineStoring;
}

void Receiver::newLine() {
    serial_.clear();
    deferred_.clear();
}

bool Receiver::idle() const {
    return !serial_.busy() && !pc_.busy() && deferred_.empty() && diskWork_ == 0;
}
