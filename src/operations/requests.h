#pragma once
// The steps the operations share: requests by protocol, the exchange each
// opens, and names typed by people.
#include "operations/conversation.h"
#include <QByteArray>
#include <QCoro/QCoroTask>
#include <QString>
#include <memory>

class ProgramTextReader;

// The protocol-1 request for a letter, in the form the machine's model asks for.
QByteArray ProtocolOneRequest(const MachineSettings& m, const QByteArray& letter, const QByteArray& name);
// Sends a protocol-2 request on the machine's link, the serial line awaited.
QCoro::Task<void> SendRequest(Conversation c, QByteArray request);
// Opens a fetch exchange for a program on the machine's link and asks for
// it; the program goes to target when it arrives: the library (a version
// kept) or a copy outside it. False when the request could not go out.
QCoro::Task<bool> RequestProgram(Conversation c, QString name, QString target, bool library, QString comment,
                                 bool manual = false);
// Asks for one program into target; false when it did not arrive there
// (the machine's error status in *status).
QCoro::Task<bool> FetchCopy(Conversation c, QString name, QString target, QString comment, QByteArray* status);
// Fetches back what a send stored and compares it with the file sent.
QCoro::Task<bool> VerifySent(Conversation c, QString name, QString path);
// A program file to send; a file that vanished since it was listed is an
// error, never an empty program over the machine's copy.
std::unique_ptr<ProgramTextReader> OpenProgram(const QString& path);
// A name that would reach the file system as a path, or the machine cut to
// another program's name, is refused before any request goes out; the
// person is told. file: the local file the name came from.
bool RefuseName(Conversation c, const QString& name, const QString& file = {});
