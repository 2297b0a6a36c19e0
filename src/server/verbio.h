#pragma once
// Where a verb's words go. On the command line: standard output, standard
// error and the terminal. A verb the shop server runs for a client (the
// command line through the server's local socket, or the web API) writes to
// that client instead.
#include <QCoro/QCoroTask>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>
#include <vector>

// A local client's user and groups as the kernel gives them.
struct PeerRights {
    unsigned uid = 0, gid = 0;
    std::vector<unsigned> groups;
};

class VerbIO {
public:
    virtual ~VerbIO() = default;
    // Text for standard output and standard error: whole lines, escaped,
    // each ending in "\n".
    virtual void out(const QString& text) = 0;
    virtual void err(const QString& text) = 0;
    // Whether a person answers questions.
    virtual bool interactive() const { return false; }
    // Puts prompt to that person and returns the line typed; empty when
    // nobody answered (the verb's --yes/--no, or No, decides then).
    virtual std::optional<QString> ask(const QString& prompt) {
        Q_UNUSED(prompt);
        return std::nullopt;
    }
    // Whom the words came from, for a job's "by" ("anna (pid 4242)"), as
    // the system vouches for it; empty: the user of this process.
    virtual QString who() const { return {}; }
    // The client's rights, when the words came from another process; a
    // file it names is reached only where those rights reach.
    virtual const PeerRights* peer() const { return nullptr; }
    // Called when the client leaves before the verb has ended (its job is
    // cancelled); null: nothing to cancel.
    virtual void onGone(std::function<void()> cancel) { Q_UNUSED(cancel); }
};

// The words of a verb after the program's name ("send", "--no", "Fräs 1",
// "/srv/nc/O1000.NC"), run in this process for io; returns the verb's exit
// status.
using VerbRunner = std::function<QCoro::Task<int>(QStringList words, VerbIO& io)>;
