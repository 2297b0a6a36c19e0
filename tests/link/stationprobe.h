#pragma once
// What a test must see or set of a station's insides: its timers, link records and flags.
#include "link/station.h"
struct StationProbe {
    static bool& aborted(Station& s) { return s.Aborted; }
    static bool& transferDone(Station& s) { return s.TransferDone; }
    static LinkState& netLink(Station& s) { return s.NetLink; }
    static QTimer& ctsTimer(Station& s) { return s.CtsTimer; }
    static QTimer& sendTimer(Station& s) { return s.SendTimer; }
    static QTimer& recTimer(Station& s) { return s.RecTimer; }
    static QTimer& svarTimer(Station& s) { return s.SvarTimer; }
    static QTimer& netTimer(Station& s) { return s.NetTimer; }
    static QTimer& timeoutTimer(Station& s) { return s.TimeoutTimer; }
};
