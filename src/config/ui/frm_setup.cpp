#include "config/ui/frm_setup.h"
#include <algorithm>

#include "controls/messagebox.h"
#include "common/apperror.h"
#include "common/ini.h"
#include "common/convert.h"
#include "common/notify.h"
#include "config/machines.h"
#include "config/setupform.h"
#include "library/history.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFocusEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScopedValueRollback>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QTabWidget>

frm_setup::frm_setup(QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("frm_setup"));
    setWindowTitle(QStringLiteral("Inställningar"));
    setModal(true);
    buildControls();
    connectControls();
    Form_Load();
}

frm_setup::~frm_setup() {
    // Children lose their focus while they are destroyed: no questions then.
    txtMaskinIP->removeEventFilter(this);
    txtMaskinPort->removeEventFilter(this);
}

namespace {
// A value that does not convert reads as the default, as for the station.
bool VerifyAfterSendSetting() {
    try {
        return ToBool(ReadIni(QStringLiteral("Program"), QStringLiteral("VerifyAfterSend"), BoolText(false)));
    } catch (const AppError&) {
        return false;
    }
}
}  // namespace

void frm_setup::FillMachineList() {
    // Refilling is no choice of the operator's.
    QSignalBlocker quiet(cmbMaskiner);
    cmbMaskiner->clear();
    for (const MachineEntry& m : MachineList()) cmbMaskiner->addItem(m.name, m.slot);
    cmbMaskiner->setCurrentIndex(-1);
}

void frm_setup::Text2Combo(QComboBox* combo, const QString& text) {
    // No match chooses nothing: the entry of the machine shown before would be
    // saved into this one.
    combo->setCurrentIndex(combo->findText(text, Qt::MatchExactly | Qt::MatchCaseSensitive));
}

void frm_setup::Form_Load() {
    FillMachineList();
    {
        QSignalBlocker quiet(cmbModell);
        cmbModell->addItems(ModelList());
        cmbModell->setCurrentIndex(-1);
    }
    const QString last = ReadIni(QStringLiteral("Program"), QStringLiteral("LastMachine"), QString());
    {
        QSignalBlocker quiet(txtEditor);
        txtEditor->setText(ReadIni(QStringLiteral("Program"), QStringLiteral("Editor"), QString()));
    }
    for (QLineEdit* e : {txtAllowedHosts, txtListenAddress}) {
        QSignalBlocker quiet(e);
        e->setText(ReadIni(QStringLiteral("Program"), e->objectName().mid(3), QString()));
    }
    {
        const HistorySettings h = ReadHistorySettings();
        QSignalBlocker quietKeep(txtHistoryKeep), quietMax(txtHistoryMaxMB);
        txtHistoryKeep->setValue(h.keep);
        txtHistoryMaxMB->setValue(int(std::min<qint64>(h.maxMB, txtHistoryMaxMB->maximum())));
        shownKeep_ = txtHistoryKeep->value();
        shownMaxMB_ = txtHistoryMaxMB->value();
    }
    {
        const int stored = ReadIni(QStringLiteral("Program"), QStringLiteral("MaxProgramMB"), QStringLiteral("0")).toInt();
        QSignalBlocker quiet(txtMaxProgramMB);
        txtMaxProgramMB->setValue(std::clamp(stored, 0, txtMaxProgramMB->maximum()));
        shownProgramMB_ = txtMaxProgramMB->value();
    }
    {
        QSignalBlocker quiet(chkVerifyAfterSend);
        chkVerifyAfterSend->setChecked(VerifyAfterSendSetting());
    }
    if (cmbMaskiner->count() > 0) Text2Combo(cmbMaskiner, last);
}

void frm_setup::cmbMaskiner_Click() {
    const int index = cmbMaskiner->currentIndex();
    if (index < 0) return;
    WriteIni(QStringLiteral("Program"), QStringLiteral("LastMachine"), cmbMaskiner->itemText(index));
    SSTab->setEnabled(true);
    // The controls still hold the machine edited before: its slot is saved.
    if (Dirty && ShowMessageBox(this, QStringLiteral("Vill du spara ändringarna till maskinen?"), AppTitle(),
                                MsgIcon::None, OperatorPanel::Buttons::YesNo) == OperatorPanel::Answer::Yes &&
        !SaveSettings()) {
        // Loading the next machine would lose the edits that could not be saved.
        const int previous = cmbMaskiner->findData(slot_);
        QSignalBlocker quiet(cmbMaskiner);
        cmbMaskiner->setCurrentIndex(previous);
        WriteIni(QStringLiteral("Program"), QStringLiteral("LastMachine"), cmbMaskiner->itemText(previous));
        return;
    }
    slot_ = cmbMaskiner->itemData(index).toInt();
    loadMachine(slot_);
    for (QWidget* w : std::initializer_list<QWidget*>{lblEOB, optCOM, lblModell, cmbModell}) w->setEnabled(true);
    applyRestrictions();
    cmdSave->setEnabled(false);
    Dirty = false;
    // Changes the load itself queued are no edits of the operator's either.
    QMetaObject::invokeMethod(this, [this] {
        cmdSave->setEnabled(false);
        Dirty = false;
    }, Qt::QueuedConnection);
}

