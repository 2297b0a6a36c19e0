#include "app/errordialog.h"

#include "controls/messagebox.h"
#include "common/errorreport.h"
#include "common/notify.h"

#include <QPointer>
#include <QWidget>

void InstallErrorDialog(QWidget* parent) {
    QPointer<QWidget> owner(parent);
    SetErrorDialog([owner](const QString& text) {
        return ShowMessageBox(owner.data(), text, QStringLiteral("Fel"), MsgIcon::Critical,
                              OperatorPanel::Buttons::OkCancel) == OperatorPanel::Answer::Ok;
    });
}

void InstallMessageSink(QWidget* parent) {
    QPointer<QWidget> owner(parent);
    SetMessageSink([owner](const QString& text, const QString& title, MsgIcon icon) {
        ShowMessageBox(owner.data(), text, title, icon, OperatorPanel::Buttons::Ok);
    });
}
