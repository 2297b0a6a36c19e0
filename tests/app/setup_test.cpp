// The setup dialog through its widgets, checked in the settings file.
#include "windowfixture.h"

#include "common/ini.h"
#include "config/machines.h"
#include "config/ui/frm_setup.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTabWidget>

namespace {

template <class T>
T* Get(QWidget& d, const char* name) {
    T* c = d.findChild<T*>(QLatin1String(name));
    EXPECT_NE(c, nullptr) << name;
    return c;
}
QString Text(QWidget& d, const char* combo) { return Get<QComboBox>(d, combo)->currentText(); }
void Choose(QWidget& d, const char* combo, const QString& text) {
    auto* c = Get<QComboBox>(d, combo);
    ASSERT_GE(c->findText(text), 0) << text.toStdString();
    c->setCurrentIndex(c->findText(text));
}
void Edit(QWidget& d, const char* box, const QString& text) { Get<QLineEdit>(d, box)->setText(text); }
void Press(QWidget& d, const char* button) { Get<QPushButton>(d, button)->click(); }
QString Stored(int slot, const char* key) { return ReadIni(MachineSection(slot), key, "<saknas>"); }

// Every key the dialog writes, stored as it writes them.
const QByteArray kFullA =
    "[Maskin 1]\r\nNamn=A\r\nTyp=2\r\nIP=\r\nPort=\r\nModell=?\r\nComPort=3\r\nBaudRate=19200\r\n"
    "Settings=,o,8,2\r\nRootPath=/r\r\nRecPath=/r/in\r\nSendPath=/r/ut\r\nDeleted=/r/p\r\nDocPath=/r/d\r\n"
    "GetDir=False\r\nEOB=1\r\nExtension=NC\r\nShowAllFiles=0\r\n";

}  // namespace

TEST(Setup, LoadsAMachineAndSavesTypFromTheLinkAndModel) {
    WindowHome h;
    h.ini("LastMachine=A\r\nEditor=vi\r\n; egen rad\r\n" + kFullA +
          "[Maskin 2]\r\nNamn=B\r\nTyp=2\r\nModell=GEN PROT 2\r\n[ComPorts]\r\nCOM1=/dev/null\r\n");
    const QByteArray before = h.home.read("Fenmo32.INI");
    frm_setup d;
    d.show();
    EXPECT_EQ(d.windowTitle(), "Inställningar");
    auto* tabs = Get<QTabWidget>(d, "SSTab");
    EXPECT_EQ(tabs->tabText(0) + tabs->tabText(1) + tabs->tabText(2), "KommunikationSökvägarAvancerat");
    EXPECT_TRUE(tabs->isEnabled());
    EXPECT_TRUE(Get<QRadioButton>(d, "optCOM")->isChecked());
    EXPECT_EQ(Text(d, "cmbProtoTyp"), "Typ 1");
    EXPECT_EQ(Text(d, "cmbComPort") + Text(d, "cmbBaud") + Text(d, "cmbEOB"), "319200LF");
    EXPECT_EQ(Get<QLineEdit>(d, "txtEditor")->text(), "vi");
    EXPECT_FALSE(Get<QCheckBox>(d, "chkAutoDir")->isChecked());
    EXPECT_FALSE(Get<QLineEdit>(d, "txtMaskinIP")->isEnabled());
    auto* save = Get<QPushButton>(d, "cmdSave");
    EXPECT_FALSE(save->isEnabled());
    EXPECT_FALSE(d.dirty());

    // Saving unchanged writes "Typ" 2 again; nothing else in the file moves.
    Edit(d, "txtExtension", "TC");
    EXPECT_TRUE(save->isEnabled());
    save->click();
    EXPECT_FALSE(save->isEnabled());
    EXPECT_EQ(h.home.read("Fenmo32.INI"), QByteArray(before).replace("Extension=NC", "Extension=TC"));

    // "GEN PROT 2" on a serial link is protocol 2 whatever the list shows.
    Choose(d, "cmbMaskiner", "B");
    EXPECT_EQ(ReadIni("Program", "LastMachine", ""), "B");
    EXPECT_EQ(Text(d, "cmbProtoTyp"), "Typ 1");
    Edit(d, "txtSettings", ",n,8,1");  // marks the dialog dirty too
    Edit(d, "txtAllowedHosts", "10.0.0.0/8");
    save->click();
    EXPECT_EQ(ReadIni("Program", "AllowedHosts", ""), "10.0.0.0/8");
    EXPECT_EQ(ReadIni("Program", "ListenAddress", "<saknas>"), "<saknas>");  // unchanged keys stay unwritten
    EXPECT_EQ(Stored(2, "Typ") + Stored(2, "Settings"), "1,n,8,1");

    // History settings are general ones: only a changed one is written.
    EXPECT_EQ(Get<QSpinBox>(d, "txtHistoryKeep")->value(), 20);
    Get<QSpinBox>(d, "txtHistoryKeep")->setValue(5);
    save->click();
    EXPECT_EQ(ReadIni("Program", "HistoryKeep", ""), "5");
    EXPECT_EQ(ReadIni("Program", "HistoryMaxMB", "<saknas>"), "<saknas>");
    EXPECT_TRUE(h.ui.shown.isEmpty());
}