namespace {
// An unknown stored value shows as neither ticked nor clear, and is saved as it is.
void ShowCheck(QCheckBox* box, std::optional<bool> value) {
    box->setTristate(!value);
    box->setCheckState(!value ? Qt::PartiallyChecked : *value ? Qt::Checked : Qt::Unchecked);
    box->setToolTip(value ? QString() : QStringLiteral("Det sparade värdet kan inte visas och sparas oförändrat."));
}
}  // namespace

void frm_setup::loadMachine(int slot) {
    // The restrictions wait for the whole machine: the model shown before
    // would otherwise overrule this machine's link.
    const QScopedValueRollback loading(loading_, true);
    const SetupMachine m = ReadSetupMachine(slot);
    machineOnlyLF_ = m.OnlyLF;
    storedModel_ = m.Modell;
    cmbHandskakning->setCurrentText(m.Handskakning);
    txtLedare->setValue(m.Ledare);
    txtSlut->setValue(m.Slut);
    txtBrustecken->setValue(m.Brustecken);
    txtBegaran->setText(m.Begaran);
    if (m.Typ == 3) {
        optISO->setChecked(true);
    } else if (m.Typ == 1 || m.Typ == 2) {
        optCOM->setChecked(true);
        cmbProtoTyp->setCurrentIndex(m.Typ == 1 ? 1 : 0);
    } else if (m.Typ == 0) {
        optNet->setChecked(true);
        cmbProtoTyp->setCurrentIndex(1);
    } else {
        // A link the dialog does not know: neither option, and "Typ" is kept.
        for (QRadioButton* o : {optCOM, optNet, optISO}) {
            o->setAutoExclusive(false);
            o->setChecked(false);
            o->setAutoExclusive(true);
        }
        cmbProtoTyp->setCurrentIndex(-1);
    }
    txtMaskinIP->setText(m.IP);
    txtMaskinPort->setText(m.Port);
    Text2Combo(cmbModell, m.Modell);
    Text2Combo(cmbComPort, m.ComPort);
    Text2Combo(cmbBaud, m.BaudRate);
    txtSettings->setText(m.Settings);
    txtRootPath->setText(m.RootPath);
    txtRecPath->setText(m.RecPath);
    txtSendPath->setText(m.SendPath);
    txtTrashPath->setText(m.Deleted);
    txtDocPath->setText(m.DocPath);
    txtExtension->setText(m.Extension);
    ShowCheck(chkAutoDir, m.GetDir);
    // An end of block the list lacks shows no entry and is kept on saving.
    cmbEOB->setCurrentIndex(m.OnlyLF ? 1 : m.EOB.value_or(-1));
    ShowCheck(chkShowAll, m.ShowAllFiles);
}

void frm_setup::SettingsChanged() {
    Dirty = true;
    cmdSave->setEnabled(slot_ > 0);
    if (!loading_) applyRestrictions();
}

void frm_setup::applyRestrictions() {
    const ModelCaps caps = ReadModelCaps(cmbModell->currentIndex() >= 0 ? cmbModell->currentText() : storedModel_);
    // Choosing the serial link runs this once more, with the link settled.
    if (!caps.Network && optNet->isChecked()) optCOM->setChecked(true);
    const bool tape = optISO->isChecked();
    const bool serial = optCOM->isChecked() || tape;
    for (QWidget* w : std::initializer_list<QWidget*>{lblMaskinIp, txtMaskinIP, lblMaskinport, txtMaskinPort})
        w->setEnabled(!serial);
    for (QWidget* w : std::initializer_list<QWidget*>{cmbComPort, cmbBaud, lblComport, lblBaud}) w->setEnabled(serial);
    // Tape has no protocol of ours to choose.
    for (QWidget* w : std::initializer_list<QWidget*>{cmbProtoTyp, lblProtoTyp}) w->setEnabled(serial && !tape);
    for (QWidget* w : isoControls_) w->setEnabled(tape);

    if (caps.OnlyLF || machineOnlyLF_) {
        cmbEOB->setCurrentIndex(1);
        cmbEOB->setEnabled(false);
    } else {
        cmbEOB->setEnabled(true);
    }
    if (caps.Network) {
        optNet->setEnabled(true);
    } else {
        for (QWidget* w :
             std::initializer_list<QWidget*>{optNet, lblMaskinIp, lblMaskinport, txtMaskinIP, txtMaskinPort})
            w->setEnabled(false);
    }
    if (!caps.Protokoll2) {
        cmbProtoTyp->setCurrentIndex(0);
        cmbProtoTyp->setEnabled(false);
        lblProtoTyp->setEnabled(false);
    }
}

