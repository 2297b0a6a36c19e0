#pragma once
// The shop server: a station for every machine served, one listening port
// that hands each connection to the machine whose "IP" is the peer's
// address, serial ports opened (and opened again) on their own, and the
// server's state published for `status` and anyone else to read.
#include "config/generalsettings.h"
#include "config/machines.h"
#include "jobs/job.h"
#include "station/listener.h"
#include "server/verbio.h"
#include "server/verbsocket.h"
#include <QDateTime>
#include <QJsonObject>
#include <QHostAddress>
#include <QLockFile>
#include <QObject>
#include <QTimer>
#include <deque>
#include <optional>
#include <functional>
#include <memory>
#include <vector>

class SerialPort;
class ServerPanel;
class Station;

class ShopServer : public QObject {
    Q_OBJECT
public:
    explicit ShopServer(QObject* parent = nullptr);
    ~ShopServer() override;

    // Serial ports for the stations (tests hand in-memory ones); a real port by default.
    void setPortFactory(std::function<SerialPort*()> make) { makePort_ = std::move(make); }
    // How often a serial port that is closed or would not open is tried again.
    void setRetryInterval(int ms) { retry_.setInterval(ms); }

    // Serves the machines named (all of the machine list when empty). False,
    // with *error in Swedish, when a server already runs for this program
    // folder, a name is no machine's, or the port cannot be listened on.
    bool start(const GeneralSettings& general, const QStringList& names, QString* error);
    quint16 port() const { return listener_.port(); }
    int machines() const { return int(served_.size()); }
    Station* station(const QString& name) const;
    ServerPanel* panel(const QString& name) const;

    // SIGHUP: the general settings and the served machines' definitions
    // anew (AllowedHosts, time-outs, folders, models, serial settings, machine
    // addresses and names resolved again). The listening and web ports, and
    // which machines are served, need a restart: logged when they changed.
    void reload(const GeneralSettings& general);
    // Serves every machine of the folder (serve --all), not some named ones.
    bool servesAll() const { return all_; }

    // Takes no new connection; once every transfer under way has ended, or
    // after graceMs when some have not (they are then aborted, nothing
    // half-written), calls done.
    void stop(int graceMs, std::function<void()> done);

    // Runs a verb for a client on the stations this server holds; the
    // program, which knows the verbs, hands the runner in. Exit status 2
    // without one.
    void setVerbRunner(VerbRunner runner) { runner_ = std::move(runner); }
    QCoro::Task<int> runVerb(QStringList words, VerbIO& io);

    // Every machine's jobs: the running ones, the queued ones newest first,
    // then the last ended ones (JobRows) newest first; machine: one
    // machine's only; at most limit (JobRows when 0), those after the job
    // before (*known false when that job is not in the list).
    QList<Job> jobs(const QString& machine = {}, int limit = 0, const QString& before = {}, bool* known = nullptr) const;
    std::optional<Job> job(const QString& id) const;
    // Cancels a queued or running job for by ("webb 10.0.0.7"); false when
    // no such job is open.
    bool cancelJob(const QString& id, const QString& by);

    // Writes the published state now (it is also written a moment after
    // every change).
    void publish();
    // What publish() writes, and the names of the machines served.
    QJsonObject state() const;
    QStringList names() const;

Q_SIGNALS:
    // The state changed (a moment ago; the same rhythm as the file).
    void published();
    // A job was queued, started or ended.
    void jobChanged(const Job& job);

private:
    struct Served;
    Station* route(const QHostAddress& peer) const;
    void openPorts();
    void changed();
    void setAddresses(Served& s);
    void portEvent(Served& s, int code);
    static QString InvalidSetting(int slot, bool serial);
    void reloadMachine(Served& s);
    void reloadPending();
    QTimer pendingReload_;

    void recordJob(const Job& job);
    std::vector<std::unique_ptr<Served>> served_;
    // Queued and running jobs by id, and the newest ended ones, oldest first.
    QHash<QString, Job> open_;
    std::deque<Job> ended_;
    Listener listener_;
    QTimer retry_, publish_;
    std::unique_ptr<QLockFile> lock_;
    std::function<SerialPort*()> makePort_;
    QDateTime started_;
    GeneralSettings general_;
    bool all_ = true;
    VerbRunner runner_;
    VerbSocket verbs_{[this](QStringList words, VerbIO& io) { return runVerb(std::move(words), io); }};
};

// The files of a running server, in the program folder.
QString ServerLockPath();
QString ServerStatePath();
// Where the server's local socket for verbs goes: the program folder, or a
// runtime folder when that path is too long for a socket; empty: nowhere safe.
QString ServerSocketPath();
// The pid of the server that runs for this program folder; 0 when none does.
qint64 RunningServer();
// The running server serves every machine of the folder (serve --all); false
// when none runs or it serves some named ones only (a try-out).
bool ServerServesAll();
// The running server's local socket for verbs when it holds machine's
// serial port; empty otherwise.
QString ServerSocketFor(const QString& machine);
