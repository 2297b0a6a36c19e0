// Plain ISO tape (Typ 3): the paced send and the drip-feed as coroutines,
// the receiver that always listens for a punched program, and the answers
// to the machine's remote requests.
#include "common/apperror.h"
#include "common/ansi.h"
#include "common/errorreport.h"
#include "common/log.h"
#include "config/machines.h"
#include "library/history.h"
#include "library/programfile.h"
#include "link/arrows.h"
#include "link/isotape.h"
#include "link/programname.h"
#include "link/station.h"

#include <QCoro/QCoroTimer>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QStorageInfo>
#include <chrono>
#include <coroutine>
#include <deque>

namespace {
constexpr qsizetype kChunk = 64 * 1024;
constexpr qint64 kMB = 1024 * 1024;
constexpr qint64 kFreeFloor = 64 * kMB;
const QString kPartSuffix = QStringLiteral(".ofullständig");
}  // namespace

// What goes out on the tape, produced a piece at a time: the leader, "%",
// the blocks in the machine's block ends, "%" and the trailer. It remembers
// where recent blocks end on the line, so that a stop can say which block
// went out last and which the machine surely has.
class TapeSource {
public:
    struct Block {
        qint64 end = 0;    // bytes of the output up to its block end
        qint64 line = 0;   // 1-based line of the program text
        QByteArray text;   // its first characters, for the log
    };

    TapeSource(QByteArray framed) : pending_(std::move(framed)), done_(true) {}
    TapeSource(const QString& path, const MachineSettings& m, iso::Restart restart)
        : end_(iso::BlockEnd(m.EOB)), restart_(restart), trailer_(m.Slut) {
        if (!reader_.open(path)) throw AppError(53, QStringLiteral("Filen hittades inte"));
        total_ = qMax<qint64>(0, reader_.fileSize());
        pending_ = QByteArray(m.Ledare, '\0') + '%' + end_;
    }

    // The next piece; empty at the end. Raises AppError on a read error.
    QByteArray next() {
        while (pending_.size() < kChunk && !done_) fill();
        QByteArray out;
        out.swap(pending_);
        produced_ += out.size();
        return out;
    }
    qint64 total() const { return total_; }
    qint64 read() const { return read_; }
    // Blocks whose end is at or before offset: the last one, and how many.
    const Block* lastBefore(qint64 offset) const {
        const Block* found = nullptr;
        for (const Block& b : blocks_) {
            if (b.end > offset) break;
            found = &b;
        }
        return found;
    }
    qint64 linesBefore(qint64 offset) const {
        qint64 n = linesDropped_;
        for (const Block& b : blocks_) {
            if (b.end > offset) break;
            ++n;
        }
        return n;
    }
    // Blocks that surely went out are no longer needed but the last.
    void forget(qint64 offset) {
        while (blocks_.size() > 1 && blocks_[1].end <= offset) {
            blocks_.pop_front();
            ++linesDropped_;
        }
    }

private:
    void fill() {
        char buf[kChunk];
        const qsizetype n = reader_.read(buf, kChunk);
        if (n <= 0) {
            if (!partial_.isEmpty()) block(partial_), partial_.clear();
            pending_ += '%' + end_ + QByteArray(trailer_, '\0');
            done_ = true;
            return;
        }
        read_ += n;
        QByteArrayView data(buf, n);
        qsizetype from = 0;
        for (qsizetype lf = data.indexOf('\n'); lf >= 0; lf = data.indexOf('\n', from)) {
            partial_.append(data.sliced(from, lf - from));
            block(partial_);
            partial_.clear();
            from = lf + 1;
        }
        partial_.append(data.sliced(from));
        if (partial_.size() > iso::kMaxBlock) throw AppError(6, QStringLiteral("En rad är längre än 64 kB"));
    }
    void block(const QByteArray& text) {
        const qint64 index = line_++;
        // A restart sends the set-up, passes over up to its block, then the rest.
        if (restart_.resumeLine >= 0 && index >= restart_.setupLines && index < restart_.resumeLine) return;
        pending_ += iso::ToBlocks(text, {});
        pending_ += end_;
        blocks_.push_back({produced_ + pending_.size(), index + 1, text.left(40).trimmed()});
    }

    ProgramTextReader reader_;
    QByteArray end_;
    iso::Restart restart_;
    int trailer_ = 0;
    QByteArray pending_, partial_;
    bool done_ = false;
    qint64 total_ = 0, read_ = 0, produced_ = 0, line_ = 0, linesDropped_ = 0;
    std::deque<Block> blocks_;
};

