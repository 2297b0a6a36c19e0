#pragma once
// One machine's station: everything of its link that is not a widget. Its
// public side is the machine's front: settings, what the links show,
// listening, status and the job queue; the operations reach the rest only
// through a conversation (operations/conversation.h). Behind it, parts of
// their own: the paced serial sender, the responder to the machine's own
// requests, the network connections, the tape engine, the receiving side
// and the PC's exchanges; the station keeps the timers. What several
// stations share (the listening port, the log, INI access) is handed in. It
// reports to an OperatorPanel and never opens a dialog.
#include "config/generalsettings.h"
#include "config/machines.h"
#include "jobs/jobqueue.h"
#include "station/exchanges.h"
#include "link/linkstate.h"
#include "link/machinestore.h"
#include "common/operatorpanel.h"
#include "station/panelswitch.h"
#include "link/serialport.h"
#include "station/netconnections.h"
#include "station/receiver.h"
#include "station/responder.h"
#include "station/serialsender.h"
#include <QCoro/QCoroTask>
#include <QObject>
#include <QPointer>
#include <QTcpSocket>
#include <QTimer>
#include <functional>
#include <coroutine>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

class TapeEngine;
class Listener;
class SerialPacer;
class Outgoing;

class Station : public QObject {
    Q_OBJECT
public:
    // The station takes ownership of port.
    Station(OperatorPanel& panel, SerialPort* port, QObject* parent = nullptr);
    ~Station() override;

    const MachineSettings& machine() const { return Machine; }
    // Takes a machine without its settings file, opening no port (ApplyMachine selects one).
    void SetMachine(const MachineSettings& m) { Machine = m; }
    const QString& machineName() const { return MachineName; }  // as the machine list shows it
    const GeneralSettings& general() const { return General; }
    const LinkState& serialLink() const { return SerialLink; }
    const LinkState& netLink() const { return NetLink; }
    bool aborted() const { return Aborted; }
    bool transferDone() const { return TransferDone; }
    // The machine's answer to the list request: true once its list is in the
    // panel, false when it refused; empty before.
    std::optional<bool> listAnswer() const { return ListAnswer; }

    SerialPort* port() const { return Comm; }
    QTcpSocket* pcConnection() const { return comsock; }
    // The connection the machine opened last; null when it has none open.
    QTcpSocket* machineConnection() const { return MasterSock; }

    OperatorPanel& panel() { return panel_; }
    // The machine's own panel, whoever's job runs.
    OperatorPanel& ownPanel() { return own_; }

    // The machine's jobs: what the PC asks of it runs here, one at a time.
    JobQueue& jobs() { return Jobs; }
    const JobQueue& jobs() const { return Jobs; }
    // Queues body as a job of kind, started by by ("fönster USER"); panel:
    // whoever submitted it, null for the machine's own panel.
    using JobBody = std::function<QCoro::Task<void>(JobRun&)>;
    std::shared_ptr<JobRun> Submit(JobKind kind, const QString& by, JobBody body, OperatorPanel* panel = nullptr);
    // The running job's result rows go here; null outside a job.
    JobRun* CurrentJob() const { return job_; }
    // Every job's start and end, and the machine's own transfers, go to the
    // journal of the program folder (the window, a verb, the server).
    void SetJournalJobs(bool on) { JournalJobs = on; }

    // Takes the general settings: flags and timer intervals.
    void ApplyGeneralSettings(const GeneralSettings& g);
    // Listens on a port of its own with the general settings ListenAddress
    // and ListenPort (0: a free port), letting in only AllowedHosts and
    // handing every connection to this station. False when the port is taken
    // or the address is not one.
    bool StartListening();
    // Why the last StartListening() failed, worded for the operator.
    const QString& listenFailure() const { return ListenFailure; }
    quint16 ListeningPort() const;
    // A connection the machine opened, let in by a listener (this station's
    // or one that several share). from: the peer's address for the log.
    void AcceptConnection(qintptr descriptor, const QString& from);
    // Connections the machine has open, and whether any of them is in the
    // middle of a message.
    int MachineConnections() const { return conns_.count(); }
    bool MachineReceiving() const;

