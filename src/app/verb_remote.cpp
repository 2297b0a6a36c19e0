// The verbs beside a running shop server: for a serial machine whose port
// the server holds, the verb goes through the server's local socket and
// prints what the server's run of it prints; the server runs such verbs on
// the station it already has.
#include "app/verb_session.h"

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
    words << QStringLiteral("--");
    for (qsizetype i = 0; i < o.args.size(); ++i)
        words << (i > 0 && o.verb == QLatin1String("send") ? QFileInfo(o.args[i]).absoluteFilePath() : o.args[i]);
    return words;
}

void Send(QLocalSocket& socket, const QJsonObject& message) {
    socket.write(QJsonDocument(message).toJson(QJsonDocument::Compact) + '\n');
    socket.flush();
}
}  // namespace

bool ThroughServer(const VerbOptions& options, int* status) {
    if (InShopServer()) return false;
    MachineEntry machine;
    if (!FindMachine(options.args.value(0), &machine)) return false;
    const QString name = ServerSocketFor(machine.name);
    if (name.isEmpty()) return false;
    QLocalSocket socket;
    socket.connectToServer(name);
    if (!socket.waitForConnected(kConnectMs)) {
        VerbError(QStringLiteral("servern (process %1) håller maskinens port men svarar inte: %2")
                      .arg(RunningServer())
                      .arg(socket.errorString()));
        *status = VerbFailed;
        return true;
    }
    Send(socket, {{QStringLiteral("words"), QJsonArray::fromStringList(WordsFor(options))},
                  {QStringLiteral("interactive"), VerbConsole().interactive()}});
    QByteArray buffer;
    for (;;) {
        qsizetype end;
        while ((end = buffer.indexOf('\n')) < 0) {
            if (socket.state() != QLocalSocket::ConnectedState && socket.bytesAvailable() == 0) {
                VerbError(QStringLiteral("servern avbröt förbindelsen innan kommandot var klart."));
                *status = VerbFailed;
                return true;
            }
            socket.waitForReadyRead(1000);
            buffer += socket.readAll();
        }
        const QJsonObject m = QJsonDocument::fromJson(buffer.left(end)).object();
        buffer.remove(0, end + 1);
        if (m.contains(QStringLiteral("out"))) VerbConsole().out(m.value(QStringLiteral("out")).toString());
        if (m.contains(QStringLiteral("err"))) VerbConsole().err(m.value(QStringLiteral("err")).toString());
        if (m.contains(QStringLiteral("ask"))) {
            const auto typed = VerbConsole().ask(m.value(QStringLiteral("ask")).toString());
            Send(socket, {{QStringLiteral("answer"), typed.value_or(QString())}});
        }
        if (m.contains(QStringLiteral("exit"))) {
            *status = m.value(QStringLiteral("exit")).toInt(VerbFailed);
            return true;
        }
    }
}

int RunForClient(const QStringList& words, VerbIO& io) {
    const VerbIOScope scope(io);
    return RunParsed(QStringList{QStringLiteral("Fenmo32")} + words);
}
