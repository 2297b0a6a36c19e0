#include "server/shopserver.h"
#include "common/dates.h"
#include "common/apperror.h"
#include "common/errorreport.h"
#include "common/home.h"
#include "common/log.h"
#include "common/savefile.h"
#include "jobs/journal.h"
#include "link/hostfilter.h"
#include "link/qtserialport.h"
#include "link/station.h"
#include "server/serverpanel.h"
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QHostInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>
#ifdef Q_OS_UNIX
#include <csignal>
#include <sys/stat.h>
#include <unistd.h>
#endif

struct ShopServer::Served {
    MachineEntry entry;
    std::unique_ptr<ServerPanel> panel;
    std::unique_ptr<Station> station;
    bool isSerial = false;
    QList<QHostAddress> ips;  // a network machine's addresses; none: not served from the port
    QString portError;        // why a serial port is not open
    bool reloadPending = false;  // busy at the last SIGHUP: read once its job has ended
    struct {
        QDateTime at;
        QString command, name;
    } request;
    struct {
        QDateTime at;
        bool in = false;
        QString name;
        qint64 size = 0;
        bool ok = false;
    } transfer;
    QDate day;
    int received = 0, sent = 0, failed = 0;

    // today: the local date of the transfer (the time zone is asked once).
    void count(bool in, bool ok, const QDate& today) {
        if (day != today) {
            day = today;
            received = sent = failed = 0;
        }
        if (!ok) ++failed;
        else if (in) ++received;
        else ++sent;
    }
};

QString ServerLockPath() { return InProgramFolder(QStringLiteral("fenmo32-server.lock")); }
QString ServerStatePath() { return InProgramFolder(QStringLiteral("fenmo32-server.json")); }

QString ServerSocketPath() {
    const QString own = InProgramFolder(QStringLiteral(".fenmo32-server.sock"));
    // sun_path holds 107 bytes and a NUL: a deep program folder gets a short
    // name of its own in this user's runtime folder (systemd's, or XDG's), or
    // else in a folder of this user's in /tmp that nobody else can enter.
    if (QFile::encodeName(own).size() < 104) return own;
    const QByteArray key = QCryptographicHash::hash(QFileInfo(ProgramFolder()).absoluteFilePath().toUtf8(),
                                                    QCryptographicHash::Sha256)
                               .toHex()
                               .left(16);
    QString folder = qEnvironmentVariable("RUNTIME_DIRECTORY").section(QLatin1Char(':'), 0, 0);
    if (folder.isEmpty()) folder = qEnvironmentVariable("XDG_RUNTIME_DIR");
#ifdef Q_OS_UNIX
    if (folder.isEmpty()) {
        folder = QStringLiteral("/tmp/fenmo32-%1").arg(::geteuid());
        const QByteArray f = QFile::encodeName(folder);
        ::mkdir(f.constData(), 0700);
        struct stat st{};
        // Someone else's folder (or a link) there would see the socket: none then.
        if (::lstat(f.constData(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() ||
            (st.st_mode & 077) != 0)
            return {};
    }
#endif
    return folder + QStringLiteral("/fenmo32-") + QString::fromLatin1(key) + QStringLiteral(".sock");
}

namespace {
#ifdef Q_OS_LINUX
// Field 22 of /proc/PID/stat: when the process started, in clock ticks
// since boot; with the pid it names one process for as long as the machine runs.
QByteArray ProcessStart(qint64 pid) {
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly)) return {};
    const QByteArray stat = f.readAll();
    const qsizetype close = stat.lastIndexOf(')');  // the name may hold blanks and parentheses
    if (close < 0) return {};
    const QList<QByteArray> fields = stat.mid(close + 2).split(' ');
    return fields.value(19);  // fields from the third on
}

// Its command line is a Fenmo32 serving, or cannot be read.
bool ServingCommandLine(qint64 pid) {
    QFile f(QStringLiteral("/proc/%1/cmdline").arg(pid));
    if (!f.open(QIODevice::ReadOnly)) return true;
    const QList<QByteArray> args = f.readAll().split('\0');
    if (args.isEmpty() || args.first().isEmpty()) return true;  // a zombie, or not ours to read
    const QByteArray program = args.first().mid(args.first().lastIndexOf('/') + 1);
    return program.startsWith("Fenmo32") && args.contains("serve");
}
#endif

// The state file as the server wrote it; empty when it cannot be read.
QJsonObject ReadState() {
    QFile file(ServerStatePath());
    if (!file.open(QIODevice::ReadOnly)) return {};
    return QJsonDocument::fromJson(file.readAll()).object();
}
}  // namespace

