#pragma once
// The panel of a job that a program submitted (the web API): its questions
// are answered by the request (overwrite: its "yes"; anything else No). What
// the job works on comes with its request, not from here. Nobody watches it.
#include "common/operatorpanel.h"

class JobPanel : public UnattendedPanel {
public:
    explicit JobPanel(bool yes) : yes_(yes) {}

    Answer message(const QString&, const QString&, MsgIcon, Buttons buttons) override {
        const Answer unattended = Unattended(buttons);
        return unattended == Answer::No && yes_ ? Answer::Yes : unattended;
    }

private:
    bool yes_;
};