TEST(Setup, ModelFileRestrictsTheChoices) {
    WindowHome h;
    h.home.write("maskiner/Lf.dat", "[Maskin]\r\nOnlyLF=True\r\nNetwork=False\r\nProtokoll2=False\r\n");
    h.home.write("maskiner/Trasig.DAT", "[Maskin]\r\nNetwork=kanske\r\nOnlyLF=\r\nProtokoll2=&&\r\n");
    h.ini("LastMachine=A\r\n[Maskin 1]\r\nNamn=A\r\nTyp=1\r\nEOB=0\r\n");
    frm_setup d;
    d.show();
    auto* models = Get<QComboBox>(d, "cmbModell");
    QStringList listed;
    for (int i = 0; i < models->count(); ++i) listed << models->itemText(i);
    EXPECT_EQ(listed, (QStringList{"?", "GEN PROT 1", "GEN PROT 2", "Lf", "Trasig"}));
    EXPECT_EQ(Text(d, "cmbProtoTyp"), "Typ 2");

    Choose(d, "cmbModell", "Lf");
    EXPECT_EQ(Text(d, "cmbEOB") + Text(d, "cmbProtoTyp"), "LFTyp 1");
    const char* restricted[] = {"cmbEOB", "optNet", "cmbProtoTyp"};
    for (const char* name : restricted) EXPECT_FALSE(Get<QWidget>(d, name)->isEnabled()) << name;
    Press(d, "cmdSave");
    EXPECT_EQ(Stored(1, "Typ") + Stored(1, "EOB") + Stored(1, "Modell"), "21Lf");

    // Values that do not convert count as missing.
    Choose(d, "cmbModell", "Trasig");
    for (const char* name : restricted) EXPECT_TRUE(Get<QWidget>(d, name)->isEnabled()) << name;
}

