// Plain ISO tape (Typ 3): the receiver that always listens for a punched
// program, and the answers to the machine's remote requests.
#include "common/ansi.h"
#include "common/errorreport.h"
#include "common/log.h"
#include "library/history.h"
#include "library/programfile.h"
#include "link/arrows.h"
#include "link/machinestore.h"
#include "link/programname.h"
#include "station/station.h"
#include "station/tapeengine.h"
#include "link/tapesource.h"

#include <QDir>
#include <QFileInfo>
#include <QStorageInfo>

namespace {
constexpr qsizetype kChunk = 64 * 1024;
constexpr qint64 kMB = 1024 * 1024;
constexpr qint64 kFreeFloor = 64 * kMB;
// A control punching never pauses this long inside a program; a "%" after
// such a pause opens a re-punch.
constexpr qint64 kRepunchPause = 1000;
const QString kPartSuffix = QStringLiteral(".ofullständig");
}  // namespace

TapeEngine::TapeEngine(Station& station) : st_(station) {
    deadline_.setSingleShot(true);
    QObject::connect(&deadline_, &QTimer::timeout, &st_, &Station::isoWake);
    silence_.setSingleShot(true);
    QObject::connect(&silence_, &QTimer::timeout, &st_, [this] {
        punchEnd(QStringLiteral("inget avslutande %: linjen var tyst i %1 ms").arg(st_.RecTimer.interval()));
    });
}

bool TapeEngine::openPart(const QString& folder) {
    if (name_.isEmpty()) name_ = iso::ProgramNumber(head_);
    if (name_.isEmpty()) name_ = QStringLiteral("ISO-") + NowStamp();
    part_.setFileName(QDir(folder).filePath(name_ + kPartSuffix));
    // A cut punch kept aside is not overwritten by the re-punch.
    if (part_.exists()) part_.setFileName(QDir(folder).filePath(name_ + QLatin1Char('-') + NowStamp() + kPartSuffix));
    if (part_.open(QIODevice::WriteOnly | QIODevice::Truncate)) return true;
    if (damage_.isEmpty()) damage_ = QStringLiteral("filen %1 kunde inte skrivas").arg(QDir::toNativeSeparators(part_.fileName()));
    return false;
}

bool TapeEngine::event(int event) {
    switch (event) {
    case SerialPort::EvReceive: {
        const QByteArray data = st_.Comm->readAll();
        if (st_.LogTraffic) st_.AddHexLog(data, QStringLiteral("dump.log"), 2);
        receive(data);
        return true;
    }
    case SerialPort::EvSend:
        Q_EMIT st_.isoWake();
        return true;
    case SerialPort::EvCTS:
    case SerialPort::EvDSR:
        Q_EMIT st_.isoWake();
        return false;  // the panels still show the lines
    case SerialPort::EventRxParity:
    case SerialPort::EventFrame: {
        const QString what = event == SerialPort::EventRxParity ? QStringLiteral("paritetsfel") : QStringLiteral("ramfel");
        if (punching_) {
            if (damage_.isEmpty()) damage_ = what;
        } else if (feeding_) {
            st_.AddLog(QStringLiteral("Fel på linjen under sändningen: %1.").arg(what));
            st_.Status(QStringLiteral("Fel på linjen under sändningen (%1).").arg(what));
        } else {
            // It may belong to the opening of a punch not yet read.
            lineError_ = what;
            st_.AddLog(QStringLiteral("Fel på linjen: %1.").arg(what));
        }
        return true;
    }
    default:
        return false;
    }
}

