#pragma once
// The station: everything of the main window that is not a widget. It owns
// the selected machine's settings, both link records, the shared flags, the
// timers, the serial port and the three sockets, and holds the procedures of
// the link engine. It reports to an OperatorPanel and never opens a dialog.
#include "config/generalsettings.h"
#include "config/machines.h"
#include "link/hostfilter.h"
#include "link/linkstate.h"
#include "link/operatorpanel.h"
#include "link/serialport.h"
#include <QHash>
#include <QObject>
#include <QTimer>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <unordered_map>

class IncomingProgram;
class ListenServer;
class Outgoing;
class ProgramTextReader;
struct ProgramComparison;
class QTcpSocket;

class Station : public QObject {
    Q_OBJECT
public:
    // The station takes ownership of port.
    Station(OperatorPanel& panel, SerialPort* port, QObject* parent = nullptr);
    ~Station() override;

    // State shared by the link engine and the operations.
    MachineSettings Machine;
    QString MachineName;  // as the machine list shows it
    GeneralSettings General;
    LinkState SerialLink;
    LinkState NetLink;
    // What arrived on MasterSock since its last complete message; comsock's
    // goes to NetLink.InBuffer. One buffer a connection, so that two
    // connections' messages never mix.
    QByteArray MasterInBuffer;
    bool Aborted = false;
    bool TransferDone = false;
    QString TargetFolder;
    qint32 RxCount = 0;
    bool LogTraffic = false;
    // Where the next program from the machine goes instead of the library:
    // a file outside it, carrying comment, replacing no library program and
    // keeping no version. status: the machine's error answer to that fetch,
    // which is kept here instead of stopping the run.
    struct FetchTarget {
        QString path, comment;
        QByteArray status;
    };
    FetchTarget FetchInto;
    // The machine's answer to the list request: true once its list is in the
    // panel, false when it refused; empty before.
    std::optional<bool> ListAnswer;

    QTimer CtsTimer, SendTimer, RecTimer, SvarTimer, NetTimer, TimeoutTimer;

    SerialPort* Comm = nullptr;
    QTcpSocket* comsock = nullptr;
    ListenServer* listensock = nullptr;
    QTcpSocket* MasterSock = nullptr;

    OperatorPanel& panel() { return panel_; }
    // The link record of the selected machine's link.
    LinkState& MachineLink() { return Machine.Typ == 0 ? NetLink : SerialLink; }

    // Takes the general settings: flags and timer intervals.
    void ApplyGeneralSettings(const GeneralSettings& g);
    // Listens on the general settings ListenAddress and ListenPort (0: a free
    // port), letting in only AllowedHosts. False when the port is taken or
    // the address is not one.
    bool StartListening();
    // Why the last StartListening() failed, worded for the operator.
    QString ListenFailure;
    quint16 ListeningPort() const;

    // Status line and activity indicator.
    void Status(const QString& text, bool processEvents = false);
    void ShowPilar(const QString& text, const QStringList& pattern);
    void HidePilar();

    // The abort routine, also the "Avbryt" button.
    void cmdAbort_Click();

    // Serial link.
    void Comm_OnComm(int event);
    bool CtsStatus();

    // Sending.
    void SendData(QByteArray& message, LinkState& link, QTcpSocket* socket, bool quiet);
    void SendDatap1(QByteArray& message, LinkState& link, bool percentOnly, bool quiet);
    // The same for a message whose program text is read from its file as it
    // goes out (protocol 2: closed by the checksum; protocol 1: as built).
    void SendData(Outgoing& message, LinkState& link, QTcpSocket* socket, bool quiet);
    void SendDatap1(Outgoing& message, LinkState& link, bool quiet);

    // Incoming messages.
    void Parse(QByteArray message, LinkState& link);
    void ParseP1(QByteArray message, LinkState& link);
    // "Auto dok": answers as if the machine had asked for the PC's list.
    void cmdChangeFolder_Click();

    // Network link.
    bool ConnectToSock(QTcpSocket* socket);

    // Applies the machine of a slot (name: the list entry's text). False when
    // its settings stopped loading or its serial port could not be opened.
    // withDirRequest: ask for the machine's list when its GetDir says so.
    bool cmbMaskiner_Click(int slot, const QString& name, bool withDirRequest = true);

    // Operations on the selected machine.
    void cmdSend_Click();
    bool RemoteFileExists(const QString& fileName) const;
    void cmdRec_Click();
    void mnuRecManual_Click();
    void mnuDocs_Click(const QString& document);
    void cmdDir_Click();
    void cmdDel_Click();
    // "Jämför med maskin": the machine's programs against folder's, fetched
    // one at a time outside the library.
    QList<ProgramComparison> mnuCompare_Click(const QString& folder);

    // Starts a time-out timer; an interval of 0 means no time-out.
    static void Arm(QTimer& timer);