qint64 RunningServer() {
    QLockFile lock(ServerLockPath());
    qint64 pid = 0;
    QString host, app;
    if (!lock.getLockInfo(&pid, &host, &app) || pid <= 0) return 0;
#ifdef Q_OS_UNIX
    if (::kill(pid_t(pid), 0) != 0 && errno == ESRCH) return 0;
#endif
#ifdef Q_OS_LINUX
    // A pid is reused (pid_max may be 32768): the lock's process must still
    // be the server that wrote it.
    if (!ServingCommandLine(pid)) return 0;
    const QJsonObject state = ReadState();
    const QString start = state.value(QStringLiteral("processStart")).toString();
    if (qint64(state.value(QStringLiteral("pid")).toDouble()) == pid && !start.isEmpty() &&
        start != QString::fromLatin1(ProcessStart(pid)))
        return 0;
#endif
    return pid;
}

bool ServerServesAll() {
    return RunningServer() != 0 && ReadState().value(QStringLiteral("all")).toBool(true);
}

QString ServerSocketFor(const QString& machine) {
    if (RunningServer() == 0) return {};
    const QJsonObject state = ReadState();
    for (const QJsonValue& v : state.value(QStringLiteral("machines")).toArray()) {
        const QJsonObject m = v.toObject();
        if (m.value(QStringLiteral("name")).toString() == machine) return state.value(QStringLiteral("socket")).toString();
    }
    return {};
}

ShopServer::ShopServer(QObject* parent) : QObject(parent) {
    listener_.setRoute([this](const QHostAddress& peer) { return route(peer); });
    retry_.setInterval(10000);
    connect(&retry_, &QTimer::timeout, this, &ShopServer::openPorts);
    pendingReload_.setInterval(200);
    connect(&pendingReload_, &QTimer::timeout, this, &ShopServer::reloadPending);
    publish_.setSingleShot(true);
    publish_.setInterval(500);
    connect(&publish_, &QTimer::timeout, this, &ShopServer::publish);
    makePort_ = [] { return new QtSerialPort; };
}

ShopServer::~ShopServer() {
    listener_.close();
    served_.clear();
    if (lock_) QFile::remove(ServerStatePath());
}

Station* ShopServer::station(const QString& name) const {
    for (const auto& s : served_)
        if (s->entry.name == name) return s->station.get();
    return nullptr;
}

ServerPanel* ShopServer::panel(const QString& name) const {
    for (const auto& s : served_)
        if (s->entry.name == name) return s->panel.get();
    return nullptr;
}

Station* ShopServer::route(const QHostAddress& peer) const {
    // Exactly: Qt's tolerant comparison takes ::1 for 127.0.0.1.
    const QHostAddress plain = Unmapped(peer);
    for (const auto& s : served_)
        if (s->ips.contains(plain)) return s->station.get();
    return nullptr;
}

