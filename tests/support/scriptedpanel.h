#pragma once
// An operator panel for tests: answers questions from a queue and records
// everything the station shows.
#include "common/operatorpanel.h"
#include "operations/jobrequest.h"
#include <QList>
#include <functional>

class ScriptedPanel : public OperatorPanel {
public:
    struct Message {
        QString text, title;
        MsgIcon icon;
        Buttons buttons;
    };

    QStringList statuses;  // every status text, in order
    QString panels[5];
    bool pilarVisible = false;
    QString pilarText;
    QList<Message> messages;
    std::function<void(const Message&)> onMessage;  // runs while the box would be open
    QList<Answer> answers;  // for questions; OK/Yes when empty
    QList<std::optional<QString>> inputs;
    QList<RemoteEntry> remote;
    int remoteFills = 0;
    QStringList removed;
    // What a person would have selected: the arguments of the next operation.
    QStringList selectedLocal, selectedRemote;
    QString tree;
    SendArgs send() const { return {tree, selectedLocal}; }
    FetchArgs fetch() const { return {tree, selectedRemote}; }
    int updates = 0;
    QList<std::pair<int, int>> progress;  // done, total

    QString status() const { return statuses.isEmpty() ? QString() : statuses.last(); }

    void setStatus(const QString& text) override { statuses << text; }
    void setPanel(int panel, const QString& text) override { panels[panel] = text; }
    void setProgress(int done, int total) override { progress.append({done, total}); }
    void showPilar(const QString& text, const QStringList&) override {
        pilarVisible = true;
        pilarText = text;
    }
    void hidePilar() override { pilarVisible = false; }
    Answer message(const QString& text, const QString& title, MsgIcon icon, Buttons buttons) override {
        messages.append({text, title, icon, buttons});
        if (onMessage) onMessage(messages.last());
        if (!answers.isEmpty()) return answers.takeFirst();
        return buttons == Buttons::YesNo || buttons == Buttons::YesNoCancel ? Answer::Yes : Answer::Ok;
    }
    bool attended() const override { return true; }
    std::optional<QString> input(const QString&, const QString&, const QString& def) override {
        return inputs.isEmpty() ? std::optional<QString>(def) : inputs.takeFirst();
    }
    void fillRemoteList(const QList<RemoteEntry>& entries) override {
        remote = entries;
        ++remoteFills;
    }
    void removeRemoteItem(const QString& name) override {
        removed << name;
        for (qsizetype i = 0; i < remote.size(); ++i)
            if (QString::fromLatin1(remote[i].name) == name) {
                remote.removeAt(i);
                break;
            }
    }
    QStringList remoteNames() const {
        QStringList n;
        for (const RemoteEntry& e : remote) n << QString::fromLatin1(e.name);
        return n;
    }
    QString machineFolder() const override { return tree; }
    void setTreeFolders(const QString&, const QString& selected) override { tree = selected; }
    void UpdateLocalFolders() override { ++updates; }
};
