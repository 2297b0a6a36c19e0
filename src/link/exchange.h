#pragma once
// One request the PC made of a machine, from the moment it goes out until
// its answer, its time-out or an abort ends it. Only an answer on the same
// connection, with the same command and name, belongs to it.
#include <QByteArray>
#include <QString>

class QTcpSocket;

struct Exchange {
    enum class State { Open, Done, Failed, Ended };

    quint64 id = 0;
    // Protocol 2: "LOD", "SAV", "DRQ", "DEL"; protocol 1: "L", "D", "E".
    QByteArray command;
    QString name;  // as the frame carries it; empty for a list
    QTcpSocket* socket = nullptr;  // the PC's connection; null: the serial line
    // A fetch: the file its program replaces, fixed when it was asked for,
    // whether that file is the library's (a version is kept), and the
    // comment of a copy outside the library.
    QString target;
    bool library = true;
    QString comment;
    // A comparison goes on after a machine's error status: it is kept here
    // instead of stopping the run.
    bool keepErrors = false;
    // The serial receive time-out bounds its wait for the answer.
    bool silence = false;
    // Its whole answer arrived (a program still going to its file): what
    // the connection does after that changes nothing.
    bool arrived = false;
    State state = State::Open;
    QByteArray status;  // the machine's error status

    bool open() const { return state == State::Open; }
};
