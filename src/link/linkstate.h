#pragma once
// The per-link transfer record; the station holds one for the serial link
// and one for the network link.
#include <QByteArray>
#include <QString>

struct LinkState {
    qint16 Kind = 0;       // 1 serial, 0 network
    QByteArray OutBuffer;  // the message being sent, or the last one sent
    QByteArray InBuffer;   // received since the last complete message
    QString FileName;      // program of the transfer in progress
    quint8 Phase = 0;      // 0 idle, 1 machine stores on the PC, 2 program moving
    QString AbortReason;   // "CTS timeout" or "Inget svar från maskinen"
};
