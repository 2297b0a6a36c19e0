#pragma once
// Message boxes, input boxes and the other places where the window hands
// control to the operator or the desktop. Each goes through a replaceable
// hook, so that tests answer instead of a modal box waiting for a person.
#include "common/operatorpanel.h"
#include <QStringList>
#include <functional>
#include <optional>

class QDialog;
class QPrinter;
class QUrl;
class QWidget;

struct UiHooks {
    std::function<OperatorPanel::Answer(const QString& text, const QString& title, MsgIcon icon,
                                        OperatorPanel::Buttons buttons)>
        message;
    std::function<std::optional<QString>(const QString& prompt, const QString& title, const QString& def)> input;
    // Runs instead of a modal dialog's exec().
    std::function<void(QDialog& dialog)> dialog;
    std::function<bool(const QUrl& url)> openUrl;
    std::function<bool(const QString& program, const QStringList& arguments, const QString& folder)> startDetached;
    // Returns "" when the operator cancelled.
    std::function<QString(const QString& title, const QString& start)> folder;
    // Runs instead of the print dialog: true for OK, with the choice in printer.
    std::function<bool(QPrinter& printer)> printDialog;
};
UiHooks& Hooks();

// Standard buttons read "Ja", "Nej", "Avbryt", "OK". Closing the box answers
// Cancel where there is one, else No, else OK.
OperatorPanel::Answer ShowMessageBox(QWidget* parent, const QString& text, const QString& title, MsgIcon icon,
                                     OperatorPanel::Buttons buttons);
// The same box for a question a job waits for: the window stays modal to it
// but no event loop of its own runs meanwhile.
QCoro::Task<OperatorPanel::Answer> AskMessageBox(QWidget* parent, QString text, QString title, MsgIcon icon,
                                                 OperatorPanel::Buttons buttons);
// Empty when the operator cancelled.
std::optional<QString> ShowInputBox(QWidget* parent, const QString& prompt, const QString& title,
                                    const QString& def);
void ExecDialog(QDialog& dialog);
// The folder chooser, opened on start; "" when the operator cancelled.
QString ChooseFolder(QWidget* parent, const QString& title, const QString& start);
// The desktop's program for a file or address.
bool OpenWithDesktop(const QUrl& url);
// A local file in the desktop's viewer; failed(why) when none opens it, at
// once or once xdg-open has given up (it reports that only on its standard error).
void OpenFileWithDesktop(const QString& path, std::function<void(const QString& why)> failed);
bool StartDetached(const QString& program, const QStringList& arguments, const QString& folder = QString());
