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
          "[Maskin 2]\r\nNamn=B\r\nTyp=2\r\nModell=GEN PROT 2\r\n[Maskin 3]\r\nNamn=R\r\nTyp=3\r\nBrustecken=250\r\n"
          "[ComPorts]\r\nCOM1=/dev/null\r\n");
    const QByteArray before = h.home.read("Fenmo32.INI");
    frm_setup d;
    d.show();
    auto* tabs = Get<QTabWidget>(d, "SSTab");
    EXPECT_TRUE(tabs->isEnabled());
    EXPECT_EQ(d.windowTitle() + "/" + tabs->tabText(2), "Inställningar/Avancerat");  // as messages name them
    EXPECT_TRUE(Get<QRadioButton>(d, "optCOM")->isChecked());
    EXPECT_EQ(Text(d, "cmbProtoTyp") + Text(d, "cmbComPort") + Text(d, "cmbBaud") + Text(d, "cmbEOB"),
              "Typ 1319200LF");
    EXPECT_EQ(Get<QLineEdit>(d, "txtEditor")->text(), "vi");
    EXPECT_FALSE(Get<QCheckBox>(d, "chkAutoDir")->isChecked());
    auto* noise = Get<QSpinBox>(d, "txtBrustecken");  // a tape machine's own
    EXPECT_FALSE(Get<QLineEdit>(d, "txtMaskinIP")->isEnabled() || noise->isEnabled());
    auto* save = Get<QPushButton>(d, "cmdSave");
    EXPECT_FALSE(save->isEnabled() || d.dirty());

    // Saving writes "Typ" 2 again (the model decides); nothing else in the file moves.
    Edit(d, "txtExtension", "TC");
    save->click();
    EXPECT_FALSE(save->isEnabled());
    EXPECT_EQ(h.home.read("Fenmo32.INI"), QByteArray(before).replace("Extension=NC", "Extension=TC"));

    // Enter in a field never creates a machine: only "Spara" is the default.
    for (QPushButton* b : d.findChildren<QPushButton*>())
        EXPECT_EQ(b->isDefault() || b->autoDefault(), b == save) << b->objectName().toStdString();
    Key(Get<QLineEdit>(d, "txtMaskinIP"), Qt::Key_Return);
    EXPECT_TRUE(h.ui.prompts.isEmpty());

    // "GEN PROT 2" on a serial link is protocol 2 whatever the list shows.
    Choose(d, "cmbMaskiner", "B");
    EXPECT_EQ(Text(d, "cmbProtoTyp"), "Typ 1");
    Edit(d, "txtSettings", ",n,8,1");  // marks the dialog dirty too
    Edit(d, "txtAllowedHosts", "10.0.0.0/8");
    Get<QSpinBox>(d, "txtHistoryKeep")->setValue(5);
    save->click();
    // General settings: only a changed one is written.
    EXPECT_EQ(ReadIni("Program", "AllowedHosts", "") + ReadIni("Program", "HistoryKeep", ""), "10.0.0.0/85");
    for (const char* key : {"MaxProgramMB", "HistoryMaxMB", "VerifyAfterSend"})
        EXPECT_EQ(ReadIni("Program", key, "<saknas>"), "<saknas>") << key;
    EXPECT_EQ(Stored(2, "Typ") + Stored(2, "Settings"), "1,n,8,1");

    // A tape machine's noise limit is loaded, and saved with its other tape keys.
    Choose(d, "cmbMaskiner", "R");
    EXPECT_EQ(noise->isEnabled() ? noise->value() : -1, 250);
    noise->setValue(0);
    save->click();
    EXPECT_EQ(Stored(3, "Brustecken") + Stored(3, "Ledare"), "00");
    EXPECT_TRUE(h.ui.shown.isEmpty());
}

