#include "common/operatorpanel.h"

QCoro::Task<OperatorPanel::Answer> OperatorPanel::ask(QString text, QString title, MsgIcon icon, Buttons buttons) {
    co_return message(text, title, icon, buttons);
}