struct Station::Iso {
    iso::TapeReader reader;
    bool held = false;     // the machine sent DC3 and no DC1 since
    bool sawXon = false;
    bool stray = false;    // the machine said something while a send ran
    bool feeding = false;
    QElapsedTimer strayLogged;
    qint64 strayBytes = 0;
    QTimer tick;           // looks at the port's queue while a send writes
    QTimer silence;        // a punch that stops without its closing "%"
    QTimer deadline;       // how long a send may wait for the machine
    // The punch under way.
    bool punching = false;
    QByteArray head;       // its first bytes, until it has a name
    QString name;
    QString damage;        // why it cannot replace a library program
    QFile part;
    qint64 size = 0;
    qint64 nextSpaceCheck = 0;
    bool leading = true;   // the line end right after "%" is not program text
    bool passOver = false; // too large, or the disk too full: the rest is dropped
    QByteArray first;      // for the traffic row

    // The punch goes to NAME.ofullständig until its closing "%" has come.
    bool openPart(const QString& folder) {
        if (name.isEmpty()) name = iso::ProgramNumber(head);
        if (name.isEmpty()) name = QStringLiteral("ISO-") + NowStamp();
        part.setFileName(QDir(folder).filePath(name + kPartSuffix));
        if (part.open(QIODevice::WriteOnly | QIODevice::Truncate)) return true;
        if (damage.isEmpty()) damage = QStringLiteral("filen %1 kunde inte skrivas").arg(QDir::toNativeSeparators(part.fileName()));
        return false;
    }
};

void Station::IsoDelete::operator()(Iso* iso) const { delete iso; }

Station::Iso& Station::iso() {
    if (!iso_) {
        iso_.reset(new Iso);
        iso_->tick.setTimerType(Qt::PreciseTimer);
        connect(&iso_->tick, &QTimer::timeout, this, &Station::isoWake);
        iso_->deadline.setSingleShot(true);
        connect(&iso_->deadline, &QTimer::timeout, this, &Station::isoWake);
        iso_->silence.setSingleShot(true);
        connect(&iso_->silence, &QTimer::timeout, this, [this] {
            IsoPunchEnd(QStringLiteral("inget avslutande %: linjen var tyst i %1 ms").arg(RecTimer.interval()));
        });
    }
    return *iso_;
}

bool Station::IsoEvent(int event) {
    Iso& s = iso();
    switch (event) {
    case SerialPort::EvReceive: {
        const QByteArray data = Comm->readAll();
        if (LogTraffic) AddHexLog(data, QStringLiteral("dump.log"), 2);
        IsoReceive(data);
        return true;
    }
    case SerialPort::EvSend:
        Q_EMIT isoWake();
        return true;
    case SerialPort::EvCTS:
    case SerialPort::EvDSR:
        Q_EMIT isoWake();
        return false;  // the panels still show the lines
    case SerialPort::EventRxParity:
    case SerialPort::EventFrame: {
        const QString what = event == SerialPort::EventRxParity ? QStringLiteral("paritetsfel") : QStringLiteral("ramfel");
        if (s.punching) {
            if (s.damage.isEmpty()) s.damage = what;
        } else if (s.feeding) {
            AddLog(QStringLiteral("Fel på linjen under sändningen: %1.").arg(what));
            Status(QStringLiteral("Fel på linjen under sändningen (%1).").arg(what));
        } else {
            AddLog(QStringLiteral("Fel på linjen: %1.").arg(what));
        }
        return true;
    }
    default:
        return false;
    }
}