TEST(Setup, ModelAndMachineRestrictTheChoices) {
    WindowHome h;
    h.home.write("maskiner/Lf.dat", "[Maskin]\r\nOnlyLF=True\r\nNetwork=False\r\nProtokoll2=False\r\n");
    h.home.write("maskiner/Seriell.dat", "[Maskin]\r\nNetwork=False\r\n");
    h.ini("LastMachine=A\r\n[Maskin 1]\r\nNamn=A\r\nTyp=1\r\nEOB=0\r\n"
          "[Maskin 2]\r\nNamn=N\r\nTyp=0\r\nModell=Seriell\r\nOnlyLF=True\r\nEOB=0\r\n");
    frm_setup d;
    d.show();
    auto* models = Get<QComboBox>(d, "cmbModell");
    QStringList listed;
    for (int i = 0; i < models->count(); ++i) listed << models->itemText(i);
    EXPECT_EQ(listed, (QStringList{"?", "GEN PROT 1", "GEN PROT 2", "Lf", "Seriell"}));
    EXPECT_EQ(Text(d, "cmbProtoTyp"), "Typ 2");

    Choose(d, "cmbModell", "Lf");
    EXPECT_EQ(Text(d, "cmbEOB") + Text(d, "cmbProtoTyp"), "LFTyp 1");
    const char* restricted[] = {"cmbEOB", "optNet", "cmbProtoTyp"};
    for (const char* name : restricted) EXPECT_FALSE(Get<QWidget>(d, name)->isEnabled()) << name;
    Press(d, "cmdSave");
    EXPECT_EQ(Stored(1, "Typ") + Stored(1, "EOB") + Stored(1, "Modell"), "21Lf");

    // A model without limits frees them again.
    Choose(d, "cmbModell", "?");
    for (const char* name : restricted) EXPECT_TRUE(Get<QWidget>(d, name)->isEnabled()) << name;

    // A network machine of a model without a network link, and a machine of
    // its own limited to LF: loaded as what can be saved.
    h.ui.answers << OperatorPanel::Answer::No;
    Choose(d, "cmbMaskiner", "N");
    EXPECT_FALSE(Get<QRadioButton>(d, "optNet")->isEnabled());
    EXPECT_FALSE(Get<QWidget>(d, "cmbEOB")->isEnabled());
    Edit(d, "txtExtension", "NC");
    Press(d, "cmdSave");
    EXPECT_EQ(Stored(2, "Typ") + Stored(2, "EOB"), "11");
}

TEST(Setup, ValuesTheControlsCannotShowAreKeptAsStored) {
    WindowHome h;
    h.home.write("maskiner/TC-32B.dat", "[Maskin]\r\nConversion=False\r\n");
    // Each odd machine is loaded after one whose controls hold every value.
    auto odd = [](const char* slot, const QList<std::pair<QByteArray, QByteArray>>& values) {
        QByteArray section = QByteArray(kFullA).replace("1]\r\nNamn=A", slot);
        for (const auto& [from, to] : values) section.replace(from, to);
        return section;
    };
    h.ini("LastMachine=A\r\nEditor=\r\nHistoryKeep=100000\r\nHistoryMaxMB=-5\r\n" + kFullA +
          odd("2]\r\nNamn=B", {{"Typ=2", "Typ=x"}, {"Modell=?", "Modell=tc-32b"}, {"ComPort=3", "ComPort=17"},
                               {"19200", "115200"}, {"EOB=1", "EOB=7"}, {"GetDir=False", "GetDir=kanske"},
                               {"ShowAllFiles=0", "ShowAllFiles=ja"}, {"=NC", "=B"}}) +
          odd("3]\r\nNamn=C", {{"Typ=2", "Typ=9"}, {"Modell=?", "Modell=Saknas"}, {"19200", "1234"}, {"=NC", "=C"}}));
    frm_setup d;
    d.show();
    for (const char* name : {"B", "C"}) {
        SCOPED_TRACE(name);
        Choose(d, "cmbMaskiner", "A");
        Choose(d, "cmbMaskiner", name);
        EXPECT_FALSE(Get<QRadioButton>(d, "optCOM")->isChecked() || Get<QRadioButton>(d, "optNet")->isChecked());
        for (const char* combo : {"cmbProtoTyp", "cmbModell", "cmbBaud"})
            EXPECT_EQ(Get<QComboBox>(d, combo)->currentIndex(), -1) << combo;
        const QByteArray before = h.home.read("Fenmo32.INI");
        Edit(d, "txtExtension", "NY");
        Press(d, "cmdSave");
        EXPECT_EQ(h.home.read("Fenmo32.INI"),
                  QByteArray(before).replace("Extension=" + QByteArray(name), "Extension=NY"));
    }
    Choose(d, "cmbMaskiner", "B");
    for (const char* combo : {"cmbComPort", "cmbEOB"}) EXPECT_EQ(Get<QComboBox>(d, combo)->currentIndex(), -1);
    for (const char* box : {"chkAutoDir", "chkShowAll"})
        EXPECT_EQ(Get<QCheckBox>(d, box)->checkState(), Qt::PartiallyChecked) << box;
    // Once ticked, the value is the operator's.
    Get<QCheckBox>(d, "chkAutoDir")->click();
    Press(d, "cmdSave");
    EXPECT_EQ(Stored(2, "GetDir") + Stored(2, "ShowAllFiles"), "Trueja");
}

