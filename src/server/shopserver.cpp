#include "server/shopserver.h"
#include "common/dates.h"
#include "common/errorreport.h"
#include "common/home.h"
#include "common/log.h"
#include "link/hostfilter.h"
#include "link/qtserialport.h"
#include "link/station.h"
#include "server/serverpanel.h"
#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QTcpSocket>
#ifdef Q_OS_UNIX
#include <csignal>
#endif

struct ShopServer::Served {
    MachineEntry entry;
    std::unique_ptr<ServerPanel> panel;
    std::unique_ptr<Station> station;
    QHostAddress ip;     // a network machine's address; null: not served from the port
    QString portError;   // why a serial port is not open
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

    bool serial() const { return station->Machine.Typ == 1 || station->Machine.Typ == 2; }
    void count(bool in, bool ok) {
        if (day != QDate::currentDate()) {
            day = QDate::currentDate();
            received = sent = failed = 0;
        }
        if (!ok) ++failed;
        else if (in) ++received;
        else ++sent;
    }
};

QString ServerLockPath() { return InProgramFolder(QStringLiteral("fenmo32-server.lock")); }
QString ServerStatePath() { return InProgramFolder(QStringLiteral("fenmo32-server.json")); }

qint64 RunningServer() {
    QLockFile lock(ServerLockPath());
    qint64 pid = 0;
    QString host, app;
    if (!lock.getLockInfo(&pid, &host, &app) || pid <= 0) return 0;
#ifdef Q_OS_UNIX
    if (::kill(pid_t(pid), 0) != 0 && errno == ESRCH) return 0;
#endif
    return pid;
}

QString ServerSocketFor(const QString& machine) {
    if (RunningServer() == 0) return {};
    QFile file(ServerStatePath());
    if (!file.open(QIODevice::ReadOnly)) return {};
    const QJsonObject state = QJsonDocument::fromJson(file.readAll()).object();
    for (const QJsonValue& v : state.value(QStringLiteral("machines")).toArray()) {
        const QJsonObject m = v.toObject();
        if (m.value(QStringLiteral("name")).toString() == machine && m.value(QStringLiteral("serial")).toBool())
            return state.value(QStringLiteral("socket")).toString();
    }
    return {};
}

ShopServer::ShopServer(QObject* parent) : QObject(parent) {
    listener_.setRoute([this](const QHostAddress& peer) { return route(peer); });
    retry_.setInterval(10000);
    connect(&retry_, &QTimer::timeout, this, &ShopServer::openPorts);
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
    for (const auto& s : served_)
        if (!s->ip.isNull() && s->ip.isEqual(peer)) return s->station.get();
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
    started_ = QDateTime::currentDateTime();
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
        LoadMachineSettings(probe, m.slot);
        const bool serial = probe.Typ == 1 || probe.Typ == 2;
        s->station = std::make_unique<Station>(*s->panel, serial ? makePort_() : nullptr);
        Station& st = *s->station;
        st.LogPrefix = prefix;
        st.ApplyGeneralSettings(general);
        if (!st.ApplyMachine(m.slot, m.name) && st.PortFailure.isEmpty()) continue;  // reported already
        if (!st.PortFailure.isEmpty()) {
            s->portError = st.PortFailure;
            st.AddLog(QStringLiteral("Kan inte öppna COM porten. ") + st.PortFailure);
        }
        if (!serial) {
            const QHostAddress ip(st.Machine.IP.trimmed());
            const auto twin = std::find_if(served_.begin(), served_.end(), [&](const auto& o) {
                return !o->ip.isNull() && o->ip.isEqual(ip);
            });
            if (ip.isNull()) {
                st.AddLog(QStringLiteral("Ingen giltig IP-adress ('%1'): inga anslutningar tas emot för maskinen.")
                              .arg(st.Machine.IP));
            } else if (twin != served_.end()) {
                AddLog(QStringLiteral("Maskinerna \"%1\" och \"%2\" har samma IP-adress (%3): \"%2\" betjänas inte "
                                      "från lyssningsporten.")
                           .arg((*twin)->entry.name, m.name, ip.toString()));
            } else {
                s->ip = Unmapped(ip);
            }
        }
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
            raw->count(in, ok);
            changed();
        });
        served_.push_back(std::move(s));
    }
    if (!listener_.listen(general)) {
        *error = listener_.failure();
        return false;
    }
    verbs_.listen();
    retry_.start();
    publish();
    return true;
}

