// What the operations share: requests by protocol, and names typed by people.
#include "common/ansi.h"
#include "link/frames.h"
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

// A name that would reach the file system as a path is refused before any
// request goes out.
bool Station::RefuseName(const QString& name) {
    const QString problem = ProgramNameProblem(name);
    if (problem.isEmpty()) return false;
    panel_.message(QStringLiteral("Ogiltigt programnamn \"%1\": %2.").arg(name, problem), AppTitle(),
                   MsgIcon::Exclamation, OperatorPanel::Buttons::Ok);
    Status(QStringLiteral("Ogiltigt programnamn."));
    return true;
}
