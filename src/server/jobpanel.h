#pragma once
// The panel of a job that a program submitted (the web API): its selection
// and folder come with the request, questions are answered by the request
// (overwrite: its "yes"; anything else No), and the machine's list is kept
// for the answer. Nobody watches it.
#include "common/operatorpanel.h"

class JobPanel : public UnattendedPanel {
public:
    JobPanel(QString folder, bool yes) : folder_(std::move(folder)), yes_(yes) {}

    QStringList local, remote;  // the selections of the job
    QString from;               // a drip-feed's starting block or line
    QList<RemoteEntry> list;    // the machine's list, once it came

    Answer message(const QString&, const QString&, MsgIcon, Buttons buttons) override {
        const Answer unattended = Unattended(buttons);
        return unattended == Answer::No && yes_ ? Answer::Yes : unattended;
    }
    void fillRemoteList(const QList<RemoteEntry>& entries) override { list = entries; }
    void removeRemoteItem(const QString& name) override {
        list.removeIf([&](const RemoteEntry& e) { return QString::fromLatin1(e.name) == name; });
    }
    QStringList remoteNames() const override {
        QStringList names;
        for (const RemoteEntry& e : list) names << QString::fromLatin1(e.name);
        return names;
    }
    QStringList remoteSelection() const override { return remote; }
    QStringList localSelection() const override { return local; }
    QString treeFolder() const override { return folder_; }
    QString machineFolder() const override { return folder_; }
    void setTreeFolders(const QString&, const QString& selected) override {
        if (!selected.isEmpty()) folder_ = selected;
    }

private:
    QString folder_;
    bool yes_;
};