bool ShopServer::start(const GeneralSettings& general, const QStringList& names, QString* error) {
    lock_ = std::make_unique<QLockFile>(ServerLockPath());
    lock_->setStaleLockTime(0);
    if (!lock_->tryLock(0)) {
        *error = QStringLiteral("en server kör redan för programmappen (process %1).").arg(RunningServer());
        lock_.reset();
        return false;
    }
    // Jobs a killed server left running end before any new one starts.
    if (const int ended = Journal().recoverUnended()) AddLog(QStringLiteral("Journalen: %1 jobb som en stoppad server lämnade är avbrutna.").arg(ended));
    started_ = QDateTime::currentDateTime();
    general_ = general;
    // The jobs list survives a restart: the newest ended jobs from the journal.
    // Read from the end of the newest month: as far back as JobRows jobs, no further.
    const JournalRead past = Journal().query({{}, {}, general.JobRows, false});
    for (auto it = past.jobs.rbegin(); it != past.jobs.rend(); ++it)
        if (it->finished()) ended_.push_back(*it);
    if (past.skipped > 0) AddLog(QStringLiteral("Journalen: %1 skadade rader hoppades över.").arg(past.skipped));
    all_ = names.isEmpty();
    const QList<MachineEntry> list = MachineList();
    QList<MachineEntry> chosen;
    for (const QString& n : names) {
        const int slot = FindMachineSlot(list, n);
        if (slot < 1) {
            *error = QStringLiteral("okänd maskin \"%1\".").arg(n);
            return false;
        }
        chosen << MachineEntry{n, slot};
    }
    if (names.isEmpty()) chosen = list;
    if (chosen.isEmpty()) {
        *error = QStringLiteral("inga maskiner i Fenmo32.INI.");
        return false;
    }
    for (const MachineEntry& m : chosen) {
        auto s = std::make_unique<Served>();
        Served* raw = s.get();
        s->entry = m;
        const QString prefix = QLatin1Char('[') + m.name + QStringLiteral("] ");
        s->panel = std::make_unique<ServerPanel>([prefix](const QString& text) { AddLog(prefix + text); });
        MachineSettings probe;
        try {
            LoadMachineSettings(probe, m.slot);
        } catch (const AppError&) {
            // Told below, when the station reads them.
        }
        s->isSerial = probe.Typ >= 1 && probe.Typ <= 3;
        s->station = std::make_unique<Station>(*s->panel, s->isSerial ? makePort_() : nullptr);
        s->station->SetJournalJobs(true);
        Station& st = *s->station;
        st.SetLogPrefix(prefix);
        st.ApplyGeneralSettings(general);
        if (s->isSerial) {
            // A hang-up is told at once, and the state file shows it at once.
            connect(st.port(), &SerialPort::commEvent, this, [this, raw](int code) { portEvent(*raw, code); });
            const QString invalid = InvalidSetting(m.slot, true);
            if (!invalid.isEmpty()) {
                raw->portError = invalid;
                st.AddLog(QStringLiteral("Porten öppnas inte: ") + invalid + QLatin1Char('.'));
            } else if (!st.ApplyMachine(m.slot, m.name) && st.portFailure().isEmpty()) {
                continue;  // reported already
            } else if (!st.portFailure().isEmpty()) {
                s->portError = st.portFailure();
                st.AddLog(QStringLiteral("Kan inte öppna COM porten. ") + st.portFailure());
            }
        } else {
            if (!st.ApplyMachine(m.slot, m.name)) continue;  // reported already
            setAddresses(*raw);
        }
        connect(&st.jobs(), &JobQueue::changed, this, &ShopServer::recordJob);
        connect(&st, &Station::requestArrived, this, [this, raw](const QString& command, const QString& name) {
            raw->request = {QDateTime::currentDateTime(), command, name};
            changed();
        });
        connect(&st, &Station::transferEnded, this, [this, raw](bool in, const QString& name, qint64 size, bool ok) {
            raw->transfer.at = QDateTime::currentDateTime();
            raw->transfer.in = in;
            raw->transfer.name = name;
            raw->transfer.size = size;
            raw->transfer.ok = ok;
            raw->count(in, ok, raw->transfer.at.date());
            changed();
        });
        served_.push_back(std::move(s));
    }
    if (!listener_.listen(general)) {
        *error = listener_.failure();
        return false;
    }
    verbs_.listen(ServerSocketPath());
    retry_.start();
    publish();
    return true;
}