// Serial ports that are closed (never opened, or hung up) are tried again;
// a change of state is logged once.
void ShopServer::openPorts() {
    for (const auto& s : served_) {
        if (!s->serial() || !s->station->Comm || s->station->Comm->isOpen()) continue;
        Station& st = *s->station;
        const QString before = s->portError;
        st.ApplyMachine(s->entry.slot, s->entry.name);
        s->portError = st.PortFailure;
        if (s->portError.isEmpty()) st.AddLog(QStringLiteral("COM porten öppnad."));
        else if (s->portError != before) st.AddLog(QStringLiteral("Kan inte öppna COM porten. ") + s->portError);
        if (s->portError != before) changed();
    }
}

int ShopServer::runVerb(const QStringList& words, VerbIO& io) {
    if (!runner_) {
        io.err(QStringLiteral("Servern kan inte köra kommandon."));
        return 2;
    }
    return runner_(words, io);
}

void ShopServer::changed() {
    if (!publish_.isActive()) publish_.start();
}

void ShopServer::stop(int graceMs, std::function<void()> done) {
    listener_.close();
    verbs_.close();
    retry_.stop();
    AddLog(QStringLiteral("Servern stannar: inga nya förfrågningar tas emot."));
    auto* poll = new QTimer(this);
    const QDateTime deadline = QDateTime::currentDateTime().addMSecs(graceMs);
    auto check = [this, poll, deadline, done] {
        bool idle = true;
        for (const auto& s : served_) idle = idle && s->station->Idle();
        if (!idle && QDateTime::currentDateTime() < deadline) return;
        poll->stop();
        poll->deleteLater();
        // What is still under way ends without leaving half a file.
        for (const auto& s : served_)
            if (!s->station->Idle()) {
                s->station->AddLog(QStringLiteral("Överföringen avbröts när servern stannade."));
                s->station->cmdAbort_Click();
            }
        publish();
        done();
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
    QSaveFile file(ServerStatePath());
    if (file.open(QIODevice::WriteOnly)) {
        file.write(QJsonDocument(state()).toJson());
        file.commit();
    }
    Q_EMIT published();
}

QJsonObject ShopServer::state() const {
    QJsonArray machines;
    for (const auto& s : served_) {
        const Station& st = *s->station;
        QString link;
        if (s->serial()) {
            link = st.Comm && st.Comm->isOpen() ? QStringLiteral("port öppen")
                                                : QStringLiteral("portfel: ") + s->portError;
        } else if (s->ip.isNull()) {
            link = QStringLiteral("betjänas inte");
        } else if (st.MasterSock) {
            link = QStringLiteral("ansluten från ") + Unmapped(st.MasterSock->peerAddress()).toString();
        } else {
            link = QStringLiteral("lyssnar");
        }
        QJsonObject m{{QStringLiteral("name"), s->entry.name},
                      {QStringLiteral("link"), link},
                      {QStringLiteral("serial"), s->serial()},
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
        const bool today = s->day == QDate::currentDate();
        m.insert(QStringLiteral("today"), QJsonObject{{QStringLiteral("received"), today ? s->received : 0},
                                                      {QStringLiteral("sent"), today ? s->sent : 0},
                                                      {QStringLiteral("failed"), today ? s->failed : 0}});
        machines.append(m);
    }
    return QJsonObject{{QStringLiteral("pid"), double(QCoreApplication::applicationPid())},
                       {QStringLiteral("started"), GeneralDate(started_)},
                       {QStringLiteral("port"), int(listener_.port())},
                       {QStringLiteral("socket"), verbs_.name()},
                       {QStringLiteral("machines"), machines}};
}