    // The exchange the PC has open with the machine, if any.
    const Exchange* OpenExchange() const { return exchanges_.current(); }
    // An operator's operation must wait: an exchange is open, or a program
    // is going out on the serial line.
    bool Busy() const { return OpenExchange() != nullptr || sender_.sending() || isoBusy_; }
    // Nothing under way on any of its connections, either way.
    bool Idle() const;
    // Protocol 1: the program a cut send may have left part of in the
    // machine; empty when none. Only a person confirms the machine is clear
    // (the window's question, or the clear verb and the API's clear, by
    // who): never an overwrite flag. False when nothing waited.
    QString CutProgram() const {
        return sender_.cutProgram().isEmpty() || sender_.cutMachine() != MachineName || Machine.Typ != 2 ? QString() : sender_.cutProgram();
    }
    bool ConfirmCut(const QString& by);

    // Status line and activity indicator.
    void Status(const QString& text);
    void ShowPilar(const QString& text, const QStringList& pattern);
    void HidePilar();

    // The abort routine, also the "Avbryt" button: everything under way.
    void cmdAbort_Click();
    // A job's cancel: its exchange and its own send; what the machine itself
    // is storing or loading, on any connection, goes on.
    void AbortJob();

    // "Auto dok": answers as if the machine had asked for the PC's list.
    QCoro::Task<void> cmdChangeFolder_Click();


    // Applies the machine of a slot (name: the list entry's text). False when
    // its settings stopped loading or its serial port could not be opened.
    // withDirRequest: ask for the machine's list when its GetDir says so.
    bool cmbMaskiner_Click(int slot, const QString& name, bool withDirRequest = true);
    // The same without remembering the machine or asking for its list; a
    // serial port that would not open leaves why in portFailure().
    bool ApplyMachine(int slot, const QString& name);
    const QString& portFailure() const { return PortFailure; }
    // Set when a shop server holds the serial machine's port: what the
    // operator is told instead. The station then never opens the port.
    const QString& heldBy() const { return HeldBy; }
    void SetHeldBy(const QString& text) { HeldBy = text; }


    // Put before every log line of this station ("[Fräs 1] " in the shop
    // server); the hex dumps then go to files of the machine's own.
    void SetLogPrefix(const QString& prefix) { LogPrefix = prefix; }
    void AddLog(const QString& text) const;

    // The machine's programs as its last list named them, less what was
    // deleted since; empty until a list came.
    QStringList RemoteNames() const;
    const QList<RemoteEntry>& RemoteList() const { return remote_; }

    // Waits until done() or Aborted, looking again at every step of the
    // link (an exchange ended, the line wrote, a message came, an abort).
    // Returns done().
    QCoro::Task<bool> WaitFor(std::function<bool()> done);

