// The verbs beside a running shop server: for a serial machine whose port
// the server holds, the verb goes through the server's local socket and
// prints what the server's run of it prints; the server runs such verbs on
// the station it already has.
#include "app/verb_session.h"

#include "library/programfile.h"
#include "link/programname.h"
#include "server/shopserver.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>

namespace {
constexpr int kConnectMs = 5000;

// The command line as the server must read it: files and folders absolute,
// since the server does not share this process's working folder.
QStringList WordsFor(const VerbOptions& o) {
    QStringList words{o.verb};
    if (o.overwrite == ConsolePanel::Policy::Yes) words << QStringLiteral("--yes");
    if (o.overwrite == ConsolePanel::Policy::No) words << QStringLiteral("--no");
    if (!o.to.isEmpty()) words << QStringLiteral("--to") << QFileInfo(o.to).absoluteFilePath();
    if (!o.folder.isEmpty()) words << QStringLiteral("--folder") << QFileInfo(o.folder).absoluteFilePath();
    if (!o.from.isEmpty()) words << QStringLiteral("--from") << o.from;
    if (o.fromToolChange) words << QStringLiteral("--from-tool-change");
    words << QStringLiteral("--");
    for (qsizetype i = 0; i < o.args.size(); ++i)
        words << (i > 0 && (o.verb == QLatin1String("send") || o.verb == QLatin1String("drip"))
                      ? QFileInfo(o.args[i]).absoluteFilePath()
                      : o.args[i]);
    return words;
}

void Send(QLocalSocket& socket, const QJsonObject& message) {
    socket.write(QJsonDocument(message).toJson(QJsonDocument::Compact) + '\n');
    socket.flush();
}
}  // namespace

namespace {
// One verb's conversation with the server: its lines as they come (out
// goes to lines when given), and its exit status.
int Converse(const QString& server, const QStringList& words, const std::function<void(const QString&)>& lines = {}) {
    QLocalSocket socket;
    socket.connectToServer(server);
    if (!socket.waitForConnected(kConnectMs)) {
        VerbError(QStringLiteral("servern (process %1) håller maskinen men svarar inte: %2")
                      .arg(RunningServer())
                      .arg(socket.errorString()));
        return VerbFailed;
    }
    Send(socket, {{QStringLiteral("words"), QJsonArray::fromStringList(words)}});
    QByteArray buffer;
    for (;;) {
        qsizetype end;
        while ((end = buffer.indexOf('\n')) < 0) {
            if (socket.state() != QLocalSocket::ConnectedState && socket.bytesAvailable() == 0) {
                VerbError(QStringLiteral("servern avbröt förbindelsen innan kommandot var klart."));
                return VerbFailed;
            }
            socket.waitForReadyRead(1000);
            buffer += socket.readAll();
        }
        const QJsonObject m = QJsonDocument::fromJson(buffer.left(end)).object();
        buffer.remove(0, end + 1);
        if (m.contains(QStringLiteral("out"))) {
            const QString text = m.value(QStringLiteral("out")).toString();
            if (lines) lines(text);
            else VerbConsole().out(text);
        }
        if (m.contains(QStringLiteral("err"))) VerbConsole().err(m.value(QStringLiteral("err")).toString());
        if (m.contains(QStringLiteral("exit"))) return m.value(QStringLiteral("exit")).toInt(VerbFailed);
    }
}

// The overwrite questions are the person's at this terminal, asked before
// the server queues anything: the server never waits for an answer. Keeps
// in options the files or programs to go with --yes; false when the person
// cancelled. *refused: how many were answered no.
bool AskFirst(const QString& server, const MachineEntry& machine, VerbOptions& options, int* refused) {
    *refused = 0;
    QStringList onMachine;
    QString folder = options.to;
    if (options.verb == QLatin1String("send")) {
        QStringList listed;
        if (Converse(server, {QStringLiteral("dir"), QStringLiteral("--"), options.args.value(0)},
                     [&](const QString& line) { listed << line.section(QLatin1Char('\t'), 0, 0); }) != VerbOk) {
            VerbError(QStringLiteral("ingen programlista från maskinen; inget sändes."));
            return false;
        }
        onMachine = listed;
    } else {
        MachineSettings ms;
        if (folder.isEmpty() && PeekMachine(machine.slot, &ms)) folder = ms.SendPath;
    }
    MachineSettings ms;
    PeekMachine(machine.slot, &ms);
    QStringList kept{options.args.value(0)};
    for (qsizetype i = 1; i < options.args.size(); ++i) {
        const QString& item = options.args[i];
        const bool exists = options.verb == QLatin1String("send")
                                ? onMachine.contains(NameWithoutExt(QFileInfo(item).fileName()), Qt::CaseInsensitive)
                                : QFileInfo::exists(ProgramPath(folder, item, ms.Extension));
        if (!exists) {
            kept << item;
            continue;
        }
        const QString question = options.verb == QLatin1String("send")
                                     ? QStringLiteral("Filen finns redan i maskinen. Skriva över?")
                                     : QStringLiteral("Filen finns redan. Skriva över?");
        const QString a = VerbConsole()
                              .ask(QStringLiteral("%1 (%2) [j]a, [n]ej, [a]vbryt: ").arg(question, item))
                              .value_or(QString())
                              .trimmed()
                              .toLower();
        if (a == QLatin1String("a") || a == QLatin1String("avbryt")) return false;
        if (a == QLatin1String("j") || a == QLatin1String("ja") || a == QLatin1String("y") || a == QLatin1String("yes")) {
            kept << item;
        } else {
            ++*refused;
            VerbError(QStringLiteral("\"%1\" %2.").arg(item, options.verb == QLatin1String("send")
                                                                ? QStringLiteral("sändes inte")
                                                                : QStringLiteral("hämtades inte")));
        }
    }
    options.args = kept;
    options.overwrite = ConsolePanel::Policy::Yes;
    return true;
}
}  // namespace

bool ThroughServer(const VerbOptions& options, int* status) {
    if (InShopServer()) return false;
    MachineEntry machine;
    if (!FindMachine(options.args.value(0), &machine)) return false;
    const QString server = ServerSocketFor(machine.name);
    if (server.isEmpty()) return false;
    VerbOptions o = options;
    int refused = 0;
    const bool asks = o.overwrite == ConsolePanel::Policy::Ask && VerbConsole().interactive() &&
                      (o.verb == QLatin1String("send") || o.verb == QLatin1String("fetch"));
    if (asks && !AskFirst(server, machine, o, &refused)) {
        *status = VerbFailed;
        return true;
    }
    if (o.args.size() < 2 && o.verb != QLatin1String("dir") && o.verb != QLatin1String("compare") &&
        o.verb != QLatin1String("clear")) {
        *status = refused ? VerbFailed : VerbOk;
        return true;
    }
    *status = Converse(server, WordsFor(o));
    if (*status == VerbOk && refused) *status = VerbFailed;
    return true;
}

QCoro::Task<int> RunForClient(QStringList words, VerbIO& io) {
    // The client's io holds only while the verb starts: from then on its
    // session writes to io itself, whatever other client runs meanwhile.
    QCoro::Task<int> verb = [&] {
        const VerbIOScope scope(io);
        return RunParsed(QStringList{QStringLiteral("Fenmo32")} + words);
    }();
    co_return co_await verb;
}