SetupSave frm_setup::collect() const {
    auto chosen = [](const QComboBox* c) {
        return c->currentIndex() >= 0 ? std::optional<QString>(c->currentText()) : std::nullopt;
    };
    SetupSave v;
    v.Typ = optISO->isChecked()
                ? QString::fromLatin1(kIsoTyp)
                : SaveTyp(optCOM->isChecked(), optNet->isChecked(), cmbModell->currentText(), cmbProtoTyp->currentIndex());
    if (optISO->isChecked()) {
        v.Handskakning = cmbHandskakning->currentText();
        v.Ledare = txtLedare->value();
        v.Slut = txtSlut->value();
        v.Brustecken = txtBrustecken->value();
        v.Begaran = txtBegaran->text();
    }
    v.IP = txtMaskinIP->text();
    v.Port = txtMaskinPort->text();
    v.Modell = chosen(cmbModell);
    v.ComPort = chosen(cmbComPort);
    v.BaudRate = chosen(cmbBaud);
    v.Settings = txtSettings->text();
    v.RootPath = txtRootPath->text();
    v.RecPath = txtRecPath->text();
    v.SendPath = txtSendPath->text();
    v.Deleted = txtTrashPath->text();
    v.DocPath = txtDocPath->text();
    auto known = [](const QCheckBox* c) {
        return c->checkState() == Qt::PartiallyChecked ? std::nullopt : std::optional<bool>(c->isChecked());
    };
    v.GetDir = known(chkAutoDir);
    if (cmbEOB->currentIndex() >= 0) v.EOB = cmbEOB->currentIndex();
    v.Extension = txtExtension->text();
    v.ShowAllFiles = known(chkShowAll);
    return v;
}

QString frm_setup::unstorableField() const {
    for (const QLabel* label : findChildren<QLabel*>()) {
        const auto* field = qobject_cast<const QLineEdit*>(label->buddy());
        if (!field || IniValueFits(field->text())) continue;
        QString name = label->text();
        name.chop(name.endsWith(QLatin1Char(':')) ? 1 : 0);
        return name.section(QStringLiteral(" ("), 0, 0);
    }
    return QString();
}

bool frm_setup::SaveSettings() {
    // A line break pasted into a field would write keys or sections of its own.
    if (const QString field = unstorableField(); !field.isEmpty()) {
        ShowMessageBox(this,
                       QStringLiteral("Fältet \"%1\" innehåller en radbrytning, som inte kan sparas. "
                                      "Ta bort den och spara igen.")
                           .arg(field),
                       QStringLiteral("Inställningar"), MsgIcon::Exclamation, OperatorPanel::Buttons::Ok);
        cmdSave->setEnabled(slot_ > 0);
        return false;
    }
    const QString program = QStringLiteral("Program");
    bool ok = WriteIni(program, QStringLiteral("Editor"), txtEditor->text());
    // Written only when changed: a file without the keys keeps its defaults.
    for (QLineEdit* e : {txtAllowedHosts, txtListenAddress}) {
        const QString key = e->objectName().mid(3);
        if (e->text() != ReadIni(program, key, QString())) ok &= WriteIni(program, key, e->text());
    }
    // Only an edit is written: a stored limit outside the boxes' ranges stays as it is.
    if (txtHistoryKeep->value() != shownKeep_)
        ok &= WriteIni(program, QStringLiteral("HistoryKeep"), QString::number(txtHistoryKeep->value()));
    if (txtHistoryMaxMB->value() != shownMaxMB_)
        ok &= WriteIni(program, QStringLiteral("HistoryMaxMB"), QString::number(txtHistoryMaxMB->value()));
    if (txtMaxProgramMB->value() != shownProgramMB_)
        ok &= WriteIni(program, QStringLiteral("MaxProgramMB"), QString::number(txtMaxProgramMB->value()));
    if (chkVerifyAfterSend->isChecked() != VerifyAfterSendSetting())
        ok &= WriteIni(program, QStringLiteral("VerifyAfterSend"), BoolText(chkVerifyAfterSend->isChecked()));
    if (slot_ > 0) ok &= WriteSetupMachine(slot_, collect());
    if (ok) {
        shownKeep_ = txtHistoryKeep->value();
        shownMaxMB_ = txtHistoryMaxMB->value();
        shownProgramMB_ = txtMaxProgramMB->value();
    }
    // What could not be written is still to be saved, and "Stäng" still asks.
    Dirty = !ok;
    cmdSave->setEnabled(Dirty && slot_ > 0);
    return ok;
}