// The receiver: flow codes for a send under way, punched programs to the
// receive folder. Nothing the machine sends waits for a person.
void Station::IsoReceive(const QByteArray& data) {
    Iso& s = iso();
    iso::TapeReader::Events on;
    on.flow = [&](bool xon) {
        s.held = !xon;
        if (xon) s.sawXon = true;
        panel_.setPanel(3, xon ? QString() : QStringLiteral("XOFF"));
        Q_EMIT isoWake();
    };
    on.stray = [&](QByteArrayView bytes) {
        // A line full of noise gets a log line every ten seconds, not one a read.
        s.strayBytes += bytes.size();
        if (!s.strayLogged.isValid() || s.strayLogged.elapsed() >= 10000) {
            AddLog(QStringLiteral("Maskinen sände %1 tecken utanför ett program, t.ex. %2")
                       .arg(s.strayBytes)
                       .arg(EscapeControls(FromAnsi(bytes.first(qMin<qsizetype>(40, bytes.size())).toByteArray()))));
            s.strayLogged.start();
            s.strayBytes = 0;
        }
        if (s.feeding) {
            s.stray = true;
            Q_EMIT isoWake();
        }
    };
    on.start = [&] {
        s.punching = true;
        s.head.clear();
        s.name.clear();
        s.damage.clear();
        s.size = 0;
        s.nextSpaceCheck = 0;
        s.leading = true;
        s.passOver = false;
        s.first.clear();
        if (s.feeding) {
            s.stray = true;
            Q_EMIT isoWake();
        }
        ShowPilar(QStringLiteral("Tar emot program från maskin..."), RecArrows());
        Status(QStringLiteral("Tar emot från maskin..."));
    };
    on.text = [&](QByteArrayView text) {
        if (s.leading) {
            while (!text.isEmpty() && (text.front() == '\r' || text.front() == '\n')) text = text.sliced(1);
            if (text.isEmpty()) return;
            s.leading = false;
        }
        s.size += text.size();
        if (s.first.size() < 64) s.first += text.first(qMin<qsizetype>(64 - s.first.size(), text.size()));
        panel_.setPanel(2, QString::number(s.size) + QStringLiteral(" tecken"));
        if (s.passOver) return;
        if (General.MaxProgramMB > 0 && s.size > General.MaxProgramMB * kMB) {
            s.damage = QStringLiteral("större än MaxProgramMB (%1 MB)").arg(General.MaxProgramMB);
            s.passOver = true;
            return;
        }
        if (s.size >= s.nextSpaceCheck) {
            s.nextSpaceCheck = s.size + 4 * kMB;
            const QStorageInfo disk(Machine.RecPath);
            if (disk.isValid() && disk.bytesAvailable() < kFreeFloor) {
                s.damage = QStringLiteral("mindre än 64 MB skulle bli kvar på disken");
                s.passOver = true;
                return;
            }
        }
        if (!s.part.isOpen()) {
            s.head.append(text);
            if (s.head.size() <= iso::kRequestMax) return;
            s.openPart(Machine.RecPath);
            text = s.head;
        }
        if (s.part.isOpen() && s.part.write(text.data(), text.size()) != text.size() && s.damage.isEmpty())
            s.damage = QStringLiteral("filen kunde inte skrivas");
        s.head.clear();
    };
    on.end = [&] { IsoPunchEnd(QString()); };

    s.reader.feed(data, on);
    if (s.punching) {
        const int ms = RecTimer.interval();
        if (ms > 0) s.silence.start(ms);
    }
}

