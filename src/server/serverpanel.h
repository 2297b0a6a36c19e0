#pragma once
// The operator panel of a machine the shop server serves: nobody watches it.
// Questions are answered No, boxes go to the log, and the last status text
// is kept for the published state. A job's own panel hears the station as
// well, through the station's panel switch.
#include "common/operatorpanel.h"
#include <functional>

class ServerPanel : public UnattendedPanel {
public:
    using Log = std::function<void(const QString&)>;
    explicit ServerPanel(Log log) : log_(std::move(log)) {}

    QString lastStatus;
    QString progress;  // the running character count of a serial transfer
    int done = 0, total = 0;  // the transfer under way, where its size is known

    void setStatus(const QString& text) override {
        if (!text.isEmpty()) lastStatus = text;
    }
    void setPanel(int panel, const QString& text) override {
        if (panel == 2) progress = text;
    }
    void setProgress(int done_, int total_) override {
        done = done_;
        total = total_;
    }
    Answer message(const QString& text, const QString&, MsgIcon, Buttons buttons) override {
        log_(QString(text).replace(QLatin1String("\r\n"), QLatin1String(" ")));
        return Unattended(buttons);
    }
    // A machine's store goes to its send folder, as the window shows it first.
    void setTreeFolders(const QString&, const QString& selected) override { tree_ = selected; }
    QString machineFolder() const override { return tree_; }

private:
    Log log_;
    QString tree_;
};