TEST(Setup, AddressPortAndUnstorableTextAreQuestioned) {
    WindowHome h;
    h.ini("LastMachine=A\r\n[Maskin 1]\r\nNamn=A\r\nTyp=0\r\nPort=10000\r\n");
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
    port->setText("10 000");
    h.ui.answers << OperatorPanel::Answer::Yes;
    port->setFocus();
    ip->setFocus();
    const QString sure = "\r\nÄr du säker på att du vill använda den?";
    EXPECT_EQ(h.ui.texts(), (QStringList{"Den angivna IP-addressen verkar inte vara korrekt." + sure,
                                         "Den angivna porten verkar inte vara korrekt." + sure}));
    EXPECT_EQ(h.ui.shown.value(1).title, "IP Address");
    EXPECT_EQ(port->text(), "10 000");
    h.ui.shown.clear();

    // A pasted line break is refused, naming the field; nothing is written.
    const QByteArray before = h.home.read("Fenmo32.INI");
    for (const auto& [box, label] : {std::pair{"txtSendPath", "Sändmapp"}, std::pair{"txtEditor", "NC Editor"}}) {
        Edit(d, box, "/nc\r\n[Maskin 9]\nNamn=X");
        Press(d, "cmdSave");
        EXPECT_EQ(h.ui.shown.last().text,
                  QString("Fältet \"%1\" innehåller en radbrytning, som inte kan sparas. Ta bort den och spara igen.")
                      .arg(label));
        EXPECT_EQ(h.home.read("Fenmo32.INI"), before);
        EXPECT_TRUE(d.dirty());
        Edit(d, box, "/nc");
    }

    // A key that could not be written keeps the dialog dirty (so closing asks).
    QFile::remove(h.home.file("Fenmo32.INI"));
    QDir(h.home.path()).mkdir("Fenmo32.INI");
    Press(d, "cmdSave");
    EXPECT_TRUE(d.dirty());
    EXPECT_TRUE(Get<QPushButton>(d, "cmdSave")->isEnabled());
}

TEST(Setup, NewMachinesAndRefusedNames) {
    WindowHome h;
    // Slot 2 still holds the keys of a machine whose name was blanked by hand.
    h.ini("LastMachine=A\r\n[Maskin 1]\r\nNamn=A\r\n[Maskin 2]\r\nNamn=\r\nIP=10.9.9.9\r\nSendPath=/gammal\r\n"
          "[Maskin 3]\r\nNamn=C\r\n");
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
    EXPECT_EQ(Get<QLineEdit>(d, "txtMaskinIP")->text() + Get<QLineEdit>(d, "txtSendPath")->text(),
              DefaultProgramFolder());
    h.ui.answers << OperatorPanel::Answer::Yes;
    Press(d, "cmdClose");
    EXPECT_FALSE(d.isVisible());
    EXPECT_EQ(Stored(2, "Typ") + Stored(2, "BaudRate") + Stored(2, "EOB") + Stored(2, "IP"), "196000");

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
}