// A punch ended: complete (cut empty) or cut off. Only a complete, undamaged
// program replaces a library program, after its version is kept.
void Station::IsoPunchEnd(const QString& cut) {
    Iso& s = iso();
    if (!s.punching) return;
    s.silence.stop();
    s.punching = false;
    if (s.reader.damaged() > 0 && s.damage.isEmpty()) s.damage = QStringLiteral("tecken som inte är text");
    if (!cut.isEmpty()) s.reader.reset();
    HidePilar();
    const QString why = !cut.isEmpty() ? cut : s.damage;
    if (!s.part.isOpen() && why.isEmpty()) {
        // Short: a request, or a small program.
        const iso::Request request = iso::ParseRequest(s.head, Machine.Begaran, Machine.Lista);
        if (request.kind != iso::Request::Kind::None) {
            Q_EMIT trafficRow(true, s.first, s.size, {}, {}, nullptr);
            const QByteArray head = std::exchange(s.head, {});
            IsoAnswer(head);
            return;
        }
    }
    if (!s.part.isOpen() && !s.passOver && s.openPart(Machine.RecPath) && s.part.write(s.head) != s.head.size() &&
        s.damage.isEmpty())
        s.damage = QStringLiteral("filen kunde inte skrivas");
    s.head.clear();
    s.part.close();
    const QString name = s.name.isEmpty() ? QStringLiteral("ISO-") + NowStamp() : s.name;
    const QString partPath = s.part.fileName();
    Q_EMIT trafficRow(true, s.first, s.size, {}, {}, nullptr);
    if (!why.isEmpty() || !s.damage.isEmpty()) {
        QString text;
        if (s.passOver) {
            // Nothing of a refused program stays to fill the disk.
            if (!partPath.isEmpty()) QFile::remove(partPath);
            text = QStringLiteral("Programmet %1 från maskinen sparades inte: %2 tecken, %3.").arg(name).arg(s.size).arg(why);
        } else {
            text = QStringLiteral("Programmet %1 från maskinen är ofullständigt (%2); sparat som %3, biblioteket är orört.")
                       .arg(name, why.isEmpty() ? s.damage : why, QFileInfo(partPath).fileName());
        }
        AddLog(text);
        Status(text);
        Q_EMIT transferEnded(true, name, s.size, false);
        return;
    }
    const QString problem = MachineNameProblem(name);
    FileResult r;
    ProgramFileWriter writer;
    if (!problem.isEmpty()) r = FileResult{false, 52, problem};
    else r = writer.open(ProgramPath(Machine.RecPath, name, Machine.Extension), QString());
    if (r.ok) {
        QFile in(partPath);
        if (!in.open(QIODevice::ReadOnly)) r = FileResult{false, 75, in.errorString()};
        char buf[kChunk];
        for (qint64 n; r.ok && (n = in.read(buf, kChunk)) > 0;) writer.write(buf, n);
        if (r.ok) r = writer.finish();
    }
    std::optional<QLockFile> lock;
    if (r.ok && !LockProgram(lock.emplace(ProgramLockPath(writer.target())), 10000))
        r = FileResult{false, 75, QStringLiteral("programmet ersätts av en annan process just nu")};
    if (r.ok) r = KeepVersion(writer, QStringLiteral("Stansad av ") + MachineName);
    if (r.ok) r = writer.commit();
    if (!r.ok) {
        const QString text = QStringLiteral("Programmet %1 från maskinen sparades inte (%2); det finns kvar som %3.")
                                 .arg(name, r.message(), QFileInfo(partPath).fileName());
        AddLog(text);
        Status(text);
        Q_EMIT transferEnded(true, name, s.size, false);
        return;
    }
    QFile::remove(partPath);
    AddLog(QStringLiteral("Programmet %1 mottaget från maskinen (%2 tecken).").arg(name).arg(s.size));
    Status(QStringLiteral("Mottagning klar (%1, %2 tecken).").arg(name).arg(s.size));
    Q_EMIT transferEnded(true, name, s.size, true);
    Q_EMIT messageParsed();
}

// A remote request: the program from the send folder, the list, or a
// program whose comment says what is missing (tape has no status codes).
void Station::IsoAnswer(const QByteArray& head) {
    const iso::Request request = iso::ParseRequest(head, Machine.Begaran, Machine.Lista);
    if (request.kind == iso::Request::Kind::List) {
        QStringList names = ListFileNames(Machine.SendPath, Machine.Extension.isEmpty() ? QStringLiteral("*.")
                                                                                      : QStringLiteral("*.") + Machine.Extension)
                                .split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
        Q_EMIT requestArrived(QStringLiteral("LISTA"), QString());
        AddLog(QStringLiteral("Maskinen begärde listan över sändmappen (%1 program).").arg(names.size()));
        IsoRun(std::make_shared<TapeSource>(iso::ListAnswer(names, Machine.EOB)), QStringLiteral("LISTA"), false);
        return;
    }
    const QString name = request.name;
    Q_EMIT requestArrived(QStringLiteral("SÄND"), name);
    const QString path = name.isEmpty() ? QString() : ProgramPath(Machine.SendPath, name, Machine.Extension);
    if (path.isEmpty() || !QFileInfo(path).isFile()) {
        AddLog(QStringLiteral("Maskinen begärde %1, som saknas i sändmappen; svaret säger det i en kommentar.")
                   .arg(name.isEmpty() ? QStringLiteral("ett program utan nummer") : name));
        IsoRun(std::make_shared<TapeSource>(iso::MissingAnswer(name.isEmpty() ? QStringLiteral("UTAN NUMMER") : name,
                                                               Machine.EOB)),
               name, false);
        return;
    }
    AddLog(QStringLiteral("Maskinen begärde %1.").arg(name));
    IsoSend(path, name);
}

QCoro::Task<bool> Station::IsoSend(QString path, QString name) {
    std::shared_ptr<TapeSource> source;
    try {
        source = std::make_shared<TapeSource>(path, Machine, iso::Restart{});
    } catch (const AppError& e) {
        Status(QStringLiteral("Filen %1 kunde inte läsas: %2.").arg(QDir::toNativeSeparators(path), e.description()));
        co_return false;
    }
    co_return co_await IsoRun(std::move(source), std::move(name), false);
}