    // Waits, processing events, for ms milliseconds (never spinning).
    void WaitMs(int ms);
    // Processes events, blocking for the next one, until done() or Aborted.
    // Returns done().
    bool WaitFor(const std::function<bool()>& done);

    // Timer handlers (public so that tests can name them).
    void CtsTimer_Timer();
    void SendTimer_Timer();
    void RecTimer_Timer();
    void SvarTimer_Timer();
    void NetTimer_Timer();
    void TimeoutTimer_Timer();

Q_SIGNALS:
    // A complete message was handed to a parser (tests and benchmarks wait on it).
    void messageParsed();

private:
    void comsock_DataArrival();
    void MasterSock_DataArrival();
    void NetDataArrival(QTcpSocket* socket);
    void NetDisconnected(QTcpSocket* socket);
    void listensock_ConnectionRequest(qintptr descriptor);
    void comsock_Error();
    // One connection's message under way: its bytes held in memory (only the
    // header of a program that goes to its file), whether the rest of a
    // refused or aborted one is being passed over, and the program.
    // Passing over: not, up to the next "%", or just after a "%" that ended a
    // piece, where the next byte tells whether it started a new message.
    enum class Pass { No, ToPercent, AfterPercent };
    struct Reception {
        QByteArray& in;
        Pass& skip;
        std::unique_ptr<IncomingProgram>& program;
    };
    Reception ReceptionOf(QTcpSocket* socket);  // null: the serial link
    // Adds received bytes; true when the message is complete.
    bool Accumulate(Reception r, const QByteArray& data, int protocol, bool serial);
    void StartProgram(Reception r, int protocol);
    void HandOver(Reception r, LinkState& link, int protocol);
    static qint64 MessageSize(Reception r);
    void DropMessage(Reception r);
    // Refuses a message past MaxMessage; *skip: the rest of it is still to
    // come and must be passed over up to its closing "%".
    bool InBufferTooLarge(const QByteArray& buffer, Pass* skip);
    // Removes what belongs to a message being passed over from data.
    static void PassOver(Pass& skipping, QByteArray& data);
    static QString P1Name(const QByteArray& message);
    // The buffer of the connection whose message is being parsed, and the
    // socket its replies go back on.
    QByteArray& InBufferOf(LinkState& link);
    QTcpSocket* ReplySocket() const;
    void ShowFileError(const QString& text);
    bool PortReady(bool quiet);
    bool PacedWrite(Outgoing& message, bool protocolOne);
    void WriteToSocket(QTcpSocket* socket, std::unique_ptr<Outgoing> message);
    void FeedSocket(QTcpSocket* socket);
    QString FolderForIncoming() const;
    void ParseResponse(QByteArray& message, LinkState& link, const QByteArray& command,
                       const QByteArray& selector, const QString& name, const QByteArray& status);
    void ParseRequest(QByteArray& message, LinkState& link, const QByteArray& command,
                      const QByteArray& selector, const QString& name);
    void ShowMachineError(const QString& statusText, const QByteArray& code);
    std::unique_ptr<ProgramTextReader> ReadForMachine(const QString& name);
    std::unique_ptr<ProgramTextReader> OpenProgram(const QString& path);
    bool StoreFromMachine(const std::function<QByteArray()>& body, const QString& name, QString* fileError,
                          const QString& origin);
    bool MoveToTrash(const QString& name);
    QByteArray PcList(bool narrow, const QString& pattern) const;
    QByteArray ProtocolOneRequest(const QByteArray& letter, const QByteArray& name) const;
    void SendProtocolOne(QByteArray message);
    void SendProtocolOne(Outgoing& message);
    void SendRequest(const QByteArray& request, qint16 typ);
    bool RefuseName(const QString& name, const QString& file = {});
    QString StorePath(const QString& name) const;
    // Fetches name into FetchInto's path; the machine's error status in *status.
    bool FetchCopy(const QString& name, const QString& path, const QString& comment, QByteArray* status);
    // Fetches back what a send stored and compares it with the file sent.
    bool VerifySent(const QString& name, const QString& path);

    OperatorPanel& panel_;
    HostFilter allowedHosts_;
    bool sending_ = false;  // inside a paced serial send
    QTcpSocket* parsingFrom_ = nullptr;  // the connection of the network message being parsed
    bool comsockClosedByMachine_ = false;  // the machine ended the PC's own connection
    // Passing over the rest of a refused or aborted message, per connection.
    Pass skipSerial_ = Pass::No, skipComsock_ = Pass::No, skipMaster_ = Pass::No;
    std::unique_ptr<IncomingProgram> programSerial_, programComsock_, programMaster_;
    IncomingProgram* parsingProgram_ = nullptr;  // the program of the message being parsed
    QByteArray readBuffer_;
    // Messages waiting for each socket, in order; the first is being written.
    std::unordered_map<QTcpSocket*, std::deque<std::unique_ptr<Outgoing>>> outgoing_;
};

// Current date and time as text without ":", "-", "/" and blanks.
QString NowStamp();
