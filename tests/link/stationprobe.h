#pragma once
// What a test must see or do of a station's insides: its timers, link
// records, flags and the link engine's own sends and waits.
#include "station/station.h"
struct StationProbe {
    static bool& aborted(Station& s) { return s.Aborted; }
    static bool& transferDone(Station& s) { return s.TransferDone; }
    static LinkState& netLink(Station& s) { return s.NetLink; }
    static LinkState& machineLink(Station& s) { return s.MachineLink(); }
    static QTimer& ctsTimer(Station& s) { return s.CtsTimer; }
    static QTimer& sendTimer(Station& s) { return s.SendTimer; }
    static QTimer& recTimer(Station& s) { return s.RecTimer; }
    static QTimer& svarTimer(Station& s) { return s.SvarTimer; }
    static QTimer& netTimer(Station& s) { return s.NetTimer; }
    static QTimer& timeoutTimer(Station& s) { return s.TimeoutTimer; }
    // Fires the first running time-out as if its time had come; false when none runs.
    static bool expireNext(Station& s) {
        const std::pair<QTimer*, void (Station::*)()> timers[] = {
            {&s.RecTimer, &Station::RecTimer_Timer},   {&s.SvarTimer, &Station::SvarTimer_Timer},
            {&s.SendTimer, &Station::SendTimer_Timer}, {&s.CtsTimer, &Station::CtsTimer_Timer},
            {&s.NetTimer, &Station::NetTimer_Timer},   {&s.TimeoutTimer, &Station::TimeoutTimer_Timer}};
        for (const auto& [timer, handler] : timers)
            if (timer->isActive()) {
                timer->stop();
                (s.*handler)();
                return true;
            }
        return false;
    }
    // A message on the machine's link, as an operation sends it.
    static void send(Station& s, QByteArray& m, bool quiet = false) { s.SendData(m, s.MachineLink(), nullptr, quiet); }
    static void sendP1(Station& s, QByteArray& m) { s.SendDatap1(m, s.MachineLink(), false, false); }
    static QCoro::Task<bool> awaitLine(Station& s) { return s.AwaitLine(); }
    // What waits in WaitFor looks again.
    static void wake(Station& s) { s.Wake(); }
    static QCoro::Task<bool> connect(Station& s) { return s.ConnectToSock(s.comsock); }
    static QCoro::Task<bool> isoSend(Station& s, const QString& path, const QString& name) { return s.IsoSend(path, name); }
};