bool Station::IsoCannotAsk() {
    Status(QStringLiteral("Maskinen har ingen fillista att fråga efter: stansa programmet från maskinen (Fenmo32 lyssnar alltid)."));
    return true;
}

QCoro::Task<bool> Station::DripFeed(QString path, QString from) {
    const QString name = QFileInfo(path).completeBaseName();
    iso::Restart restart;
    try {
        if (!from.trimmed().isEmpty()) {
            iso::RestartFinder finder(from);
            if (!finder.valid()) {
                Status(QStringLiteral("Ogiltig startpunkt \"%1\": ange ett N-nummer eller ett radnummer.").arg(from));
                co_return false;
            }
            // Looked up first in a pass of its own, so that nothing goes out
            // for a block that is not there.
            ProgramTextReader scan;
            if (!scan.open(path)) throw AppError(53, QStringLiteral("Filen hittades inte"));
            QByteArray partial;
            char buf[kChunk];
            bool found = false;
            qint64 sinceYield = 0;
            for (qsizetype n; !found && (n = scan.read(buf, kChunk)) > 0;) {
                QByteArrayView data(buf, n);
                qsizetype start = 0;
                for (qsizetype lf = data.indexOf('\n'); lf >= 0 && !found; lf = data.indexOf('\n', start)) {
                    partial.append(data.sliced(start, lf - start));
                    found = finder.line(partial);
                    partial.clear();
                    start = lf + 1;
                }
                if (!found) partial.append(data.sliced(start));
                // A long scan lets the other machines' events through.
                if ((sinceYield += n) >= 8 * kMB) {
                    sinceYield = 0;
                    co_await QCoro::sleepFor(std::chrono::milliseconds(0));
                }
            }
            if (!found && !partial.isEmpty()) finder.line(partial);
            restart = finder.result();
            if (restart.resumeLine < 0) {
                Status(QStringLiteral("Startpunkten %1 finns inte i %2.").arg(from, name));
                co_return false;
            }
            AddLog(QStringLiteral("Droppmatning av %1 från rad %2: först rad 1-%3 (uppstarten), sedan resten.")
                       .arg(name)
                       .arg(restart.resumeLine + 1)
                       .arg(restart.setupLines));
        }
        auto source = std::make_shared<TapeSource>(path, Machine, restart);
        co_return co_await IsoRun(std::move(source), name, true);
    } catch (const AppError& e) {
        Status(QStringLiteral("Filen %1 kunde inte läsas: %2.").arg(QDir::toNativeSeparators(path), e.description()));
        co_return false;
    }
}

namespace {
// Resumes a send at the station's next isoWake, from the event loop rather
// than inside the signal, so that nothing the wait made is destroyed while
// it is still being called.
struct WakeUp {
    Station* station;
    QMetaObject::Connection connection;
    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> handle) {
        connection = QObject::connect(station, &Station::isoWake, station, [this, handle] {
            QObject::disconnect(connection);
            QMetaObject::invokeMethod(station, [handle] { handle.resume(); }, Qt::QueuedConnection);
        });
    }
    void await_resume() noexcept {}
};

QString Duration(qint64 seconds) {
    if (seconds >= 3600) return QStringLiteral("%1 h %2 min").arg(seconds / 3600).arg(seconds % 3600 / 60);
    if (seconds >= 60) return QStringLiteral("%1 min %2 s").arg(seconds / 60).arg(seconds % 60);
    return QStringLiteral("%1 s").arg(seconds);
}
}  // namespace