TEST(Setup, StoredValuesTheListsLackShowWhatTheyCan) {
    WindowHome h;
    h.ini("LastMachine=A\r\n[Maskin 1]\r\nNamn=A\r\nTyp=0\r\nPort=10000\r\nBaudRate=19200\r\nEOB=1\r\n"
          "[Maskin 2]\r\nNamn=B\r\nTyp=x\r\nBaudRate=1234\r\nEOB=7\r\nGetDir=kanske\r\nShowAllFiles=0\r\n"
          "[Maskin 3]\r\nNamn=C\r\n");
    frm_setup d;
    d.show();
    QApplication::setActiveWindow(&d);
    // Leaving a doubtful address or port asks; "Nej" goes back to the field.
    auto* ip = Get<QLineEdit>(d, "txtMaskinIP");
    auto* port = Get<QLineEdit>(d, "txtMaskinPort");
    ip->setFocus();
    ip->setText("10.1.256.1");
    h.ui.answers << OperatorPanel::Answer::No;
    port->setFocus();
    QCoreApplication::processEvents();
    EXPECT_TRUE(ip->hasFocus());
    ip->setText("10.1.2.3");
    port->setText("1e3");  // numeric
    port->setFocus();
    ip->setFocus();
    port->setText("10 000");
    h.ui.answers << OperatorPanel::Answer::Yes;
    port->setFocus();
    ip->setFocus();
    ASSERT_EQ(h.ui.shown.size(), 2);
    EXPECT_EQ(h.ui.shown[0].text, "Den angivna IP-addressen verkar inte vara korrekt.\r\n"
                                  "Är du säker på att du vill använda den?");
    EXPECT_EQ(h.ui.shown[1].text, "Den angivna porten verkar inte vara korrekt.\r\n"
                                  "Är du säker på att du vill använda den?");
    EXPECT_EQ(h.ui.shown[1].title, "IP Address");
    EXPECT_EQ(port->text(), "10 000");
    h.ui.shown.clear();
    h.ui.answers << OperatorPanel::Answer::No;  // not saved when switching

    Choose(d, "cmbMaskiner", "B");
    EXPECT_TRUE(Get<QRadioButton>(d, "optNet")->isChecked());  // as before
    EXPECT_EQ(Text(d, "cmbBaud"), "19200");
    EXPECT_EQ(Get<QComboBox>(d, "cmbEOB")->currentIndex(), -1);
    EXPECT_TRUE(Get<QCheckBox>(d, "chkAutoDir")->isChecked());
    EXPECT_FALSE(Get<QCheckBox>(d, "chkShowAll")->isChecked());
    Edit(d, "txtExtension", "NC");
    Press(d, "cmdSave");
    // The odd line end is kept until one is chosen.
    EXPECT_EQ(Stored(2, "BaudRate") + "|" + Stored(2, "EOB") + "|" + Stored(2, "Typ"), "19200|7|0");

    // A machine with nothing but its name gets the dialog's defaults.
    Choose(d, "cmbMaskiner", "C");
    EXPECT_TRUE(Get<QRadioButton>(d, "optCOM")->isChecked());
    EXPECT_EQ(Text(d, "cmbProtoTyp") + Text(d, "cmbModell") + Text(d, "cmbComPort") + Text(d, "cmbBaud") +
                  Text(d, "cmbEOB"),
              "Typ 2?19600CR-LF");
    EXPECT_EQ(Get<QLineEdit>(d, "txtSettings")->text(), ",e,7,1");
    EXPECT_EQ(Get<QLineEdit>(d, "txtRootPath")->text(), DefaultProgramFolder());
    EXPECT_EQ(Get<QLineEdit>(d, "txtTrashPath")->text(), DefaultTrashFolder());
    EXPECT_TRUE(Get<QCheckBox>(d, "chkShowAll")->isChecked());
    EXPECT_EQ(h.ui.texts(), QStringList{"Vill du spara ändringarna till maskinen?"});
}

