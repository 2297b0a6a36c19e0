#pragma once
// Where a verb's words go. On the command line: standard output, standard
// error and the terminal. A verb the shop server runs for a client (the
// command line through the server's local socket, or the web API) writes to
// that client instead.
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

class VerbIO {
public:
    virtual ~VerbIO() = default;
    // One line for standard output, already escaped.
    virtual void out(const QString& line) = 0;
    // One line for standard error.
    virtual void err(const QString& line) = 0;
    // A yes/no question for a person; empty when nobody can be asked (the
    // verb's --yes/--no, or No, decides then).
    virtual std::optional<bool> ask(const QString& question) = 0;
};

// The words of a verb after the program's name ("send", "--no", "Fräs 1",
// "O1000.NC"), run in this process for io; returns the verb's exit status.
using VerbRunner = std::function<int(const QStringList& words, VerbIO& io)>;