// The receiver: flow codes for a send under way, punched programs to the
// receive folder. Nothing the machine sends waits for a person.
void TapeEngine::receive(const QByteArray& data) {
    iso::TapeReader::Events on;
    on.flow = [&](bool xon) {
        held_ = !xon;
        if (xon) sawXon_ = true;
        st_.panel().setPanel(3, xon ? QString() : QStringLiteral("XOFF"));
        Q_EMIT st_.isoWake();
    };
    on.stray = [&](QByteArrayView bytes) {
        // A line full of noise gets a log line every ten seconds, not one a read.
        strayBytes_ += bytes.size();
        if (feeding_) noise_ += bytes.size();
        if (!strayLogged_.isValid() || strayLogged_.elapsed() >= 10000) {
            const QString sample = EscapeControls(FromAnsi(bytes.first(qMin<qsizetype>(40, bytes.size())).toByteArray()));
            st_.AddLog(feeding_ ? QStringLiteral("Brus på linjen under sändningen: %1 tecken (%2 sedan start, Brustecken=%3), t.ex. %4")
                                      .arg(strayBytes_)
                                      .arg(noise_)
                                      .arg(st_.Machine.Brustecken)
                                      .arg(sample)
                                : QStringLiteral("Maskinen sände %1 tecken utanför ett program, t.ex. %2").arg(strayBytes_).arg(sample));
            strayLogged_.start();
            strayBytes_ = 0;
        }
        if (feeding_) Q_EMIT st_.isoWake();
    };
    on.start = [&] {
        punching_ = true;
        echo_ = feeding_;
        head_.clear();
        name_.clear();
        damage_ = std::exchange(lineError_, {});
        size_ = 0;
        nextSpaceCheck_ = 0;
        leading_ = true;
        passOver_ = false;
        first_.clear();
        st_.ShowPilar(QStringLiteral("Tar emot program från maskin..."), RecArrows());
        st_.Status(QStringLiteral("Tar emot från maskin..."));
    };
    on.text = [&](QByteArrayView text) {
        if (leading_) {
            while (!text.isEmpty() && (text.front() == '\r' || text.front() == '\n')) text = text.sliced(1);
            if (text.isEmpty()) return;
            leading_ = false;
        }
        size_ += text.size();
        if (first_.size() < 64) first_ += text.first(qMin<qsizetype>(64 - first_.size(), text.size()));
        st_.panel().setPanel(2, QString::number(size_) + QStringLiteral(" tecken"));
        if (passOver_) return;
        if (st_.General.MaxProgramMB > 0 && size_ > st_.General.MaxProgramMB * kMB) {
            damage_ = QStringLiteral("större än MaxProgramMB (%1 MB)").arg(st_.General.MaxProgramMB);
            passOver_ = true;
            return;
        }
        if (size_ >= nextSpaceCheck_) {
            nextSpaceCheck_ = size_ + 4 * kMB;
            const QStorageInfo disk(st_.Machine.RecPath);
            if (disk.isValid() && disk.bytesAvailable() < kFreeFloor) {
                damage_ = QStringLiteral("mindre än 64 MB skulle bli kvar på disken");
                passOver_ = true;
                return;
            }
        }
        if (!part_.isOpen()) {
            head_.append(text);
            if (head_.size() <= iso::kRequestMax) return;
            openPart(st_.Machine.RecPath);
            text = head_;
        }
        if (part_.isOpen() && part_.write(text.data(), text.size()) != text.size() && damage_.isEmpty())
            damage_ = QStringLiteral("filen kunde inte skrivas");
        head_.clear();
    };
    on.end = [&] { punchEnd(QString()); };
    on.cut = [&] { punchEnd(QStringLiteral("avbruten av en ny stansning")); };

    if (punching_ && lastData_.isValid() && lastData_.elapsed() >= kRepunchPause) reader_.pause();
    lastData_.start();
    reader_.feed(data, on);
    if (!punching_) lineError_.clear();
    if (punching_) {
        const int ms = st_.RecTimer.interval();
        if (ms > 0) silence_.start(ms);
    }
}