// The machine's "IP": an address as written, or every address its name has
// now; another machine's address, or anything else, serves nobody.
void ShopServer::setAddresses(Served& s) {
    Station& st = *s.station;
    s.ips.clear();
    QHostAddress address;
    QString name;
    if (!ParseMachineAddress(st.machine().IP, &address, &name)) {
        st.AddLog(QStringLiteral("Ingen giltig IP-adress ('%1'): inga anslutningar tas emot för maskinen.")
                      .arg(EscapeControls(st.machine().IP)));
        return;
    }
    QList<QHostAddress> found;
    if (name.isEmpty()) {
        found << Unmapped(address);
    } else {
        const QHostInfo info = QHostInfo::fromName(name);
        for (const QHostAddress& a : info.addresses())
            if (!found.contains(Unmapped(a))) found << Unmapped(a);
        QStringList text;
        for (const QHostAddress& a : found) text << a.toString();
        if (found.isEmpty()) {
            st.AddLog(QStringLiteral("Namnet '%1' har ingen adress (%2): inga anslutningar tas emot för maskinen.")
                          .arg(name, info.errorString()));
            return;
        }
        st.AddLog(QStringLiteral("Namnet '%1' har adresserna %2.").arg(name, text.join(QStringLiteral(", "))));
    }
    for (const QHostAddress& a : found) {
        const auto twin = std::find_if(served_.begin(), served_.end(), [&](const auto& o) {
            return o.get() != &s && o->ips.contains(a);
        });
        if (twin != served_.end()) {
            AddLog(QStringLiteral("Maskinerna \"%1\" och \"%2\" har samma IP-adress (%3): \"%2\" betjänas inte "
                                  "från lyssningsporten.")
                       .arg((*twin)->entry.name, s.entry.name, a.toString()));
            continue;
        }
        s.ips << a;
    }
}

// Why a machine's settings cannot be taken (and a serial one's port not
// opened); empty when they can. Checked before the station takes them: a
// bad value keeps the settings it has, and a setting that stays wrong is
// told once, not at every retry.
QString ShopServer::InvalidSetting(int slot, bool serial) {
    MachineSettings m;
    try {
        LoadMachineSettings(m, slot);
    } catch (const AppError& e) {
        return QStringLiteral("ogiltig inställning i [%1]: %2").arg(MachineSection(slot), e.description());
    }
    if (m.RecTimeout < 0 || m.RecTimeout > 65535)
        return QStringLiteral("ogiltig inställning RecTimeout=%1 i [%2]").arg(m.RecTimeout).arg(MachineSection(slot));
    if (!serial) return {};
    SerialSettings parsed;
    if (m.ComPort < 1)
        return QStringLiteral("ogiltig inställning ComPort=%1 i [%2]").arg(m.ComPort).arg(MachineSection(slot));
    if (!ParseSerialSettings(m.BaudRate + m.Settings, parsed))
        return QStringLiteral("ogiltig inställning BaudRate=%1, Settings=%2 i [%3]")
            .arg(EscapeControls(m.BaudRate), EscapeControls(m.Settings), MachineSection(slot));
    return {};
}

void ShopServer::portEvent(Served& s, int code) {
    Station& st = *s.station;
    if (code != SerialPort::EventDCB || !st.port() || st.port()->isOpen()) return;
    s.portError = st.port()->errorString();
    if (s.portError.isEmpty()) s.portError = QStringLiteral("porten stängdes");
    st.AddLog(QStringLiteral("COM porten stängd: %1. Den öppnas igen när den går.").arg(s.portError));
    publish();
}

// Serial ports that are closed (never opened, or hung up) are tried again;
// a change of state is logged once.
void ShopServer::openPorts() {
    for (const auto& s : served_) {
        if (!s->isSerial || !s->station->port() || s->station->port()->isOpen()) continue;
        Station& st = *s->station;
        const QString before = s->portError;
        const QString invalid = InvalidSetting(s->entry.slot, true);
        if (!invalid.isEmpty()) {
            s->portError = invalid;
            if (invalid != before) {
                st.AddLog(QStringLiteral("Porten öppnas inte: ") + invalid + QLatin1Char('.'));
                changed();
            }
            continue;
        }
        if (!st.ApplyMachine(s->entry.slot, s->entry.name) && st.portFailure().isEmpty()) {
            s->portError = QStringLiteral("maskinens inställningar kunde inte läsas");
        } else {
            s->portError = st.portFailure();
        }
        if (s->portError.isEmpty()) st.AddLog(QStringLiteral("COM porten öppnad."));
        else if (s->portError != before) st.AddLog(QStringLiteral("Kan inte öppna COM porten. ") + s->portError);
        if (s->portError != before) changed();
    }
}

