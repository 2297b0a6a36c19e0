// What the operations share: requests by protocol, the exchange each opens,
// and names typed by people.
#include "common/ansi.h"
#include "common/apperror.h"
#include "common/log.h"
#include "library/programfile.h"
#include "link/frames.h"
#include "link/outgoing.h"
#include "link/programname.h"
#include "link/station.h"
#include <QTcpSocket>

// The protocol-1 request for a letter, in the form the machine's model asks for.
QByteArray Station::ProtocolOneRequest(const QByteArray& letter, const QByteArray& name) const {
    return Machine.Conversion ? BuildColonFrame(":", name, letter) : BuildShortFrame(letter, name);
}

// A protocol-1 message on the serial link, carried in the link's OutBuffer while it goes out.
QCoro::Task<void> Station::SendProtocolOne(QByteArray message) {
    SerialLink.OutBuffer = std::move(message);
    SendDatap1(SerialLink.OutBuffer, SerialLink, false, false);
    SerialLink.OutBuffer.clear();
    co_await AwaitLine();
}

QCoro::Task<bool> Station::SendProtocolOne(Outgoing& message) {
    auto whole = std::make_shared<bool>(false);
    SendDone done = [whole](bool w) { *whole = w; };
    SendDatap1(message, SerialLink, false, std::move(done));
    SerialLink.OutBuffer.clear();
    co_await AwaitLine();
    co_return *whole;
}

// Sends the request for one program on the machine's link.
QCoro::Task<void> Station::SendRequest(QByteArray request, qint16 typ) {
    rx_.clearInput(typ == 0 ? comsock : nullptr);
    if (typ == 0) SendData(request, NetLink, comsock, false);
    else {
        SendData(request, SerialLink, nullptr, false);
        co_await AwaitLine();
    }
}

// Asks for one program, which goes to target when it arrives: the library
// (a version kept) or a copy outside it. The exchange is open when this
// returns true; false when the request could not go out.
QCoro::Task<bool> Station::RequestProgram(QString n, QString target, bool library, QString comment, bool manual) {
    const QByteArray name = ToAnsi(n);
    MachineLink().FileName = n;
    auto open = [&](const QByteArray& request, QTcpSocket* socket) {
        Exchange& x = exchanges_.open(Machine.Typ == 2 ? QByteArray("L") : QByteArray("LOD"),
                           Machine.Typ == 2 ? P1Name(request) : FromAnsi(TrimBlanks(request.mid(9, 6))), socket);
        x.target = target;
        x.library = library;
        x.comment = comment;
        // A copy outside the library (a comparison, a read-back) goes on past a machine's error.
        x.keepErrors = !library;
    };
    if (Machine.Typ == 0) {
        comsock->abort();
        if (!co_await ConnectToSock(comsock)) co_return false;
        Status(QStringLiteral("Ansluten, Skickar begäran..."));
        const QByteArray request = BuildFrame("C", "LOD", "", name, "00");
        open(request, comsock);
        co_await SendRequest(request, 0);
    } else if (Machine.Typ == 1) {
        Status(QStringLiteral("Ansluten, Skickar begäran..."));
        const QByteArray request = BuildFrame("C", "LOD", "", name, "00");
        open(request, nullptr);
        co_await SendRequest(request, 1);
    } else if (Machine.Typ == 2) {
        Status(QStringLiteral("Ansluten, Skickar begäran..."));
        if (Machine.Conversion || manual) {
            Status(QStringLiteral("Skickar data..."));
        } else {
            Status(QStringLiteral("Skickar begäran..."));
            Status(QStringLiteral("Väntar på maskinsvar..."));
        }
        const QByteArray request = ProtocolOneRequest("L", name);
        open(request, nullptr);
        rx_.clearInput(nullptr);
        co_await SendProtocolOne(request);
    } else {
        co_return false;
    }
    if (Aborted) exchanges_.end(Exchange::State::Ended);
    co_return OpenExchange() != nullptr;
}

// A program file to send; a file that vanished since it was listed is an
// error, never an empty program over the machine's copy.
std::unique_ptr<ProgramTextReader> Station::OpenProgram(const QString& path) {
    auto program = std::make_unique<ProgramTextReader>();
    if (!program->open(path, true)) throw AppError(53);
    return program;
}

// A name that would reach the file system as a path, or the machine cut to
// another program's name, is refused before any request goes out. file: the
// local file the name came from, for the message.
bool Station::RefuseName(const QString& name, const QString& file) {
    const QString problem = ProgramNameRefusal(name, Machine);
    if (problem.isEmpty()) return false;
    const QString text = file.isEmpty()
                             ? QStringLiteral("Ogiltigt programnamn \"%1\": %2.").arg(name, problem)
                             : QStringLiteral("Ogiltigt programnamn \"%1\" (filen \"%2\"): %3.").arg(name, file, problem);
    panel_.message(text, AppTitle(), MsgIcon::Exclamation, OperatorPanel::Buttons::Ok);
    Status(QStringLiteral("Ogiltigt programnamn."));
    return true;
}
