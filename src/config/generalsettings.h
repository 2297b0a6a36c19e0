#pragma once
// Section "Program" of the general settings file.
#include <QString>

struct GeneralSettings {
    bool HideBreak = false;
    bool SuppressErrors = false;
    // Timer intervals in milliseconds, 0 to 65535.
    int GeneralTimeout = 5000;
    int SvarTimeout = 4000;
    int RecTimeout = 5000;
    int SendTimeout = 5000;
    int CtsTimeout = 8000;
    quint8 StartupView = 0;
    bool Debug = false;  // hex dumps of serial traffic
    // Treat CTS as always present (lines without modem lines).
    bool IgnoreCts = false;
    // Local TCP port that machines connect to.
    int ListenPort = 10000;
    // Largest message accepted from a machine, in bytes.
    qint64 MaxMessage = 64 * 1024 * 1024;
    // External NC editor; empty opens files with their associated program.
    QString Editor;
    // Who may connect to ListenPort: addresses and CIDR ranges, comma
    // separated; empty lets anyone in.
    QString AllowedHosts;
    // Local address to listen on; empty: every interface.
    QString ListenAddress;
    // Earlier versions kept per program (0: none) and the store's limit.
    int HistoryKeep = 20;
    int HistoryMaxMB = 2048;
    // Each program a send stored is fetched back and compared.
    bool VerifyAfterSend = false;
    // Largest program a machine may store, in MB; 0: no limit of its own
    // (the disk's free space still is one).
    int MaxProgramMB = 0;
    // The shop server's web page and API: port (0: off), local address, the
    // bearer token changing requests need (empty: read-only), and the
    // traffic rows kept for each machine.
    int WebPort = 0;
    QString WebAddress = QStringLiteral("127.0.0.1");
    QString WebToken;
    // A token per person, "name:token, name:token": a job is credited to the name too.
    QString WebTokens;
    int TrafficRows = 500;
    // Who may connect to the web port (as AllowedHosts; when the key is
    // missing, AllowedHosts' value), the names besides its address that a
    // request's Host may carry (comma separated), the largest request body
    // in MB (MaxProgramMB when that is set and smaller), the connections
    // at once, and the time for a request's line and headers in ms.
    QString WebAllowedHosts;
    QString WebHostNames;
    int WebMaxBodyMB = 64;
    int WebConnections = 64;
    int JobRows = 1000;  // ended jobs the server keeps at hand for the API
    int WebHeaderTimeout = 10000;
};

// Reads the keys in a fixed order, storing each at once. The first value of
// the original keys (HideBreak to Debug) that does not convert raises
// AppError (13 not a number, 6 out of range): the keys before it are in
// force, the others keep what g held. A bad value of a key added since falls
// back to that key's default, with a log line.
void ReadGeneralSettings(GeneralSettings& g);

// Device of serial port n: "COMn" on Windows; elsewhere key "COMn" of section
// "ComPorts" of the general settings file, else "/dev/ttyS" + (n - 1).
QString ComPortDevice(int n);