void ShopServer::reload(const GeneralSettings& general) {
    AddLog(QStringLiteral("Inställningarna läses om (SIGHUP)."));
    QStringList needRestart;
    if (general.ListenPort != general_.ListenPort) needRestart << QStringLiteral("ListenPort");
    if (general.ListenAddress.trimmed() != general_.ListenAddress.trimmed()) needRestart << QStringLiteral("ListenAddress");
    // WebToken, WebAllowedHosts and WebHostNames the web page takes as they are.
    if (general.WebPort != general_.WebPort || general.WebAddress != general_.WebAddress ||
        general.TrafficRows != general_.TrafficRows)
        needRestart << QStringLiteral("webbsidans inställningar");
    general_ = general;
    listener_.setAllowedHosts(general.AllowedHosts);
    // Machines added, removed or renamed since the start need a restart: the
    // list of stations is fixed while connections run.
    const QList<MachineEntry> list = MachineList();
    QStringList names;
    for (const MachineEntry& m : list) names << m.name;
    for (const auto& s : served_) {
        const int slot = FindMachineSlot(list, s->entry.name);
        if (slot < 1) {
            needRestart << QStringLiteral("maskinen \"%1\" finns inte längre").arg(s->entry.name);
            continue;
        }
        s->entry.slot = slot;
        // A job under way keeps the settings it started with.
        if (!s->station->Idle() || s->station->jobs().running()) {
            s->station->AddLog(QStringLiteral("Upptagen: maskinens inställningar läses om när det som pågår är klart."));
            s->reloadPending = true;
            if (!pendingReload_.isActive()) pendingReload_.start();
            continue;
        }
        reloadMachine(*s);
    }
    if (all_)
        for (const QString& n : names)
            if (!station(n)) needRestart << QStringLiteral("ny maskin \"%1\"").arg(n);
    if (!needRestart.isEmpty())
        AddLog(QStringLiteral("Kräver omstart av servern: ") + needRestart.join(QStringLiteral(", ")) + QLatin1Char('.'));
    publish();
}

void ShopServer::reloadPending() {
    bool waiting = false;
    for (const auto& s : served_) {
        if (!s->reloadPending) continue;
        if (!s->station->Idle() || s->station->jobs().running()) {
            waiting = true;
            continue;
        }
        reloadMachine(*s);
    }
    if (!waiting) pendingReload_.stop();
    publish();
}

void ShopServer::reloadMachine(Served& s) {
    Station& st = *s.station;
    s.reloadPending = false;
    const int slot = s.entry.slot;
    const QString invalid = InvalidSetting(slot, s.isSerial);
    if (!invalid.isEmpty()) {
        // A closed port stays closed until the setting is mended, told once.
        if (s.isSerial && !st.port()->isOpen()) {
            if (invalid != s.portError) st.AddLog(QStringLiteral("Porten öppnas inte: ") + invalid + QLatin1Char('.'));
            s.portError = invalid;
            return;
        }
        // The machine goes on as it was; only this machine hears of it.
        st.AddLog(QStringLiteral("Inställningarna lästes inte om: ") + invalid + QStringLiteral(". De tidigare gäller."));
        return;
    }
    st.ApplyGeneralSettings(general_);
    if (s.isSerial) {
        // An idle port is opened anew on its settings as they are now.
        if (st.port()->isOpen()) st.port()->close();
        s.portError.clear();
        if (!st.ApplyMachine(slot, s.entry.name) || !st.portFailure().isEmpty()) {
            s.portError = st.portFailure().isEmpty() ? QStringLiteral("maskinens inställningar kunde inte läsas") : st.portFailure();
            st.AddLog(QStringLiteral("Kan inte öppna COM porten. ") + s.portError);
        }
    } else if (st.ApplyMachine(slot, s.entry.name)) {
        setAddresses(s);
    }
    st.AddLog(QStringLiteral("Maskinens inställningar omlästa."));
}

