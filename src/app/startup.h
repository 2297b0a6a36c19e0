#pragma once
// The program's start: splash, the main window's load, about three seconds
// of events with the splash on screen, then the main window.
class frm_main;
class SerialPort;

struct StartupOptions {
    bool splash = true;          // false: no splash and no wait (tests, scripts)
    SerialPort* port = nullptr;  // the window's serial port; owned by it
};

// Returns the shown main window; it deletes itself when closed.
frm_main* RunStartup(const StartupOptions& options);
