// The verbs' local socket stays up through what a neighbour can do to it,
// and lends no client the server's rights to files.
#include "library/programfile.h"
#include "server/peeraccess.h"
#include "server/verbsocket.h"
#include "support/testhome.h"
#include "support/wait.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {
QCoro::Task<int> Done(QStringList, VerbIO&) { co_return 0; }

// A verb's exit status through the socket; -1 when none came.
int Ask(const QString& path) {
    QLocalSocket client;
    client.connectToServer(path);
    if (!client.waitForConnected(1000)) return -1;
    client.write(R"({"words":["dir","M"]})" "\n");
    QByteArray got;
    WaitUntil([&] {
        got += client.readAll();
        return got.contains("exit") || client.state() != QLocalSocket::ConnectedState;
    }, 3000);
    return got.contains("exit") ? QJsonDocument::fromJson(got.trimmed()).object().value("exit").toInt(-1) : -1;
}

int RawClient(const QString& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    qstrncpy(a.sun_path, QFile::encodeName(path).constData(), sizeof a.sun_path);
    ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    return fd;
}
}  // namespace

TEST(VerbSocketStays, PlantedFolderAcceptFailureAndTooManyClients) {
    TestHome home;
    const QString path = home.file("fenmo.sock");
    VerbSocket socket(Done);
    socket.setRetryInterval(50);

    // A folder where the socket goes: said, and the socket comes once it is gone.
    ASSERT_TRUE(QDir().mkdir(path));
    EXPECT_FALSE(socket.listen(path));
    EXPECT_TRUE(home.read("fenmo32.log").contains("något annat än en socket"));
    ASSERT_TRUE(QDir().rmdir(path));
    ASSERT_TRUE(WaitUntil([&] { return socket.listening(); }, 3000));
    EXPECT_EQ(Ask(path), 0);

    // No descriptor left when clients come: the accept fails, and the
    // socket is made again once there are.
    socket.setRetryInterval(1000);
    WaitUntil([] { return false; }, 100);
    std::vector<int> held;
    for (int i = 0; i < 8; ++i) held.push_back(RawClient(path));
    rlimit was{};
    getrlimit(RLIMIT_NOFILE, &was);
    rlimit low = was;
    low.rlim_cur = QDir(QStringLiteral("/proc/self/fd")).count() - 3;  // less ".", ".." and the listing's own
    setrlimit(RLIMIT_NOFILE, &low);
    EXPECT_TRUE(WaitUntil([&] { return !socket.listening(); }, 3000));
    for (const int fd : held) ::close(fd);
    setrlimit(RLIMIT_NOFILE, &was);
    ASSERT_TRUE(WaitUntil([&] { return socket.listening(); }, 5000));
    EXPECT_EQ(Ask(path), 0);

    // Past the cap of clients who say nothing, the next is closed at once.
    held.clear();
    for (int i = 0; i < VerbSocket::kMaxClients; ++i) held.push_back(RawClient(path));
    WaitUntil([] { return false; }, 300);
    EXPECT_EQ(Ask(path), -1);
    EXPECT_TRUE(home.read("fenmo32.log").contains("högst 32 kommandon"));
    for (const int fd : held) ::close(fd);
    EXPECT_TRUE(WaitUntil([&] { return Ask(path) == 0; }, 3000));
}

// Rights of a neighbour (another user, maybe in the file's group) against
// files of this process's user.
TEST(SocketClientRights, OnlyWhatTheClientCouldReachItself) {
    TestHome home;
    const QString root = home.file("rights");
    ASSERT_TRUE(QDir().mkpath(root + "/open") && QDir().mkpath(root + "/shut") && QDir().mkpath(root + "/shared"));
    const auto mode = [](const QString& p, mode_t m) { ASSERT_EQ(::chmod(QFile::encodeName(p).constData(), m), 0); };
    mode(home.file(""), 0755);
    mode(root, 0755);
    home.write("rights/open/private.NC", "G1");
    home.write("rights/open/group.NC", "G1");
    home.write("rights/open/all.NC", "G1");
    home.write("rights/shut/all.NC", "G1");
    mode(root + "/open", 0755);
    mode(root + "/shut", 0700);
    mode(root + "/shared", 0770);
    mode(root + "/open/private.NC", 0600);
    mode(root + "/open/group.NC", 0640);
    mode(root + "/open/all.NC", 0644);
    mode(root + "/shut/all.NC", 0644);
    ASSERT_TRUE(QFile::link(root + "/open/private.NC", root + "/open/link.NC"));
    const unsigned me = ::getuid(), group = ::getgid();
    const PeerRights stranger{me + 1000, group + 1000, {}}, member{me + 1000, group + 1000, {group}}, owner{me, group, {}};
    struct Case {
        const char* what;
        PeerRights peer;
        const char* path;
        PeerNeed need;
        bool allowed;
    } cases[] = {
        {"another user's own file", stranger, "open/private.NC", PeerNeed::Read, false},
        {"a link to it", member, "open/link.NC", PeerNeed::Read, false},
        {"the owner", owner, "open/private.NC", PeerNeed::Read, true},
        {"group-readable, a member", member, "open/group.NC", PeerNeed::Read, true},
        {"group-readable, a stranger", stranger, "open/group.NC", PeerNeed::Read, false},
        {"readable in a shut folder", member, "shut/all.NC", PeerNeed::Read, false},
        {"a shut folder compared", member, "shut", PeerNeed::Read, false},
        {"fetched into a shut folder", member, "shut", PeerNeed::WriteFolder, false},
        {"fetched into the group's folder", member, "shared", PeerNeed::WriteFolder, true},
        {"fetched into a folder only readable", member, "open", PeerNeed::WriteFolder, false},
        {"a file as a folder", owner, "open/all.NC", PeerNeed::WriteFolder, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(PeerRefusal(c.peer, root + '/' + c.path, c.need).isEmpty(), c.allowed) << c.what;
}

// A link planted at an upload's or a store's target: refused, and where it
// leads stays as it was.
TEST(SocketClientRights, NoStoreWritesThroughALink) {
    TestHome home;
    const QString outside = home.write("elsewhere.txt", "own");
    QDir().mkpath(home.file("ncprog"));
    ASSERT_TRUE(QFile::link(outside, home.file("ncprog/O3333.NC")));
    ProgramFileWriter writer;
    EXPECT_FALSE(writer.open(home.file("ncprog/O3333.NC"), {}).ok);
    EXPECT_EQ(home.read("elsewhere.txt"), QByteArray("own"));
}
