#pragma once
// Whoever shows the station to a person: the main window, the console of the
// command-line verbs, or a scripted panel in tests. The station never opens a
// dialog itself; every question and every text goes through here.
#include "common/notify.h"
#include "common/panelentries.h"
#include <QCoro/QCoroTask>
#include <QList>
#include <QString>
#include <QStringList>
#include <optional>

class OperatorPanel {
public:
    virtual ~OperatorPanel() = default;

    enum class Buttons { Ok, OkCancel, YesNo, YesNoCancel };
    enum class Answer { Ok, Cancel, Yes, No };

    // Status bar: panel 1 is the status text, panels 2 to 4 the serial
    // counter and the modem lines.
    virtual void setStatus(const QString& text) = 0;
    virtual void setPanel(int panel, const QString& text) = 0;

    // A run over several programs: done of total so far; total 0 when it ended.
    virtual void setProgress(int done, int total) { Q_UNUSED(done); Q_UNUSED(total); }

    // Activity indicator: a description and five frames to animate.
    virtual void showPilar(const QString& text, const QStringList& frames) = 0;
    virtual void hidePilar() = 0;

    virtual Answer message(const QString& text, const QString& title, MsgIcon icon, Buttons buttons) = 0;
    // A question a job waits for: the window answers it from a box that
    // leaves the event loop to everyone else; the others answer at once.
    virtual QCoro::Task<Answer> ask(QString text, QString title, MsgIcon icon, Buttons buttons);
    // A person answers its questions as they come (the window). Nobody else
    // may confirm what only a person can see, such as a machine cleared of a
    // cut program: a command line's --yes means "overwrite", nothing more.
    virtual bool attended() const { return false; }
    // Empty optional when the operator cancelled.
    virtual std::optional<QString> input(const QString& prompt, const QString& title, const QString& def) = 0;

    // The machine's program list, as the station keeps it: shown, never
    // read back. A job's programs and folders come with its request.
    virtual void fillRemoteList(const QList<RemoteEntry>& entries) = 0;
    virtual void removeRemoteItem(const QString& name) = 0;

    // The local library.
    // The folder the machine's own stores and loads use: the one the library shows.
    virtual QString machineFolder() const = 0;
    virtual void setTreeFolders(const QString& root, const QString& selected) = 0;
    // Selects a folder below the present root.
    virtual void selectTreeFolder(const QString& folder) { setTreeFolders(QString(), folder); }
    virtual void UpdateLocalFolders() = 0;

    // A machine was applied: its name and send folder for the headers.
    virtual void showMachine(const QString& name, const QString& sendPath) { Q_UNUSED(name); Q_UNUSED(sendPath); }
    // The document entries of the machine's model (the window's document menu).
    virtual void setDocuments(const QList<DocumentEntry>& documents) { Q_UNUSED(documents); }
};

// A panel nobody watches: it shows nothing, types nothing, selects nothing,
// and answers a box "OK" where there is one, else No.
class UnattendedPanel : public OperatorPanel {
public:
    static Answer Unattended(Buttons buttons) {
        return buttons == Buttons::Ok || buttons == Buttons::OkCancel ? Answer::Ok : Answer::No;
    }
    void setStatus(const QString&) override {}
    void setPanel(int, const QString&) override {}
    void showPilar(const QString&, const QStringList&) override {}
    void hidePilar() override {}
    Answer message(const QString&, const QString&, MsgIcon, Buttons buttons) override { return Unattended(buttons); }
    std::optional<QString> input(const QString&, const QString&, const QString&) override { return {}; }
    void fillRemoteList(const QList<RemoteEntry>&) override {}
    void removeRemoteItem(const QString&) override {}
    QString machineFolder() const override { return {}; }
    void setTreeFolders(const QString&, const QString&) override {}
    void UpdateLocalFolders() override {}
};
