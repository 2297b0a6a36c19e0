#include "server/shopserver.h"
#include "server/served.h"
#include "common/apperror.h"
#include "common/log.h"
#include "jobs/journal.h"
#include "link/hostfilter.h"
#include "link/serialport.h"
#include "station/station.h"
#include "server/serverpanel.h"
#include <QHostInfo>

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
