#pragma once
// The operator panel of a machine the shop server serves: nobody watches it.
// Questions are answered No, boxes go to the log, and the last status text
// is kept for the published state. While a client's verb runs on the
// station, everything goes to that verb's panel as well.
#include "link/operatorpanel.h"
#include <functional>

class ServerPanel : public OperatorPanel {
public:
    using Log = std::function<void(const QString&)>;
    explicit ServerPanel(Log log) : log_(std::move(log)) {}

    QString lastStatus;
    QString progress;  // the running character count of a serial transfer
    int done = 0, total = 0;  // the transfer under way, where its size is known
    OperatorPanel* delegate = nullptr;

    void setStatus(const QString& text) override {
        if (!text.isEmpty()) lastStatus = text;
        if (delegate) delegate->setStatus(text);
    }
    void setPanel(int panel, const QString& text) override {
        if (panel == 2) progress = text;
        if (delegate) delegate->setPanel(panel, text);
    }
    void setProgress(int done_, int total_) override {
        done = done_;
        total = total_;
        if (delegate) delegate->setProgress(done_, total_);
    }
    void showPilar(const QString& text, const QStringList& frames) override {
        if (delegate) delegate->showPilar(text, frames);
    }
    void hidePilar() override {
        if (delegate) delegate->hidePilar();
    }
    Answer message(const QString& text, const QString& title, MsgIcon icon, Buttons buttons) override {
        log_(QString(text).replace(QLatin1String("\r\n"), QLatin1String(" ")));
        if (delegate) return delegate->message(text, title, icon, buttons);
        return buttons == Buttons::Ok || buttons == Buttons::OkCancel ? Answer::Ok : Answer::No;
    }
    std::optional<QString> input(const QString& prompt, const QString& title, const QString& def) override {
        if (delegate) return delegate->input(prompt, title, def);
        return {};
    }
    void fillRemoteList(const QList<RemoteEntry>& entries) override {
        if (delegate) delegate->fillRemoteList(entries);
    }
    void removeRemoteItem(const QString& name) override {
        if (delegate) delegate->removeRemoteItem(name);
    }
    QStringList remoteNames() const override { return delegate ? delegate->remoteNames() : QStringList(); }
    QStringList remoteSelection() const override { return delegate ? delegate->remoteSelection() : QStringList(); }
    QStringList localSelection() const override { return delegate ? delegate->localSelection() : QStringList(); }
    // A machine's store goes to its send folder, as the window shows it first.
    QString treeFolder() const override { return delegate ? delegate->treeFolder() : tree_; }
    void setTreeFolders(const QString& root, const QString& selected) override {
        if (delegate) delegate->setTreeFolders(root, selected);
        else tree_ = selected;
    }
    // A verb's folders are never the machine's own.
    QString machineFolder() const override { return tree_; }
    void UpdateLocalFolders() override {}

private:
    Log log_;
    QString tree_;
};
