#include "server/peeraccess.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <sys/stat.h>

namespace {
// The owner's, the group's or the others' bits of mode, as the kernel picks them.
bool Grants(const struct stat& st, const PeerRights& peer, unsigned bits) {
    if (peer.uid == 0) return true;
    unsigned mode = st.st_mode & 7;
    if (st.st_uid == peer.uid) mode = (st.st_mode >> 6) & 7;
    else if (st.st_gid == peer.gid || std::find(peer.groups.begin(), peer.groups.end(), unsigned(st.st_gid)) != peer.groups.end())
        mode = (st.st_mode >> 3) & 7;
    return (mode & bits) == bits;
}
}  // namespace

QString PeerRefusal(const PeerRights& peer, const QString& path, PeerNeed need) {
    const QString shown = QDir::toNativeSeparators(path);
    // The place the links lead to: that is what the server would open.
    char real[PATH_MAX];
    if (!::realpath(QFile::encodeName(path).constData(), real))
        return QStringLiteral("\"%1\" finns inte.").arg(shown);
    const QByteArray target(real);
    const QString refused = need == PeerNeed::Read
                                ? QStringLiteral("\"%1\" kan inte läsas av användaren som bad om det.").arg(shown)
                                : QStringLiteral("mappen \"%1\" kan inte skrivas av användaren som bad om det.").arg(shown);
    // Every folder on the way must let the client through.
    for (qsizetype slash = target.indexOf('/', 1); slash > 0; slash = target.indexOf('/', slash + 1)) {
        struct stat folder{};
        if (::stat(target.left(slash).constData(), &folder) != 0 || !Grants(folder, peer, 1)) return refused;
    }
    struct stat st{};
    if (::stat(target.constData(), &st) != 0) return refused;
    const bool dir = S_ISDIR(st.st_mode);
    const unsigned bits = need == PeerNeed::WriteFolder ? 3 : dir ? 5 : 4;
    if ((need == PeerNeed::WriteFolder && !dir) || !Grants(st, peer, bits)) return refused;
    return {};
}

QString ClientRefusal(const PeerRights* peer, const QString& path, PeerNeed need) {
    return peer ? PeerRefusal(*peer, path, need) : QString();
}