// The one engine of a send, an answer and a drip-feed: it writes while the
// machine lets it (DC1/DC3, CTS, or neither) and never more than the FIFO
// ahead of the line, so that after a DC3 no more than that goes out.
QCoro::Task<bool> Station::IsoRun(std::shared_ptr<TapeSource> source, QString name, bool drip) {
    Iso& s = iso();
    if (!Comm || !Comm->isOpen()) {
        Status(QStringLiteral("Fel: Porten inte öppen."));
        co_return false;
    }
    if (s.feeding) {
        AddLog(QStringLiteral("%1 sändes inte: en sändning till maskinen pågår redan.").arg(name));
        Status(QStringLiteral("En sändning till maskinen pågår redan."));
        co_return false;
    }
    const iso::Flow flow = iso::FlowFromText(Machine.Handskakning);
    Comm->setHardwareFlowControl(flow == iso::Flow::Cts);
    const qint64 window = flow == iso::Flow::Xon ? iso::kFifo : 256;
    SerialSettings line;
    ParseSerialSettings(Machine.BaudRate + Machine.Settings, line);
    const double cps = qMax(30.0, CharactersPerSecond(line));
    const int tickMs = int(qBound(1.0, window * 1000.0 / cps / 2, 100.0));
    const quint64 generation = aborts_;
    s.feeding = true;
    isoBusy_ = true;
    s.stray = false;
    Aborted = false;
    IsoStopText.clear();
    ShowPilar(drip ? QStringLiteral("Droppmatar %1...").arg(name) : QStringLiteral("Sänder %1...").arg(name), SendArrows());
    Status(drip ? QStringLiteral("Droppmatning av %1 startar.").arg(name) : QStringLiteral("Sänder..."));

    QString failure;  // empty while all goes well
    QByteArray piece, head;
    qsizetype at = 0;
    qint64 written = 0;
    QElapsedTimer clock, shown, heldFor;
    clock.start();
    shown.start();
    qint64 rateFrom = 0, rateBytes = 0;
    double rate = 0;
    // Only a DSR that drops counts: a three-wire line never has one.
    bool cts = true, dsrAtStart = false;
    const bool modemLines = Comm->modemStatus(&cts, &dsrAtStart);
    auto stopped = [&]() -> QString {
        if (aborts_ != generation) return QStringLiteral("avbruten");
        if (!Comm || !Comm->isOpen()) return QStringLiteral("linjen försvann");
        bool dsr = true;
        if (modemLines && dsrAtStart && Comm->modemStatus(&cts, &dsr) && !dsr) return QStringLiteral("linjen försvann (DSR)");
        if (drip && s.stray) return QStringLiteral("maskinen sände annat än DC1/DC3 (återställd?)");
        return {};
    };
    auto held = [&] {
        if (flow == iso::Flow::Xon) return s.held;
        if (flow == iso::Flow::Cts) return !CtsStatus();
        return false;
    };
    // Waits for the machine's DC3 to end: forever in a drip-feed (a long
    // DC3 is a slow cut), CtsTimeout in a send.
    auto holdTimedOut = [&]() -> bool {
        if (drip || General.CtsTimeout <= 0) return false;
        return heldFor.isValid() && heldFor.elapsed() >= General.CtsTimeout;
    };
    // Waits for the next wake, at most ms (-1: no limit).
    const auto wait = [&](int ms) {
        if (ms >= 0) s.deadline.start(ms);
        else s.deadline.stop();
        return WakeUp{this, {}};
    };

    if (Machine.VantaDC1 && flow == iso::Flow::Xon) {
        s.sawXon = false;
        Status(QStringLiteral("Väntar på DC1 från maskinen (starta inläsningen där)."));
        heldFor.start();
        while (!s.sawXon && (failure = stopped()).isEmpty()) {
            if (holdTimedOut()) {
                failure = QStringLiteral("ingen DC1 från maskinen inom CtsTimeout");
                break;
            }
            co_await wait(drip ? -1 : int(qMax<qint64>(1, General.CtsTimeout - heldFor.elapsed())));
        }
        heldFor.invalidate();
    }
    s.tick.start(tickMs);
    bool ended = false;
    while (failure.isEmpty()) {
        if (!(failure = stopped()).isEmpty()) break;
        if (at >= piece.size() && !ended) {
            // Blocks that surely left are forgotten a piece at a time, and a
            // line that never holds still lets the other machines' events in.
            source->forget(written - Comm->outBufferCount() - iso::kFifo);
            if (written > 0) {
                s.deadline.start(0);
                co_await WakeUp{this, {}};
                if (!(failure = stopped()).isEmpty()) break;
            }
            try {
                piece = source->next();
            } catch (const AppError& e) {
                failure = QStringLiteral("filen kunde inte läsas: %1").arg(e.description());
                break;
            }
            at = 0;
            if (head.isEmpty() && !piece.isEmpty()) {
                // The traffic row goes when the message starts, as for the other links.
                head = piece.left(64);
                Q_EMIT trafficRow(false, head, qMax<qint64>(source->total(), piece.size()), {}, {}, nullptr);
            }
            ended = piece.isEmpty();
        }
        const qint64 queued = Comm->outBufferCount();
        if (ended && queued == 0) break;
        if (held()) {
            if (!heldFor.isValid()) {
                heldFor.start();
                s.tick.stop();
                if (!drip) Status(QStringLiteral("Maskinen har stoppat sändningen (%1).").arg(flow == iso::Flow::Cts ? QStringLiteral("CTS") : QStringLiteral("XOFF")));
            }
            if (holdTimedOut()) {
                failure = flow == iso::Flow::Cts ? QStringLiteral("CTS timeout") : QStringLiteral("XOFF längre än CtsTimeout");
                break;
            }
            co_await wait(drip || General.CtsTimeout <= 0 ? -1 : int(qMax<qint64>(1, General.CtsTimeout - heldFor.elapsed())));
            continue;
        }
        if (heldFor.isValid()) {
            heldFor.invalidate();
            s.tick.start(tickMs);
            rateFrom = 0;  // the pause is no part of the rate
        }
        // A DC3 already at the port counts before anything more is written.
        if (const QByteArray in = Comm->readAll(); !in.isEmpty()) {
            IsoReceive(in);
            continue;
        }
        const qint64 room = window - queued;
        if (room <= 0 || ended) {
            co_await wait(-1);
            continue;
        }
        const qsizetype n = qMin<qsizetype>(room, piece.size() - at);
        Comm->write(piece.mid(at, n));
        at += n;
        written += n;
        if (at >= piece.size()) piece.clear(), at = 0;
        if (shown.elapsed() >= 1000) {
            shown.restart();
            const qint64 onLine = written - Comm->outBufferCount();
            source->forget(onLine - iso::kFifo);
            panel_.setPanel(2, QString::number(written) + QStringLiteral(" tecken"));
            if (rateFrom == 0) {
                rateFrom = clock.elapsed();
                rateBytes = written;
            } else if (clock.elapsed() > rateFrom) {
                rate = (written - rateBytes) * 1000.0 / double(clock.elapsed() - rateFrom);
            }
            if (drip) {
                const qint64 total = qMax<qint64>(1, source->total());
                const int percent = int(qMin<qint64>(100, source->read() * 100 / total));
                QString text = QStringLiteral("Droppmatning %1: %2 rader, %3 %").arg(name).arg(source->linesBefore(onLine)).arg(percent);
                if (rate > 0)
                    text += QStringLiteral(", %1 tecken/s, %2 kvar")
                                .arg(qRound64(rate))
                                .arg(Duration(qRound64((total - source->read()) / rate)));
                Status(text);
            }
        }
    }
    s.tick.stop();
    s.deadline.stop();
    // Where it stopped: the last block handed to the line, and the last one
    // that had left the port and the FIFO, which the machine surely has.
    const qint64 queued = Comm && Comm->isOpen() ? Comm->outBufferCount() : 0;
    const TapeSource::Block* sent = source->lastBefore(written);
    const TapeSource::Block* taken = source->lastBefore(written - queued - iso::kFifo);
    auto describe = [](const TapeSource::Block* b) {
        return b ? QStringLiteral("rad %1 (%2)").arg(b->line).arg(FromAnsi(b->text)) : QStringLiteral("ingen");
    };
    const qint64 lines = source->linesBefore(written);
    s.feeding = false;
    isoBusy_ = false;
    HidePilar();
    Q_EMIT transferEnded(false, name, written, failure.isEmpty());
    if (failure.isEmpty()) {
        IsoStopText = drip ? QStringLiteral("%1 rader sända.").arg(lines) : QString();
        Status(drip ? QStringLiteral("Droppmatning klar (%1): %2 rader.").arg(name).arg(lines)
                    : QStringLiteral("Sändning klar (") + name + QStringLiteral(")."));
        AddLog(QStringLiteral("%1 sänt till maskinen (%2 tecken).").arg(name).arg(written));
        co_return true;
    }
    IsoStopText = QStringLiteral("Senast sända block: %1; maskinen har säkert fått till och med %2.")
                      .arg(describe(sent), describe(taken));
    const QString text = (drip ? QStringLiteral("Droppmatningen av %1 stoppad: %2. ") : QStringLiteral("Sändningen av %1 avbruten: %2. "))
                             .arg(name, failure) +
                         IsoStopText;
    AddLog(text);
    Status(text);
    co_return false;
}