    // --- Plain ISO tape (Typ 3): its engine (station/tapeengine.h) does the work ---
    QCoro::Task<bool> DripFeed(QString path, QString from = {}, bool atToolChange = false);
    const QString& isoStopText() const;
    const QString& isoRestartText() const;

Q_SIGNALS:
    // Something an ISO send waits for happened: DC1/DC3, the line drained,
    // CTS, an abort, a stray byte from the machine.
    void isoWake();
    // A complete message was handed to a parser (tests and benchmarks wait on it).
    void messageParsed();
    // The open exchange ended: answered, refused, timed out or aborted.
    void exchangeEnded();
    // For the shop server's published state: a request from the machine
    // ("C" and its command), and a program moved (in: from the machine).
    void requestArrived(const QString& command, const QString& name);
    void transferEnded(bool in, const QString& name, qint64 size, bool ok);
    // A whole message in or out, for the traffic view: its bytes (only the
    // first ones of a program streamed to or from its file), its size, the
    // two checksums when the message was not held whole, and its connection
    // (null: the serial link).
    void trafficRow(bool in, const QByteArray& bytes, qint64 size, const QByteArray& checksumReceived,
                    const QByteArray& checksumComputed, QTcpSocket* link);

private:
    // --- The link engine's own: its parts (friends below), its operations, and the tests' probe ---
    // The link record of the selected machine's link.
    LinkState& MachineLink() { return Machine.Typ == 0 ? NetLink : SerialLink; }
    // Before an operation: waits for an exchange still open; true (the
    // operator told why) when the operation cannot start now.
    QCoro::Task<bool> RefuseWhileBusy();
    // A question of the running job. A job cancelled while it was being asked
    // gets Cancel, or No where there is none.
    QCoro::Task<OperatorPanel::Answer> Ask(QString text, QString title, MsgIcon icon, OperatorPanel::Buttons buttons);
    // The abort routine for a failure or time-out of the PC's exchange: the
    // machine's own connections go on.
    void AbortExchange();
    // Serial link.
    void Comm_OnComm(int event);
    bool CtsStatus();

    // Sending. On the serial line a message goes out paced, after these
    // return; done (if given) learns whether it went out whole. A socket
    // takes its message over at once.
    using SendDone = SerialSender::SendDone;
    void SendData(QByteArray& message, LinkState& link, QTcpSocket* socket, bool quiet);
    void SendDatap1(QByteArray& message, LinkState& link, bool percentOnly, bool quiet);
    // The same for a message whose program text is read from its file as it
    // goes out (protocol 2: closed by the checksum; protocol 1: as built).
    void SendData(Outgoing& message, LinkState& link, QTcpSocket* socket, bool quiet, SendDone done = {});
    void SendDatap1(Outgoing& message, LinkState& link, bool quiet, SendDone done = {});
    // An operation waits here until the serial line has written what it
    // was given; false when an abort came between.
    QCoro::Task<bool> AwaitLine();

    // Incoming messages.
    void Parse(QByteArray message, LinkState& link);
    void ParseP1(QByteArray message, LinkState& link);
    // Network link.
    QCoro::Task<bool> ConnectToSock(QTcpSocket* socket);
    // The station's own error handling: a report while its code runs aborts
    // this station and no other.
    bool Traced(const QString& name, const std::function<void()>& body);
    bool Guarded(const std::function<void()>& body);
    void AddHexLog(const QByteArray& data, const QString& fileName, int mode) const;
    // Starts a time-out timer; an interval of 0 means no time-out.
    static void Arm(QTimer& timer);

    // Waits for ms milliseconds, or less when an abort comes.
    QCoro::Task<void> WaitMs(int ms);
    // Waits until the open exchange has ended; true when it was answered.
    QCoro::Task<bool> AwaitExchange();
    // Resumes whatever waits in WaitFor, once the present handler returned.
    void Wake();

    // Timer handlers.
    void CtsTimer_Timer();
    void SendTimer_Timer();
    void RecTimer_Timer();
    void SvarTimer_Timer();
    void NetTimer_Timer();
    void TimeoutTimer_Timer();
    // A program file as tape at the machine's pace; true when all of it went out.
    QCoro::Task<bool> IsoSend(QString path, QString name);

    // A box the link raises waits for nobody: it is shown once the handler
    // that raised it has returned.
    void Tell(const QString& text, const QString& title, MsgIcon icon);
    void ShowFileError(const QString& text);
    bool PortReady(bool quiet);
    void ShowPacing();
    void PacerEnded(quint64 id);
    void PacerTimedOut(quint64 id, bool cts);
    // The machine's list is the machine's: kept here for the operations, shown on the panel.
    void ShowRemoteList(const QList<RemoteEntry>& entries);
    void RemoveRemote(const QString& name);
    QList<RemoteEntry> remote_;
    void ParseResponse(QByteArray& message, LinkState& link, const QByteArray& command,
                       const QByteArray& selector, const QString& name, const QByteArray& status);
    void ShowMachineError(const QString& statusText, const QByteArray& code);

