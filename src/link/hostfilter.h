#pragma once
// Who may connect to the listening port: the general settings AllowedHosts
// (addresses and CIDR ranges, comma separated) and ListenAddress.
#include <QHostAddress>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

class HostFilter {
public:
    // An entry is an address (four decimal octets, or IPv6) or such an
    // address, "/" and a prefix length. Others land in *bad and allow no one;
    // a list of only bad entries therefore lets no one in.
    explicit HostFilter(const QString& allowedHosts = {}, QStringList* bad = nullptr);

    // An empty setting (blanks only): anyone, as without the setting.
    bool allows(const QHostAddress& peer) const;
    bool open() const { return open_; }
    // The addresses and ranges let in.
    const QList<QPair<QHostAddress, int>>& ranges() const { return ranges_; }

private:
    bool open_ = true;
    QList<QPair<QHostAddress, int>> ranges_;
};

// An IPv4 peer reached through an IPv6 socket ("::ffff:10.0.0.5") as plain IPv4.
QHostAddress Unmapped(const QHostAddress& address);

// A machine's "IP" setting: four decimal octets without leading zeros, a
// full IPv6 address, or a host name (letters, digits, "-" and "."; its last
// label starts with a letter, so that "127.5" or "0x7f.1" never reaches a
// resolver that would read them as addresses). An address lands in
// *address; a name only says true with *name set (the caller resolves it).
bool ParseMachineAddress(const QString& text, QHostAddress* address, QString* name);

// ListenAddress: empty means every interface. False when the text is not an address.
bool ParseListenAddress(const QString& text, QHostAddress* address);

// The far end of an accepted connection not yet handed to a socket object.
QHostAddress PeerOfDescriptor(qintptr descriptor);
// Closes an accepted connection that is not let in.
void CloseDescriptor(qintptr descriptor);
