#pragma once
// Whether a local client could reach a file itself: the server runs verbs
// for its group, and must not lend them its own rights to files.
#include "server/verbio.h"
#include <QString>

enum class PeerNeed {
    Read,         // a file to read, or a folder to read and list
    WriteFolder,  // a folder to make files in
};

// Empty when peer's own rights reach path as need says (every folder on the
// way searchable, the last one readable or writable); else why not, in Swedish.
QString PeerRefusal(const PeerRights& peer, const QString& path, PeerNeed need);
// The same for the client of the verb running now; empty for the terminal.
QString ClientRefusal(const PeerRights* peer, const QString& path, PeerNeed need);