void frm_setup::cmdSave_Click() {
    cmdSave->setEnabled(false);
    SaveSettings();
}

void frm_setup::Command1_Click() {
    const std::optional<QString> answer =
        ShowInputBox(this, QStringLiteral("Ange namn på ny CNC"), QStringLiteral("Ny CNC"), QString());
    if (!answer) return;
    // The settings file drops blanks around a value; the name is looked up as it reads back.
    const QString name = answer->trimmed();
    const QString refusal = NewMachineRefusal(name);
    if (!refusal.isEmpty()) {
        ShowMessageBox(this, refusal, QStringLiteral("Ny CNC"), MsgIcon::Exclamation, OperatorPanel::Buttons::Ok);
        return;
    }
    if (!AddMachineName(name)) return;
    FillMachineList();
    Text2Combo(cmbMaskiner, name);
    // The new machine exists only by name until it is saved.
    Dirty = true;
    cmdSave->setEnabled(slot_ > 0);
}

void frm_setup::browse(QLineEdit* box, const QString& title) {
    const QString chosen = ChooseFolder(this, title, box->text());
    // A cancel keeps the folder: an emptied box would be saved with the next "Ja".
    if (!chosen.isEmpty()) box->setText(QDir::toNativeSeparators(chosen));
}

void frm_setup::txtMaskinIP_LostFocus() {
    if (IsValidIP(txtMaskinIP->text())) return;
    if (ShowMessageBox(this,
                       QStringLiteral("Den angivna IP-addressen verkar inte vara korrekt.\r\n"
                                      "Är du säker på att du vill använda den?"),
                       QStringLiteral("IP Address"), MsgIcon::Exclamation,
                       OperatorPanel::Buttons::YesNo) == OperatorPanel::Answer::No)
        QMetaObject::invokeMethod(txtMaskinIP, [this] { txtMaskinIP->setFocus(); }, Qt::QueuedConnection);
}

void frm_setup::txtMaskinPort_LostFocus() {
    if (IsNumeric(txtMaskinPort->text())) return;
    if (ShowMessageBox(this,
                       QStringLiteral("Den angivna porten verkar inte vara korrekt.\r\n"
                                      "Är du säker på att du vill använda den?"),
                       QStringLiteral("IP Address"), MsgIcon::Exclamation,
                       OperatorPanel::Buttons::YesNo) == OperatorPanel::Answer::No)
        QMetaObject::invokeMethod(txtMaskinPort, [this] { txtMaskinPort->setFocus(); }, Qt::QueuedConnection);
}

bool frm_setup::eventFilter(QObject* watched, QEvent* event) {
    // A field disabled under the cursor (another link or machine chosen) was
    // not left by the operator; nor was one whose program lost the desktop's focus.
    if (event->type() == QEvent::FocusOut && !asking_ && isVisible() && static_cast<QWidget*>(watched)->isEnabled()) {
        const Qt::FocusReason why = static_cast<QFocusEvent*>(event)->reason();
        if (why != Qt::ActiveWindowFocusReason && why != Qt::PopupFocusReason) {
            asking_ = true;
            if (watched == txtMaskinIP) txtMaskinIP_LostFocus();
            if (watched == txtMaskinPort) txtMaskinPort_LostFocus();
            asking_ = false;
        }
    }
    return QDialog::eventFilter(watched, event);
}

bool frm_setup::Form_Unload() {
    if (!Dirty) return true;
    switch (ShowMessageBox(this,
                           QStringLiteral("Vill du spara ändringarna till maskinen innan du stänger inställningarna?"),
                           AppTitle(), MsgIcon::None, OperatorPanel::Buttons::YesNoCancel)) {
    case OperatorPanel::Answer::Cancel: return false;
    case OperatorPanel::Answer::Yes: return SaveSettings();
    default: return true;
    }
}

void frm_setup::reject() {
    if (Form_Unload()) QDialog::reject();
}