    // ISO tape: the engine reaches into the station for what its header names.
    friend class TapeEngine;
    std::unique_ptr<TapeEngine> tape_;
    bool IsoEvent(int event);  // the serial events go to tape_
    bool isoBusy_ = false;

    OperatorPanel& own_;
    // Hands everything to the running job's panel, or to own_.
    PanelSwitchBase switch_{&own_};
    OperatorPanel& panel_;
    JobRun* job_ = nullptr;
    QCoro::Task<void> RunJob(JobRun& run, JobBody body);
    void Row(const QString& name, const QString& file, qint64 bytes, const QByteArray& sha256, ProgramResult result,
             const QString& text);
    QString lastStatus_;  // the last status text, for a job's result row
    // A load or store the machine asked for, recorded as a job of its own.
    void MachineJob(bool in, const QString& name, const QString& file, qint64 bytes, const QByteArray& sha256,
                    bool ok, const QString& by);
    QString MachineBy(QTcpSocket* from) const;
    // Reset first thing in the destructor: a reply its members still hold tells nobody.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
    // The last program stored from the machine: its checksum for a job's row.
    struct Stored {
        QByteArray sha256;
    } stored_;
    std::vector<std::coroutine_handle<>> waiting_;
    bool wakePosted_ = false;
    // Suspends until the next Wake().
    struct Step {
        Station* station;
        bool await_ready() const noexcept { return false; }
        void await_suspend(std::coroutine_handle<> h) { station->waiting_.push_back(h); }
        void await_resume() const noexcept {}
    };
    Listener* listener_ = nullptr;  // this station's own, when it listens itself
    std::function<void()> onError_;
    // Ends the running job as failed with why (the line busy, a refusal).
    void FailJob(const QString& why);
    enum class AbortScope { Exchange, Job, Everything };
    void Abort(AbortScope scope);
    quint64 line_ = 0;  // counts the serial port's openings and closings
    quint64 nextPaced_ = 0;
    quint64 isoPaced_ = 0;  // the pacer's tape send under way
    // The serial line's pacer on the serial thread; the port is its child.
    SerialPacer* pacer_ = nullptr;
    friend class SerialSender;
    SerialSender sender_{*this};
    bool jobSends_ = false;  // the running operation sends: a job's abort stops it
    friend class Responder;
    Responder responder_{*this};
    friend class NetConnections;
    NetConnections conns_{*this};
    quint64 aborts_ = 0;  // runs of the abort routine, so that a reply after a wait knows of one
    friend class Exchanges;
    Exchanges exchanges_{*this};
    // What an operation may do with it.
    friend class Conversation;
    // The station's state, its own code's; tests see it through tests/link/stationprobe.h.
    friend struct StationProbe;
    MachineSettings Machine;
    QString MachineName;
    GeneralSettings General;
    LinkState SerialLink, NetLink;
    bool Aborted = false, TransferDone = false;
    QString TargetFolder;  // of the document being fetched, while its exchange is open
    qint32 RxCount = 0;
    bool LogTraffic = false;
    std::optional<bool> ListAnswer;
    QTimer CtsTimer, SendTimer, RecTimer, SvarTimer, NetTimer, TimeoutTimer;
    SerialPort* Comm = nullptr;
    QTcpSocket* comsock = nullptr;
    QPointer<QTcpSocket> MasterSock;
    JobQueue Jobs;
    bool JournalJobs = false;
    QString ListenFailure, PortFailure, HeldBy, LogPrefix;
    friend class Receiver;
    Receiver rx_{*this};  // after the records whose buffers it holds
};

// Current date and time as text without ":", "-", "/" and blanks.
QString NowStamp();