QCoro::Task<int> ShopServer::runVerb(QStringList words, VerbIO& io) {
    if (!runner_) {
        io.err(QStringLiteral("Servern kan inte köra kommandon."));
        co_return 2;
    }
    co_return co_await runner_(std::move(words), io);
}

void ShopServer::recordJob(const Job& job) {
    if (!job.finished()) {
        open_.insert(job.id, job);
    } else {
        open_.remove(job.id);
        ended_.push_back(job);
        while (ended_.size() > size_t(std::max(1, general_.JobRows))) ended_.pop_front();
    }
    Q_EMIT jobChanged(job);
    changed();
}

QList<Job> ShopServer::jobs(const QString& machine, int limit, const QString& before, bool* known) const {
    if (limit <= 0) limit = general_.JobRows;
    if (known) *known = true;
    // Running, then queued, then ended: however many wait, the running one comes first.
    QList<Job> open;
    for (const Job& j : open_)
        if (machine.isEmpty() || j.machine == machine) open << j;
    std::sort(open.begin(), open.end(), [](const Job& a, const Job& b) {
        const bool ra = a.state == JobState::Running, rb = b.state == JobState::Running;
        if (ra != rb) return ra;
        return a.created != b.created ? a.created > b.created : a.id > b.id;
    });
    QList<Job> out;
    bool after = before.isEmpty();
    const auto take = [&](const Job& j) {
        if (after) out << j;
        else after = j.id == before;
        return out.size() < limit;
    };
    bool more = true;
    for (const Job& j : open)
        if (!(more = take(j))) break;
    for (auto it = ended_.rbegin(); more && it != ended_.rend(); ++it)
        if (machine.isEmpty() || it->machine == machine) more = take(*it);
    if (known && !after) *known = false;
    return out;
}

std::optional<Job> ShopServer::job(const QString& id) const {
    if (const auto it = open_.constFind(id); it != open_.constEnd()) return *it;
    for (auto it = ended_.rbegin(); it != ended_.rend(); ++it)
        if (it->id == id) return *it;
    return std::nullopt;
}

bool ShopServer::cancelJob(const QString& id, const QString& by) {
    const auto it = open_.constFind(id);
    if (it == open_.constEnd()) return false;
    Station* st = station(it->machine);
    return st && st->jobs().cancel(id, JobQueue::CancelledBy(by));
}

void ShopServer::changed() {
    if (!publish_.isActive()) publish_.start();
}

void ShopServer::stop(int graceMs, std::function<void()> done) {
    listener_.close();
    verbs_.close();
    retry_.stop();
    AddLog(QStringLiteral("Servern stannar: inga nya förfrågningar tas emot."));
    // No job starts any more, and a running one starts no further program;
    // nobody is waited for but the transfers already under way.
    for (const auto& s : served_) s->station->jobs().close(QStringLiteral("Servern stannar: jobbet startades inte."));
    auto* poll = new QTimer(this);
    const QDateTime deadline = QDateTime::currentDateTime().addMSecs(graceMs);
    auto check = [this, poll, deadline, done] {
        bool idle = true;
        for (const auto& s : served_) idle = idle && s->station->Idle() && !s->station->jobs().running();
        if (!idle && QDateTime::currentDateTime() < deadline) return;
        poll->stop();
        poll->deleteLater();
        // What is still under way ends without leaving half a file.
        for (const auto& s : served_) {
            Station& st = *s->station;
            if (const auto job = st.jobs().runningJob())
                st.jobs().cancel(job->record.id, QStringLiteral("Avbrutet: servern stannade."));
            if (!st.Idle()) {
                st.AddLog(QStringLiteral("Överföringen avbröts när servern stannade."));
                st.cmdAbort_Click();
            }
        }
        publish();
        // The cancelled jobs end, and the clients that waited for them get
        // their exit status, a few turns of the loop later: a moment for that.
        auto* settle = new QTimer(this);
        const QDateTime until = QDateTime::currentDateTime().addMSecs(2000);
        connect(settle, &QTimer::timeout, this, [this, settle, until, done] {
            bool ended = verbs_.serving() == 0;
            for (const auto& s : served_) ended = ended && !s->station->jobs().running();
            if (!ended && QDateTime::currentDateTime() < until) return;
            settle->stop();
            settle->deleteLater();
            done();
        });
        settle->start(10);
    };
    // The first look comes after the events already waiting, so that bytes
    // that arrived before the signal count as a transfer under way.
    connect(poll, &QTimer::timeout, this, check);
    poll->start(50);
}

