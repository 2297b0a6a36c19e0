#pragma once
// The station's network connections: the PC's own connection to the machine
// and those the machine opened, each with what it is receiving and what is
// still to go out on it, fed from its file as the socket drains. Part of its
// Station, whose receiving, exchange and status line it uses.
#include "link/reception.h"
#include <QByteArray>
#include <QString>
#include <QTimer>
#include <deque>
#include <memory>
#include <unordered_map>
#include <vector>

class Outgoing;
class QTcpSocket;
class Station;

class NetConnections {
public:
    explicit NetConnections(Station& station);
    ~NetConnections();

    // A connection the machine opened: the socket, what it is receiving,
    // and replies still to go out on it after a wait.
    struct Accepted {
        QTcpSocket* socket = nullptr;
        QByteArray buffer;
        Reception rx{buffer};
        int pending = 0;
        QTimer stall;  // a machine that stops reading what goes out to it
    };

    // The PC's own connection, made by the station: its events come here.
    void wire(QTcpSocket* pc);
    // A new connection of the machine's, let in by a listener.
    void accept(qintptr descriptor, const QString& from);
    // Hands message to socket; it goes out as the socket drains.
    void write(QTcpSocket* socket, std::unique_ptr<Outgoing> message);
    // Stops what goes out on socket (its file closes); the socket is dropped.
    void stopSending(QTcpSocket* socket);
    // Forgets what was to go out on socket, before it connects anew.
    void forget(QTcpSocket* socket);
    // The abort routine: the PC's own connection, and with machinesToo the
    // machine's own connections, stop receiving and sending.
    void abort(bool machinesToo);
    // The station goes: sockets go before the receptions that name them.
    void close();
    // Reads what socket has; also once its store is answered.
    void arrived(QTcpSocket* socket);

    Accepted* of(QTcpSocket* socket) const;
    int count() const { return int(accepted_.size()); }
    // A connection of the machine's is in the middle of a message.
    bool receiving() const;
    // Nothing under way on any connection, either way.
    bool idle() const;
private:
    void pcError();
    void disconnected(QTcpSocket* socket);
    void silent(QTcpSocket* socket);
    void feed(QTcpSocket* socket);

    Station& st_;
    std::vector<std::unique_ptr<Accepted>> accepted_;
    // Messages waiting for each socket, in order; the first is being written.
    std::unordered_map<QTcpSocket*, std::deque<std::unique_ptr<Outgoing>>> outgoing_;
    QByteArray readBuffer_;
    bool pcClosedByMachine_ = false;  // the machine ended the PC's own connection
};
