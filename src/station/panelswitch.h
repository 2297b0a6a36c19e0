#pragma once
// The panel a station talks to: its own, and while a job runs, the panel of
// whoever submitted that job too. Questions are the job's; what the station shows goes to both, so that the machine's own
// panel (the server's published state) still sees every status.
#include "common/operatorpanel.h"

class PanelSwitchBase : public OperatorPanel {
public:
    explicit PanelSwitchBase(OperatorPanel* own) : own_(own), to_(own) {}
    OperatorPanel* target() const { return to_; }
    // null: the station's own panel only.
    void setTarget(OperatorPanel* to) { to_ = to ? to : own_; }
    // A station that goes away leaves nobody to tell.
    void detach(OperatorPanel* nobody) { own_ = to_ = nobody; }

    void setStatus(const QString& text) override { both([&](OperatorPanel* p) { p->setStatus(text); }); }
    void setPanel(int panel, const QString& text) override { both([&](OperatorPanel* p) { p->setPanel(panel, text); }); }
    void setProgress(int done, int total) override { both([&](OperatorPanel* p) { p->setProgress(done, total); }); }
    void showPilar(const QString& text, const QStringList& frames) override {
        both([&](OperatorPanel* p) { p->showPilar(text, frames); });
    }
    void hidePilar() override { both([](OperatorPanel* p) { p->hidePilar(); }); }
    Answer message(const QString& text, const QString& title, MsgIcon icon, Buttons buttons) override {
        return to_->message(text, title, icon, buttons);
    }
    QCoro::Task<Answer> ask(QString text, QString title, MsgIcon icon, Buttons buttons) override {
        return to_->ask(std::move(text), std::move(title), icon, buttons);
    }
    bool attended() const override { return to_->attended(); }
    std::optional<QString> input(const QString& prompt, const QString& title, const QString& def) override {
        return to_->input(prompt, title, def);
    }
    void fillRemoteList(const QList<RemoteEntry>& entries) override { to_->fillRemoteList(entries); }
    void removeRemoteItem(const QString& name) override { to_->removeRemoteItem(name); }
    QString machineFolder() const override { return to_->machineFolder(); }
    void setTreeFolders(const QString& root, const QString& selected) override { to_->setTreeFolders(root, selected); }
    void selectTreeFolder(const QString& folder) override { to_->selectTreeFolder(folder); }
    void UpdateLocalFolders() override { to_->UpdateLocalFolders(); }
    void showMachine(const QString& name, const QString& sendPath) override { to_->showMachine(name, sendPath); }
    void setDocuments(const QList<DocumentEntry>& documents) override { to_->setDocuments(documents); }

private:
    template <typename F>
    void both(F f) {
        if (to_ != own_) f(own_);
        f(to_);
    }
    OperatorPanel* own_;
    OperatorPanel* to_;
};
