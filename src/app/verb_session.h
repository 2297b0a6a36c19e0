#pragma once
// What the command-line verbs share: the parsed command line, and a session
// that holds the console panel and the station with the selected machine.
#include "app/consolepanel.h"
#include "common/errorreport.h"
#include "common/notify.h"
#include "config/machines.h"
#include "station/station.h"
#include "operations/jobrequest.h"
#include "server/verbio.h"

#include <QCoro/QCoroTask>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>

// Exit statuses of the verbs.
// compare: VerbFailed when a program differs; VerbIncomplete when some could not be compared.
enum VerbStatus { VerbOk = 0, VerbFailed = 1, VerbUsage = 2, VerbIncomplete = 3 };

struct VerbOptions {
    QString verb;
    QStringList args;  // the words after the verb
    ConsolePanel::Policy overwrite = ConsolePanel::Policy::Ask;
    QString to;  // --to, fetch only
    QString pdf;  // --pdf, print-list only
    QString folder;  // --folder, compare only
    QString from;  // --from, drip only
    bool fromToolChange = false;  // --from-tool-change, drip only
    bool all = false;  // --all, serve only
    QString since;  // --since, jobs only
    bool json = false;  // --json, jobs only
};

// Where the verbs' words go now: the terminal, or a client of the shop
// server while the server runs a verb for it.
VerbIO& VerbConsole();
bool OnTerminal();
class VerbIOScope {
public:
    explicit VerbIOScope(VerbIO& io);
    ~VerbIOScope();
    VerbIOScope(const VerbIOScope&) = delete;
    VerbIOScope& operator=(const VerbIOScope&) = delete;

private:
    VerbIO* previous_;
};

class ServerPanel;
// In the shop server: the station that serves a machine and its panel, which
// hands everything to a verb's panel while a verb runs on that station.
struct ServedMachine {
    Station* station = nullptr;
};
using ServedLookup = std::function<ServedMachine(const QString& name)>;
void SetServedMachines(ServedLookup lookup);
bool InShopServer();

// Whatever the verbs print may hold names and text from a machine or a file:
// control characters are escaped as the log escapes them, so that nothing
// a peer sent can steer the terminal or break a line in two.

// "Fenmo32: " + text, on standard error.
void VerbError(const QString& text);
// A line on standard output, in the locale's encoding.
void VerbOut(const QString& line);
// Fields separated by tabs: one line, a tab inside a field escaped too.
QString VerbLine(const QStringList& fields);
void VerbOutFields(const QStringList& fields);

// The machine named by text: a name (first slot with it) or a slot number.
// False when there is none.
bool FindMachine(const QString& text, MachineEntry* found);

// The general settings for a verb that has no session; false (reported)
// when they do not load.
bool ReadVerbSettings(GeneralSettings* g);

// The settings of a slot without applying them; false when they do not load.
bool PeekMachine(int slot, MachineSettings* ms);

// A verb's work on a machine: each operation is a job on the machine's
// station (the session's own, or the shop server's), awaited without a
// loop of its own. Everything it prints goes to the io it was started for,
// however long it waits.
class VerbSession {
public:
    explicit VerbSession(const VerbOptions& options);
    ~VerbSession();

    VerbIO& io;
    ConsolePanel panel;
    // The session's own, or the shop server's that serves the machine.
    Station* station = nullptr;

    // General settings into the station; false (reported) when they do not load.
    bool readGeneralSettings();
    // Applies the machine as the window does, without the list request.
    bool select(const MachineEntry& machine);
    // Runs op as a job of kind for this verb and waits until it has ended;
    // a client that leaves meanwhile cancels it.
    QCoro::Task<Job> run(JobKind kind, std::function<QCoro::Task<void>()> op);
    // The same for a request, through the job table.
    QCoro::Task<Job> run(JobRequest request);
    // Error reports shown during the session.
    int errorReports() const { return errorReports_; }

    // "Fenmo32: text" and a line of fields, to this verb's io.
    void error(const QString& text);
    void outFields(const QStringList& fields);

private:
    QCoro::Task<void> DrainSerialPort();
    int errorReports_ = 0;
    std::unique_ptr<Station> own_;
    bool served_ = false;
    ErrorDialog previousDialog_;
    MessageSink previousSink_;
};

QCoro::Task<int> RunDir(VerbOptions options);
QCoro::Task<int> RunSend(VerbOptions options);
QCoro::Task<int> RunFetch(VerbOptions options);
QCoro::Task<int> RunDelete(VerbOptions options);
// A person's word that the machine is clear after a cut protocol-1 send.
QCoro::Task<int> RunClear(VerbOptions options);
int RunServe(const VerbOptions& options);
// serve --all, or serve with several machines: the shop server.
int RunShopServer(const VerbOptions& options);
int RunStatus(const VerbOptions& options);
QCoro::Task<int> RunMonitor(VerbOptions options);
int RunPrintList(const VerbOptions& options);
int RunHistory(const VerbOptions& options);
int RunRestore(const VerbOptions& options);
int RunJobs(const VerbOptions& options);
QCoro::Task<int> RunCompare(VerbOptions options);
QCoro::Task<int> RunDrip(VerbOptions options);
// The verbs a shop server runs for a client: true when this one goes
// through the server that holds the machine's port (its exit status in *status).
bool ThroughServer(const VerbOptions& options, int* status);
// Runs words (a verb and its arguments) in the shop server for io.
QCoro::Task<int> RunForClient(QStringList words, VerbIO& io);
// The parsed command line (args[0] the program) to its verb.
QCoro::Task<int> RunParsed(QStringList args);
