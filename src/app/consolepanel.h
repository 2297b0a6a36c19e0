#pragma once
// The operator panel of the command-line verbs: status texts, progress and
// message boxes go to standard error, questions are answered by --yes/--no
// or on a terminal, and everything shown is kept in a journal from which a
// verb tells, item by item, what the station did.
#include "common/operatorpanel.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <functional>

class VerbIO;

class ConsolePanel : public OperatorPanel {
public:
    // How overwrite questions are answered.
    enum class Policy { Yes, No, Ask };

    struct Event {
        enum class Kind {
            Status,    // a status text (also the empty one of the abort routine)
            Pilar,     // the activity indicator was shown with text
            Message,   // a message box with only OK (an error or a notice)
            Question,  // a question; answer holds what was answered
            Fill,      // the machine's list arrived
            Removed,   // an item left the machine's list (a deletion done)
            Done,      // a message completed a transfer (set by the verb)
        };
        Kind kind;
        QString text;
        Answer answer = Answer::Ok;
    };

    // Lines for standard error go to write (tests capture them).
    using Writer = std::function<void(const QString& line)>;
    explicit ConsolePanel(Policy overwrite, Writer write = {});

    // A terminal on standard input: Policy::Ask asks there, otherwise No.
    void setInteractive(bool interactive) { interactive_ = interactive; }
    // Where questions go; the verbs' console when not set.
    void setIO(VerbIO* io) { io_ = io; }
    // Yes/No questions that are not about overwriting (the delete question)
    // are answered by the command itself when it already asked for the deed.
    void setConfirmed(bool confirmed) { confirmed_ = confirmed; }
    // Where "n av m" of a run over several programs goes, rewritten in place
    // (a terminal); none by default.
    void setProgressWriter(Writer write) { progress_ = std::move(write); }

    const QList<Event>& journal() const { return journal_; }
    qsizetype mark() const { return journal_.size(); }
    // Events of kind since position from.
    qsizetype count(Event::Kind kind, qsizetype from) const;
    void record(Event::Kind kind, const QString& text = QString());
    // A notice from below the station (an INI file that could not be written).
    void notice(const QString& text, const QString& title);
    // Prints a line of the verb itself.
    void say(const QString& line);

    // The machine's send folder once it is applied, or the folder a verb named.
    void setTreeFolder(const QString& folder) { tree_ = folder; }
    QString treeFolder() const { return tree_; }
    const QList<RemoteEntry>& remoteList() const { return remote_; }

    void setStatus(const QString& text) override;
    void setPanel(int, const QString&) override {}
    void setProgress(int done, int total) override;
    void showPilar(const QString& text, const QStringList& frames) override;
    void hidePilar() override {}
    Answer message(const QString& text, const QString& title, MsgIcon icon, Buttons buttons) override;
    std::optional<QString> input(const QString& prompt, const QString& title, const QString& def) override;
    void fillRemoteList(const QList<RemoteEntry>& entries) override;
    void removeRemoteItem(const QString& name) override;
    QString machineFolder() const override { return tree_; }
    void setTreeFolders(const QString& root, const QString& selected) override;
    void UpdateLocalFolders() override {}

private:
    Answer ask(const QString& text, bool withCancel);
    void print(const QString& text);

    Policy overwrite_;
    Writer write_;
    Writer progress_;
    bool interactive_ = false;
    VerbIO* io_ = nullptr;
    bool confirmed_ = false;
    QList<Event> journal_;
    QString lastStatus_;
    QString tree_;
    QList<RemoteEntry> remote_;
};

// "Ja", "Nej", "Avbryt", "OK"
QString AnswerText(OperatorPanel::Answer answer);