TEST(Setup, NewMachinesAndRefusedNames) {
    WindowHome h;
    h.ini("LastMachine=A\r\n[Maskin 1]\r\nNamn=A\r\n[Maskin 3]\r\nNamn=C\r\n");
    const QByteArray before = h.home.read("Fenmo32.INI");
    frm_setup d;
    d.show();
    h.ui.inputs << std::nullopt << QString("  ") << QString("a]b") << QString("x\r\ny");
    for (int i = 0; i < 4; ++i) Press(d, "Command1");
    EXPECT_EQ(h.ui.prompts.value(0), "Ny CNC|Ange namn på ny CNC|");
    ASSERT_EQ(h.ui.shown.size(), 3);  // the cancel asks nothing
    for (const Answers::Shown& s : h.ui.shown) EXPECT_EQ(s.title, "Ny CNC");
    EXPECT_EQ(h.home.read("Fenmo32.INI"), before);

    h.ui.inputs << QString(" Fräs 2 ");
    Press(d, "Command1");
    EXPECT_EQ(Stored(2, "Namn"), "Fräs 2");
    EXPECT_EQ(Text(d, "cmbMaskiner"), "Fräs 2");
    EXPECT_TRUE(d.dirty());
    h.ui.answers << OperatorPanel::Answer::Yes;
    Press(d, "cmdClose");
    EXPECT_FALSE(d.isVisible());
    EXPECT_EQ(Stored(2, "Typ") + Stored(2, "BaudRate") + Stored(2, "EOB"), "196000");

    // Slots 1 to 16 in use: refused, nothing written.
    QByteArray full;
    for (int n = 1; n <= 16; ++n) full += "[Maskin " + QByteArray::number(n) + "]\r\nNamn=M" + QByteArray::number(n) + "\r\n";
    h.ini(full);
    const QByteArray fullBefore = h.home.read("Fenmo32.INI");
    frm_setup d2;
    h.ui.inputs << QString("M17");
    Press(d2, "Command1");
    EXPECT_EQ(h.ui.shown.last().text, "Det går inte att lägga till fler maskiner: platserna 1 till 16 är upptagna.");
    EXPECT_EQ(h.home.read("Fenmo32.INI"), fullBefore);
    EXPECT_FALSE(Get<QPushButton>(d2, "cmdSave")->isEnabled());  // no machine selected
}

TEST(Setup, UnsavedEditsAreAskedForOnCloseAndOnSwitching) {
    WindowHome h;
    h.ini("LastMachine=A\r\n[Maskin 1]\r\nNamn=A\r\nSendPath=/s\r\nExtension=NC\r\n"
          "[Maskin 2]\r\nNamn=B\r\nExtension=B\r\n");
    const QByteArray before = h.home.read("Fenmo32.INI");
    const QString question = "Vill du spara ändringarna till maskinen innan du stänger inställningarna?";
    {
        frm_setup d;
        d.show();
        Edit(d, "txtExtension", "X");
        h.ui.answers << OperatorPanel::Answer::Cancel << OperatorPanel::Answer::No;
        Press(d, "cmdClose");
        EXPECT_TRUE(d.isVisible());
        Press(d, "cmdClose");
        EXPECT_FALSE(d.isVisible());
        EXPECT_EQ(h.ui.texts(), (QStringList{question, question}));
        EXPECT_EQ(h.ui.shown[0].buttons, OperatorPanel::Buttons::YesNoCancel);
        EXPECT_EQ(h.home.read("Fenmo32.INI"), before);
    }
    h.ui.shown.clear();
    frm_setup d;
    d.show();
    // A cancelled folder chooser keeps the folder; a chosen one replaces it.
    Press(d, "cmdSendFB");
    EXPECT_EQ(h.ui.folderRequests, QStringList{"Välj sändmapp|/s"});
    EXPECT_EQ(Get<QLineEdit>(d, "txtSendPath")->text(), "/s");
    EXPECT_FALSE(d.dirty());
    h.ui.folders << h.send;
    Press(d, "cmdSendFB");
    EXPECT_EQ(Get<QLineEdit>(d, "txtSendPath")->text(), QDir::toNativeSeparators(h.send));

    // Switching machines with edits: "Ja" saves them to the machine they belong to.
    Edit(d, "txtExtension", "X");
    Choose(d, "cmbMaskiner", "B");
    EXPECT_EQ(h.ui.texts(), QStringList{"Vill du spara ändringarna till maskinen?"});
    EXPECT_EQ(Stored(1, "Extension") + Stored(1, "SendPath"), "X" + QDir::toNativeSeparators(h.send));
    EXPECT_EQ(Stored(2, "Extension"), "B");
    EXPECT_EQ(Get<QLineEdit>(d, "txtExtension")->text(), "B");
    EXPECT_FALSE(d.dirty());
    Edit(d, "txtExtension", "Y");
    h.ui.answers << OperatorPanel::Answer::Yes;
    Press(d, "cmdClose");
    EXPECT_FALSE(d.isVisible());
    EXPECT_EQ(Stored(2, "Extension"), "Y");
}
