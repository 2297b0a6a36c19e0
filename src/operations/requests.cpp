// What the operations share: requests by protocol, and names typed by people.
#include "common/ansi.h"
#include "common/apperror.h"
#include "library/programfile.h"
#include "link/frames.h"
#include "link/outgoing.h"
#include "link/programname.h"
#include "link/station.h"

// The protocol-1 request for a letter, in the form the machine's model asks for.
QByteArray Station::ProtocolOneRequest(const QByteArray& letter, const QByteArray& name) const {
    return Machine.Conversion ? BuildColonFrame(":", name, letter) : BuildShortFrame(letter, name);
}

// A protocol-1 message on the serial link, carried in the link's OutBuffer while it goes out.
void Station::SendProtocolOne(QByteArray message) {
    SerialLink.OutBuffer = std::move(message);
    SendDatap1(SerialLink.OutBuffer, SerialLink, false, false);
    SerialLink.OutBuffer.clear();
}

void Station::SendProtocolOne(Outgoing& message) {
    SendDatap1(message, SerialLink, false);
    SerialLink.OutBuffer.clear();
}

// A program file to send; a file that vanished since it was listed is an
// error, never an empty program over the machine's copy.
std::unique_ptr<ProgramTextReader> Station::OpenProgram(const QString& path) {
    auto program = std::make_unique<ProgramTextReader>();
    if (!program->open(path)) throw AppError(53);
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
