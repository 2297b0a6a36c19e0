#pragma once
// The PC as the machine's file server: the machine's own requests for a
// program, for the PC's list, to store and to erase. It works in the
// machine's configured folders only, whatever job runs meanwhile, and
// answers on the connection the request came on. Part of its Station, whose
// links, log and records it uses.
#include "station/serialsender.h"
#include <QByteArray>
#include <QString>
#include <functional>
#include <memory>

class Outgoing;
class ProgramTextReader;
class Station;
struct LinkState;

class Responder {
public:
    using SendDone = SerialSender::SendDone;
    explicit Responder(Station& station) : st_(station) {}

    // Protocol 2: a request ("C") the machine sent, checksum checked.
    void request(QByteArray& message, LinkState& link, const QByteArray& command, const QByteArray& selector,
                 const QString& name);
    // Protocol 1: the machine asks for a program (colon: in the colon form),
    // for the PC's list, or erases a program.
    void serve(const QString& name, bool colon, LinkState& link);
    void list(bool colon, LinkState& link);
    void erase(const QString& name, LinkState& link);
    // A reply that goes out after a wait, on the connection its request came
    // on; nothing waits for it meanwhile.
    void replyLater(QByteArray reply, LinkState& link, int ms);
    // Where a program the machine stores goes: the machine's own folder.
    QString storePath(const QString& name) const;
    qint64 storedSize(const QString& name) const;

private:
    std::unique_ptr<ProgramTextReader> readFor(const QString& name);
    void moveToTrash(const QString& name, std::function<void(bool moved)> done);
    SendDone loaded(Outgoing& reply, const QString& name, const QString& by);
    QByteArray pcList(bool narrow, const QString& pattern) const;
    qint64 servedSize(const QString& name) const;
    QString folder() const;

    Station& st_;
};