// A punch ended: complete (cut empty) or cut off. Only a complete, undamaged
// program replaces a library program, after its version is kept.
void TapeEngine::punchEnd(const QString& cut) {
    if (!punching_) return;
    silence_.stop();
    punching_ = false;
    if (reader_.damaged() > 0 && damage_.isEmpty()) damage_ = QStringLiteral("tecken som inte är text");
    if (!cut.isEmpty()) reader_.reset();
    st_.HidePilar();
    const QString why = !cut.isEmpty() ? cut : damage_;
    if (echo_) {
        // What a machine echoes of the PC's own send is not its program.
        if (part_.isOpen()) part_.remove();
        head_.clear();
        passOver_ = false;
        const QString text = QStringLiteral("%1 tecken från maskinen under sändningen sparades inte (eko av det som sändes).")
                                 .arg(size_);
        st_.AddLog(text);
        st_.Status(text);
        return;
    }
    if (!part_.isOpen() && why.isEmpty()) {
        // Short: a request, or a small program.
        const iso::Request request = iso::ParseRequest(head_, st_.Machine.Begaran, st_.Machine.Lista);
        if (request.kind != iso::Request::Kind::None) {
            Q_EMIT st_.trafficRow(true, first_, size_, {}, {}, nullptr);
            const QByteArray head = std::exchange(head_, {});
            answer(head);
            return;
        }
    }
    if (!part_.isOpen() && !passOver_ && openPart(st_.Machine.RecPath) && part_.write(head_) != head_.size() &&
        damage_.isEmpty())
        damage_ = QStringLiteral("filen kunde inte skrivas");
    head_.clear();
    part_.close();
    const QString name = name_.isEmpty() ? QStringLiteral("ISO-") + NowStamp() : name_;
    const QString partPath = part_.fileName();
    Q_EMIT st_.trafficRow(true, first_, size_, {}, {}, nullptr);
    if (!why.isEmpty() || !damage_.isEmpty()) {
        QString text;
        if (passOver_) {
            // Nothing of a refused program stays to fill the disk.
            if (!partPath.isEmpty()) QFile::remove(partPath);
            text = QStringLiteral("Programmet %1 från maskinen sparades inte: %2 tecken, %3.").arg(name).arg(size_).arg(why);
        } else {
            text = QStringLiteral("Programmet %1 från maskinen är ofullständigt (%2); sparat som %3, biblioteket är orört.")
                       .arg(name, why.isEmpty() ? damage_ : why, QFileInfo(partPath).fileName());
        }
        st_.AddLog(text);
        st_.Status(text);
        Q_EMIT st_.transferEnded(true, name, size_, false);
        st_.MachineJob(true, name, partPath, size_, {}, false, st_.MachineBy(nullptr));
        return;
    }
    // A "punch all" holds several programs: each is stored under its own number.
    QFile whole(partPath);
    const QList<QByteArray> programs = whole.open(QIODevice::ReadOnly) ? iso::SplitPrograms(whole.readAll()) : QList<QByteArray>();
    whole.close();
    if (programs.size() > 1) {
        QStringList names, paths;
        for (const QByteArray& text : programs) {
            const QString own = iso::ProgramNumber(text);
            const QString path = QDir(st_.Machine.RecPath).filePath(own + QLatin1Char('-') + NowStamp() + kPartSuffix);
            QFile out(path);
            if (!out.open(QIODevice::WriteOnly) || out.write(text) != text.size()) {
                const QString why = QStringLiteral("Programmet %1 från maskinen sparades inte (filen kunde inte skrivas); "
                                                   "stansningen finns kvar som %2.")
                                        .arg(own, QFileInfo(partPath).fileName());
                st_.AddLog(why);
                st_.Status(why);
                return;
            }
            names << own;
            paths << path;
        }
        st_.AddLog(QStringLiteral("Stansningen från maskinen innehöll %1 program: %2.").arg(programs.size()).arg(names.join(QStringLiteral(", "))));
        QFile::remove(partPath);
        for (qsizetype i = 0; i < programs.size(); ++i)
            store(names[i], paths[i], programs[i].size());
        return;
    }
    store(name, partPath, size_);
}

