// What the operations share: requests by protocol, the exchange each opens,
// and names typed by people.
#include "operations/requests.h"
#include "common/ansi.h"
#include "common/apperror.h"
#include "common/log.h"
#include "library/programfile.h"
#include "link/frames.h"
#include "link/programname.h"

QByteArray ProtocolOneRequest(const MachineSettings& m, const QByteArray& letter, const QByteArray& name) {
    return m.Conversion ? BuildColonFrame(":", name, letter) : BuildShortFrame(letter, name);
}

QCoro::Task<void> SendRequest(Conversation c, QByteArray request) {
    c.clearInput();
    c.send(request);
    if (c.machine().Typ != 0) co_await c.awaitLine();
}

QCoro::Task<bool> RequestProgram(Conversation c, QString n, QString target, bool library, QString comment, bool manual) {
    const MachineSettings& m = c.machine();
    const QByteArray name = ToAnsi(n);
    c.naming(n);
    auto open = [&](const QByteArray& request) {
        Exchange& x = c.open(m.Typ == 2 ? QByteArray("L") : QByteArray("LOD"),
                             m.Typ == 2 ? P1Name(request) : FromAnsi(TrimBlanks(request.mid(9, 6))));
        x.target = target;
        x.library = library;
        x.comment = comment;
        // A copy outside the library (a comparison, a read-back) goes on past a machine's error.
        x.keepErrors = !library;
    };
    if (m.Typ == 0) {
        if (!co_await c.connect(true)) co_return false;
        c.status(QStringLiteral("Ansluten, Skickar begäran..."));
        const QByteArray request = BuildFrame("C", "LOD", "", name, "00");
        open(request);
        co_await SendRequest(c, request);
    } else if (m.Typ == 1) {
        c.status(QStringLiteral("Ansluten, Skickar begäran..."));
        const QByteArray request = BuildFrame("C", "LOD", "", name, "00");
        open(request);
        co_await SendRequest(c, request);
    } else if (m.Typ == 2) {
        c.status(QStringLiteral("Ansluten, Skickar begäran..."));
        if (m.Conversion || manual) {
            c.status(QStringLiteral("Skickar data..."));
        } else {
            c.status(QStringLiteral("Skickar begäran..."));
            c.status(QStringLiteral("Väntar på maskinsvar..."));
        }
        const QByteArray request = ProtocolOneRequest(m, "L", name);
        open(request);
        c.clearInput();
        co_await c.sendP1(request);
    } else {
        co_return false;
    }
    if (c.aborted()) c.end();
    co_return c.pending() != nullptr;
}

std::unique_ptr<ProgramTextReader> OpenProgram(const QString& path) {
    auto program = std::make_unique<ProgramTextReader>();
    if (!program->open(path, true)) throw AppError(53);
    return program;
}

bool RefuseName(Conversation c, const QString& name, const QString& file) {
    const QString problem = ProgramNameRefusal(name, c.machine());
    if (problem.isEmpty()) return false;
    const QString text = file.isEmpty()
                             ? QStringLiteral("Ogiltigt programnamn \"%1\": %2.").arg(name, problem)
                             : QStringLiteral("Ogiltigt programnamn \"%1\" (filen \"%2\"): %3.").arg(name, file, problem);
    c.panel().message(text, AppTitle(), MsgIcon::Exclamation, OperatorPanel::Buttons::Ok);
    c.status(QStringLiteral("Ogiltigt programnamn."));
    return true;
}
