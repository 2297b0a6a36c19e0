#include "server/shopserver.h"
#include "server/served.h"
#include "common/dates.h"
#include "common/home.h"
#include "common/log.h"
#include "common/savefile.h"
#include "link/hostfilter.h"
#include "link/qtserialport.h"
#include "station/station.h"
#include "server/serverpanel.h"
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>
#ifdef Q_OS_UNIX
#include <csignal>
#include <sys/stat.h>
#include <unistd.h>
#endif

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