QStringList ShopServer::names() const {
    QStringList out;
    for (const auto& s : served_) out << s->entry.name;
    return out;
}

void ShopServer::publish() {
    // Rewritten whole: a reader never sees half of it.
    SaveWholeFile(ServerStatePath(), QJsonDocument(state()).toJson());
    Q_EMIT published();
}

QJsonObject ShopServer::state() const {
    QJsonArray machines;
    // Once, not once a machine: the local date asks the time zone file.
    const QDate now = QDate::currentDate();
    for (const auto& s : served_) {
        const Station& st = *s->station;
        QString link;
        if (s->isSerial) {
            link = st.port() && st.port()->isOpen() ? QStringLiteral("port öppen")
                                                : QStringLiteral("portfel: ") + s->portError;
        } else if (s->ips.isEmpty()) {
            link = QStringLiteral("betjänas inte");
        } else if (st.machineConnection()) {
            link = QStringLiteral("ansluten från ") + Unmapped(st.machineConnection()->peerAddress()).toString();
        } else {
            link = QStringLiteral("lyssnar");
        }
        QJsonObject m{{QStringLiteral("name"), s->entry.name},
                      {QStringLiteral("link"), link},
                      {QStringLiteral("serial"), s->isSerial},
                      {QStringLiteral("status"), s->panel->lastStatus},
                      {QStringLiteral("progress"), s->panel->progress},
                      {QStringLiteral("busy"), !st.Idle()}};
        if (s->panel->total > 0)
            m.insert(QStringLiteral("run"), QJsonObject{{QStringLiteral("done"), s->panel->done},
                                                        {QStringLiteral("total"), s->panel->total}});
        if (s->request.at.isValid())
            m.insert(QStringLiteral("lastRequest"),
                     QJsonObject{{QStringLiteral("time"), GeneralDate(s->request.at)},
                                 {QStringLiteral("command"), s->request.command},
                                 {QStringLiteral("name"), s->request.name}});
        if (s->transfer.at.isValid())
            m.insert(QStringLiteral("lastTransfer"),
                     QJsonObject{{QStringLiteral("time"), GeneralDate(s->transfer.at)},
                                 {QStringLiteral("direction"), s->transfer.in ? QStringLiteral("in") : QStringLiteral("ut")},
                                 {QStringLiteral("name"), s->transfer.name},
                                 {QStringLiteral("size"), double(s->transfer.size)},
                                 {QStringLiteral("result"), s->transfer.ok ? QStringLiteral("klar") : QStringLiteral("fel")}});
        const bool today = s->day == now;
        m.insert(QStringLiteral("today"), QJsonObject{{QStringLiteral("received"), today ? s->received : 0},
                                                      {QStringLiteral("sent"), today ? s->sent : 0},
                                                      {QStringLiteral("failed"), today ? s->failed : 0}});
        machines.append(m);
    }
    static const QString processStart =
#ifdef Q_OS_LINUX
        QString::fromLatin1(ProcessStart(QCoreApplication::applicationPid()));
#else
        QString();
#endif
    return QJsonObject{{QStringLiteral("pid"), double(QCoreApplication::applicationPid())},
                       {QStringLiteral("processStart"), processStart},
                       {QStringLiteral("started"), GeneralDate(started_)},
                       {QStringLiteral("port"), int(listener_.port())},
                       {QStringLiteral("socket"), verbs_.name()},
                       {QStringLiteral("all"), all_},
                       {QStringLiteral("machines"), machines}};
}
