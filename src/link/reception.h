#pragma once
// What one connection (the serial line, the PC's connection, each accepted
// connection) is receiving: the bytes of the message under way, whether the
// rest of a refused or aborted message is being passed over, the program
// being written and where it goes, fixed when its header arrived. Clearing
// it clears all of it.
#include "link/incomingprogram.h"
#include <QByteArray>
#include <QString>
#include <QTimer>
#include <memory>

struct Reception {
    // Passing over: not, up to the next "%", or just after a "%" that ended
    // a piece, where the next byte tells whether it started a new message.
    enum class Pass { No, ToPercent, AfterPercent };

    explicit Reception(QByteArray& buffer) : in(buffer) {
        silence.setSingleShot(true);
        silence.setTimerType(Qt::PreciseTimer);
    }

    QByteArray& in;  // held in memory: a whole message, or a program's header
    Pass skip = Pass::No;
    std::unique_ptr<IncomingProgram> program;
    // The program answers this exchange (0: the machine's own store).
    quint64 answers = 0;
    QString origin;  // for the version its store keeps; empty: keeps none
    QString name;    // of the program under way
    qint64 nextSpaceCheck = 0;  // the disk's free space is looked at again from this size
    QString spaceShort;         // why the disk is too full, told at the program's end
    // A network connection silent in the middle of a message is closed.
    QTimer silence;
    // Stores of its messages still on a worker: its next message waits.
    int storing = 0;

    bool busy() const { return !in.isEmpty() || program != nullptr; }
    // Forgets the message under way; the rest of it is no message of its own.
    void abort() {
        const bool under = busy();
        clear();
        if (under) skip = Pass::ToPercent;
    }
    void clear() {
        in.clear();
        program.reset();  // its temporary file goes with it
        skip = Pass::No;
        answers = 0;
        origin.clear();
        name.clear();
        nextSpaceCheck = 0;
        spaceShort.clear();
        silence.stop();
    }
};
