#include "controls/messagebox.h"

#include <QCoro/QCoroSignal>
#include <QDesktopServices>
#include <QDialog>
#include <QFileDialog>
#include <QInputDialog>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QUrl>
#include <memory>

UiHooks& Hooks() {
    static UiHooks hooks;
    return hooks;
}

namespace {
QMessageBox::Icon BoxIcon(MsgIcon icon) {
    switch (icon) {
    case MsgIcon::Information: return QMessageBox::Information;
    case MsgIcon::Exclamation: return QMessageBox::Warning;
    case MsgIcon::Critical: return QMessageBox::Critical;
    case MsgIcon::Question: return QMessageBox::Question;
    case MsgIcon::None: break;
    }
    return QMessageBox::NoIcon;
}
}  // namespace

namespace {
// The box with its Swedish buttons; the answer is read from it once closed.
struct Box {
    QMessageBox* box;
    QPushButton* ok = nullptr;
    QPushButton* yes = nullptr;
    QPushButton* no = nullptr;
    QPushButton* cancel = nullptr;

    Box(QWidget* parent, const QString& text, const QString& title, MsgIcon icon, OperatorPanel::Buttons buttons)
        : box(new QMessageBox(BoxIcon(icon), title, text, QMessageBox::NoButton, parent)) {
        using Buttons = OperatorPanel::Buttons;
        switch (buttons) {
        case Buttons::Ok: ok = box->addButton(QStringLiteral("OK"), QMessageBox::AcceptRole); break;
        case Buttons::OkCancel:
            ok = box->addButton(QStringLiteral("OK"), QMessageBox::AcceptRole);
            cancel = box->addButton(QStringLiteral("Avbryt"), QMessageBox::RejectRole);
            break;
        case Buttons::YesNo:
            yes = box->addButton(QStringLiteral("Ja"), QMessageBox::YesRole);
            no = box->addButton(QStringLiteral("Nej"), QMessageBox::NoRole);
            break;
        case Buttons::YesNoCancel:
            yes = box->addButton(QStringLiteral("Ja"), QMessageBox::YesRole);
            no = box->addButton(QStringLiteral("Nej"), QMessageBox::NoRole);
            cancel = box->addButton(QStringLiteral("Avbryt"), QMessageBox::RejectRole);
            break;
        }
        box->setDefaultButton(ok ? ok : yes);
        if (cancel) box->setEscapeButton(cancel);
        else if (no) box->setEscapeButton(no);
        else box->setEscapeButton(ok);
    }
    OperatorPanel::Answer answer() const {
        using Answer = OperatorPanel::Answer;
        const auto* clicked = box->clickedButton();
        if (clicked && clicked == ok) return Answer::Ok;
        if (clicked && clicked == yes) return Answer::Yes;
        if (clicked && clicked == no) return Answer::No;
        if (cancel) return Answer::Cancel;
        if (no) return Answer::No;
        return Answer::Ok;
    }
};
}  // namespace

OperatorPanel::Answer ShowMessageBox(QWidget* parent, const QString& text, const QString& title, MsgIcon icon,
                                     OperatorPanel::Buttons buttons) {
    if (Hooks().message) return Hooks().message(text, title, icon, buttons);
    Box b(parent, text, title, icon, buttons);
    std::unique_ptr<QMessageBox> owner(b.box);
    b.box->exec();
    return b.answer();
}

QCoro::Task<OperatorPanel::Answer> AskMessageBox(QWidget* parent, QString text, QString title, MsgIcon icon,
                                                 OperatorPanel::Buttons buttons) {
    if (Hooks().message) co_return Hooks().message(text, title, icon, buttons);
    // A window that goes away with the box open takes the box and the
    // waiting job with it.
    Box b(parent, text, title, icon, buttons);
    b.box->setWindowModality(Qt::WindowModal);
    b.box->open();
    co_await qCoro(b.box, &QDialog::finished);
    const OperatorPanel::Answer answer = b.answer();
    b.box->deleteLater();
    co_return answer;
}

std::optional<QString> ShowInputBox(QWidget* parent, const QString& prompt, const QString& title,
                                    const QString& def) {
    if (Hooks().input) return Hooks().input(prompt, title, def);
    QInputDialog dialog(parent);
    dialog.setInputMode(QInputDialog::TextInput);
    dialog.setWindowTitle(title);
    dialog.setLabelText(prompt);
    dialog.setTextValue(def);
    dialog.setOkButtonText(QStringLiteral("OK"));
    dialog.setCancelButtonText(QStringLiteral("Avbryt"));
    if (dialog.exec() != QDialog::Accepted) return std::nullopt;
    return dialog.textValue();
}

void ExecDialog(QDialog& dialog) {
    if (Hooks().dialog) {
        Hooks().dialog(dialog);
        return;
    }
    dialog.exec();
}

QString ChooseFolder(QWidget* parent, const QString& title, const QString& start) {
    if (Hooks().folder) return Hooks().folder(title, start);
    return QFileDialog::getExistingDirectory(parent, title, start, QFileDialog::ShowDirsOnly);
}

bool OpenWithDesktop(const QUrl& url) {
    if (Hooks().openUrl) return Hooks().openUrl(url);
    return QDesktopServices::openUrl(url);
}

void OpenFileWithDesktop(const QString& path, std::function<void(const QString& why)> failed) {
    const QUrl url = QUrl::fromLocalFile(path);
    const QString xdg = Hooks().openUrl ? QString() : QStandardPaths::findExecutable(QStringLiteral("xdg-open"));
    if (xdg.isEmpty()) {
        if (!OpenWithDesktop(url)) failed(QStringLiteral("inget program kan öppna filen"));
        return;
    }
    // Not owned: a viewer still open when the window closes stays open.
    auto* p = new QProcess;
    p->setProgram(xdg);
    p->setArguments({path});
    p->setStandardInputFile(QProcess::nullDevice());
    QObject::connect(p, &QProcess::errorOccurred, p, [p, failed](QProcess::ProcessError e) {
        if (e != QProcess::FailedToStart) return;
        failed(QStringLiteral("xdg-open kunde inte startas"));
        p->deleteLater();
    });
    QObject::connect(p, &QProcess::finished, p, [p, failed](int code, QProcess::ExitStatus status) {
        if (status != QProcess::NormalExit || code != 0) {
            const QString said = QString::fromLocal8Bit(p->readAllStandardError()).trimmed();
            failed(said.isEmpty() ? QStringLiteral("inget program kan öppna filen (xdg-open slutade med %1)").arg(code)
                                  : QStringLiteral("inget program kan öppna filen (%1)").arg(said));
        }
        p->deleteLater();
    });
    p->start();
}

bool StartDetached(const QString& program, const QStringList& arguments, const QString& folder) {
    if (Hooks().startDetached) return Hooks().startDetached(program, arguments, folder);
    return QProcess::startDetached(program, arguments, folder);
}
