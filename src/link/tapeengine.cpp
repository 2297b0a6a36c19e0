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
#include "link/tapeengine.h"
#include "link/tapesource.h"

#include <QFileInfo>
#include <QStorageInfo>

namespace {
constexpr qsizetype kChunk = 64 * 1024;
constexpr qint64 kMB = 1024 * 1024;
constexpr qint64 kFreeFloor = 64 * kMB;
// A control punching never pauses this long inside a program; a "%" after
// such a pause opens a re-punch.
constexpr qint64 kRepunchPause = 1000;
}  // namespace

void Station::IsoDelete::operator()(Iso* iso) const { delete iso; }

Station::Iso& Station::iso() {
    if (!iso_) {
        iso_.reset(new Iso);
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
            // It may belong to the opening of a punch not yet read.
            s.lineError = what;
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
        if (s.feeding) s.noise += bytes.size();
        if (!s.strayLogged.isValid() || s.strayLogged.elapsed() >= 10000) {
            const QString sample = EscapeControls(FromAnsi(bytes.first(qMin<qsizetype>(40, bytes.size())).toByteArray()));
            AddLog(s.feeding ? QStringLiteral("Brus på linjen under sändningen: %1 tecken (%2 sedan start, Brustecken=%3), t.ex. %4")
                                   .arg(s.strayBytes)
                                   .arg(s.noise)
                                   .arg(Machine.Brustecken)
                                   .arg(sample)
                             : QStringLiteral("Maskinen sände %1 tecken utanför ett program, t.ex. %2").arg(s.strayBytes).arg(sample));
            s.strayLogged.start();
            s.strayBytes = 0;
        }
        if (s.feeding) Q_EMIT isoWake();
    };
    on.start = [&] {
        s.punching = true;
        s.echo = s.feeding;
        s.head.clear();
        s.name.clear();
        s.damage = std::exchange(s.lineError, {});
        s.size = 0;
        s.nextSpaceCheck = 0;
        s.leading = true;
        s.passOver = false;
        s.first.clear();
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
    on.cut = [&] { IsoPunchEnd(QStringLiteral("avbruten av en ny stansning")); };

    if (s.punching && s.lastData.isValid() && s.lastData.elapsed() >= kRepunchPause) s.reader.pause();
    s.lastData.start();
    s.reader.feed(data, on);
    if (!s.punching) s.lineError.clear();
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
    if (s.echo) {
        // What a machine echoes of the PC's own send is not its program.
        if (s.part.isOpen()) s.part.remove();
        s.head.clear();
        s.passOver = false;
        const QString text = QStringLiteral("%1 tecken från maskinen under sändningen sparades inte (eko av det som sändes).")
                                 .arg(s.size);
        AddLog(text);
        Status(text);
        return;
    }
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
        MachineJob(true, name, partPath, s.size, {}, false, MachineBy(nullptr));
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
            const QString path = QDir(Machine.RecPath).filePath(own + QLatin1Char('-') + NowStamp() + kPartSuffix);
            QFile out(path);
            if (!out.open(QIODevice::WriteOnly) || out.write(text) != text.size()) {
                const QString why = QStringLiteral("Programmet %1 från maskinen sparades inte (filen kunde inte skrivas); "
                                                   "stansningen finns kvar som %2.")
                                        .arg(own, QFileInfo(partPath).fileName());
                AddLog(why);
                Status(why);
                return;
            }
            names << own;
            paths << path;
        }
        AddLog(QStringLiteral("Stansningen från maskinen innehöll %1 program: %2.").arg(programs.size()).arg(names.join(QStringLiteral(", "))));
        QFile::remove(partPath);
        for (qsizetype i = 0; i < programs.size(); ++i)
            IsoStore(names[i], paths[i], programs[i].size());
        return;
    }
    IsoStore(name, partPath, s.size);
}

void Station::IsoStore(const QString& name, const QString& partPath, qint64 size) {
    const QString problem = MachineNameProblem(name);
    // The lock, the version and the commit on a worker: no other machine's
    // answer waits for this one's disk or for another process's lock.
    StoreWork work;
    work.path = ProgramPath(Machine.RecPath, name, Machine.Extension);
    work.origin = QStringLiteral("Stansad av ") + MachineName;
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
            AddLog(text);
            Status(text);
            Q_EMIT transferEnded(true, name, size, false);
            MachineJob(true, name, partPath, size, {}, false, MachineBy(nullptr));
            return;
        }
        QFile::remove(partPath);
        AddLog(QStringLiteral("Programmet %1 mottaget från maskinen (%2 tecken).").arg(name).arg(size));
        Status(QStringLiteral("Mottagning klar (%1, %2 tecken).").arg(name).arg(size));
        Q_EMIT transferEnded(true, name, size, true);
        MachineJob(true, name, ProgramPath(Machine.RecPath, name, Machine.Extension), result.bytes,
                   result.sha256, true, MachineBy(nullptr));
        Q_EMIT messageParsed();
    };
    if (!r.ok) {
        stored(StoreResult{r, {}, 0});
        return;
    }
    // Under way until its answer: the server's stop waits for it.
    ++diskWork_;
    WhenReady(this, StartStore(std::move(work)), [this, stored](const StoreResult& result) {
        --diskWork_;
        stored(result);
    });
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
    QCoro::connect(IsoSend(path, name), this, [this, path, name](bool ok) {
        const Iso& s = iso();
        MachineJob(false, name, path, s.sentBytes, s.sentSha, ok, MachineBy(nullptr));
    });
}


bool Station::IsoCannotAsk() {
    const QString text =
        QStringLiteral("Maskinen har ingen fillista att fråga efter: stansa programmet från maskinen (Fenmo32 lyssnar alltid).");
    Status(text);
    FailJob(text);
    return true;
}