void TapeEngine::store(const QString& name, const QString& partPath, qint64 size) {
    const QString problem = MachineNameProblem(name);
    // The lock, the version and the commit on a worker: no other machine's
    // answer waits for this one's disk or for another process's lock.
    StoreWork work;
    work.path = ProgramPath(st_.Machine.RecPath, name, st_.Machine.Extension);
    work.origin = QStringLiteral("Stansad av ") + st_.MachineName;
    FileResult r{true, 0, QString()};
    if (!problem.isEmpty()) r = FileResult{false, 52, problem};
    if (r.ok) {
        QFile in(partPath);
        if (!in.open(QIODevice::ReadOnly)) r = FileResult{false, 75, in.errorString()};
        else work.text = in.readAll();
    }
    auto stored = [this, name, partPath, size](const StoreResult& result) {
        if (!result.stored()) {
            const QString text = QStringLiteral("Programmet %1 från maskinen sparades inte (%2); det finns kvar som %3.")
                                     .arg(name, result.file.message(), QFileInfo(partPath).fileName());
            st_.AddLog(text);
            st_.Status(text);
            Q_EMIT st_.transferEnded(true, name, size, false);
            st_.MachineJob(true, name, partPath, size, {}, false, st_.MachineBy(nullptr));
            return;
        }
        QFile::remove(partPath);
        st_.AddLog(QStringLiteral("Programmet %1 mottaget från maskinen (%2 tecken).").arg(name).arg(size));
        st_.Status(QStringLiteral("Mottagning klar (%1, %2 tecken).").arg(name).arg(size));
        Q_EMIT st_.transferEnded(true, name, size, true);
        st_.MachineJob(true, name, ProgramPath(st_.Machine.RecPath, name, st_.Machine.Extension), result.bytes,
                       result.sha256, true, st_.MachineBy(nullptr));
        Q_EMIT st_.messageParsed();
    };
    if (!r.ok) {
        stored(StoreResult{r, {}, 0});
        return;
    }
    // Under way until its answer: the server's stop waits for it.
    ++st_.rx_.diskWork_;
    WhenReady(&st_, StartStore(std::move(work)), [this, stored](const StoreResult& result) {
        --st_.rx_.diskWork_;
        stored(result);
    });
}

// A remote request: the program from the send folder, the list, or a
// program whose comment says what is missing (tape has no status codes).
void TapeEngine::answer(const QByteArray& head) {
    const iso::Request request = iso::ParseRequest(head, st_.Machine.Begaran, st_.Machine.Lista);
    if (request.kind == iso::Request::Kind::List) {
        const MachineSettings& m = st_.Machine;
        QStringList names = ListFileNames(m.SendPath, m.Extension.isEmpty() ? QStringLiteral("*.") : QStringLiteral("*.") + m.Extension)
                                .split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
        Q_EMIT st_.requestArrived(QStringLiteral("LISTA"), QString());
        st_.AddLog(QStringLiteral("Maskinen begärde listan över sändmappen (%1 program).").arg(names.size()));
        run(std::make_shared<TapeSource>(iso::ListAnswer(names, st_.Machine.EOB)), QStringLiteral("LISTA"), false);
        return;
    }
    const QString name = request.name;
    Q_EMIT st_.requestArrived(QStringLiteral("SÄND"), name);
    const QString path = name.isEmpty() ? QString() : ProgramPath(st_.Machine.SendPath, name, st_.Machine.Extension);
    if (path.isEmpty() || !QFileInfo(path).isFile()) {
        st_.AddLog(QStringLiteral("Maskinen begärde %1, som saknas i sändmappen; svaret säger det i en kommentar.")
                       .arg(name.isEmpty() ? QStringLiteral("ett program utan nummer") : name));
        run(std::make_shared<TapeSource>(iso::MissingAnswer(name.isEmpty() ? QStringLiteral("UTAN NUMMER") : name,
                                                            st_.Machine.EOB)),
            name, false);
        return;
    }
    st_.AddLog(QStringLiteral("Maskinen begärde %1.").arg(name));
    QCoro::connect(send(path, name), &st_, [this, path, name](bool ok) {
        st_.MachineJob(false, name, path, sentBytes_, sentSha_, ok, st_.MachineBy(nullptr));
    });
}


bool TapeEngine::cannotAsk() {
    const QString text =
        QStringLiteral("Maskinen har ingen fillista att fråga efter: stansa programmet från maskinen (Fenmo32 lyssnar alltid).");
    st_.Status(text);
    st_.FailJob(text);
    return true;
}

// The station's tape calls, for the code and the tests that name them.
bool Station::IsoEvent(int event) { return tape_->event(event); }
QCoro::Task<bool> Station::IsoSend(QString path, QString name) { return tape_->send(std::move(path), std::move(name)); }
QCoro::Task<bool> Station::DripFeed(QString path, QString from, bool atToolChange) { return tape_->drip(std::move(path), std::move(from), atToolChange); }
const QString& Station::isoStopText() const { return tape_->stopText(); }
const QString& Station::isoRestartText() const { return tape_->restartText(); }
