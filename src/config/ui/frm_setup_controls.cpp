#include "config/ui/frm_setup.h"

#include "config/machines.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QVBoxLayout>

#include <tuple>

namespace {

template <class T, class... Args>
T* Named(const char* name, Args&&... args) {
    auto* w = new T(std::forward<Args>(args)...);
    w->setObjectName(QLatin1String(name));
    return w;
}

}  // namespace

void frm_setup::buildControls() {
    auto* root = new QVBoxLayout(this);

    Frame1 = Named<QGroupBox>("Frame1", QStringLiteral("Välj Maskin"), this);
    auto* pick = new QHBoxLayout(Frame1);
    cmbMaskiner = Named<QComboBox>("cmbMaskiner", Frame1);
    Command1 = Named<QPushButton>("Command1", QStringLiteral("Ny..."), Frame1);
    pick->addWidget(cmbMaskiner, 1);
    pick->addWidget(Command1);
    root->addWidget(Frame1);

    SSTab = Named<QTabWidget>("SSTab", this);
    root->addWidget(SSTab, 1);

    // Kommunikation
    auto* comm = new QWidget;
    auto* cg = new QGridLayout(comm);
    optCOM = Named<QRadioButton>("optCOM", QStringLiteral("Seriell kommunikation"), comm);
    optNet = Named<QRadioButton>("optNet", QStringLiteral("Nätverk"), comm);
    optISO = Named<QRadioButton>("optISO", QStringLiteral("Seriell, ren text (ISO)"), comm);
    cg->addWidget(optCOM, 0, 0);
    cg->addWidget(optNet, 0, 1);
    cg->addWidget(optISO, 0, 2);
    int row = 1;
    auto pair = [&](QLabel*& label, const char* labelName, const QString& caption, QWidget* field) {
        label = Named<QLabel>(labelName, caption, comm);
        label->setBuddy(field);
        cg->addWidget(label, row, 0);
        cg->addWidget(field, row, 1);
        ++row;
    };
    txtMaskinIP = Named<QLineEdit>("txtMaskinIP", QStringLiteral("0.0.0.0"), comm);
    pair(lblMaskinIp, "lblMaskinIp", QStringLiteral("Maskinens IP address:"), txtMaskinIP);
    txtMaskinPort = Named<QLineEdit>("txtMaskinPort", QStringLiteral("10000"), comm);
    pair(lblMaskinport, "lblMaskinport", QStringLiteral("Maskinens Port:"), txtMaskinPort);
    cmbComPort = Named<QComboBox>("cmbComPort", comm);
    for (int n = 1; n <= 16; ++n) cmbComPort->addItem(QString::number(n));
    pair(lblComport, "lblComport", QStringLiteral("COM port:"), cmbComPort);
    cmbBaud = Named<QComboBox>("cmbBaud", comm);
    cmbBaud->addItems({"600", "1200", "2400", "4800", "9600", "19200", "38400", "57600"});
    pair(lblBaud, "lblBaud", QStringLiteral("Baud:"), cmbBaud);
    cmbModell = Named<QComboBox>("cmbModell", comm);
    cmbModell->addItems({"?", "GEN PROT 1", "GEN PROT 2"});
    pair(lblModell, "lblModell", QStringLiteral("Maskinens modell:"), cmbModell);
    cmbEOB = Named<QComboBox>("cmbEOB", comm);
    cmbEOB->addItems({"CR-LF", "LF"});
    pair(lblEOB, "lblEOB", QStringLiteral("Blockslut:"), cmbEOB);
    cmbProtoTyp = Named<QComboBox>("cmbProtoTyp", comm);
    cmbProtoTyp->addItems({"Typ 1", "Typ 2"});
    pair(lblProtoTyp, "lblProtoTyp", QStringLiteral("Protokoll typ:"), cmbProtoTyp);
    txtSettings = Named<QLineEdit>("txtSettings", comm);
    pair(Label3, "Label3", QStringLiteral("Inställningar:"), txtSettings);
    // ISO tape only.
    QLabel* label = nullptr;
    cmbHandskakning = Named<QComboBox>("cmbHandskakning", comm);
    cmbHandskakning->addItems({"XON", "CTS", "INGEN"});
    pair(label, "lblHandskakning", QStringLiteral("Handskakning:"), cmbHandskakning);
    isoControls_ << label << cmbHandskakning;
    for (auto [box, name, caption] : {std::tuple{&txtLedare, "txtLedare", QStringLiteral("Ledare (NUL-tecken före):")},
                                      std::tuple{&txtSlut, "txtSlut", QStringLiteral("Slut (NUL-tecken efter):")}}) {
        *box = Named<QSpinBox>(name, comm);
        (*box)->setRange(0, 4096);
        pair(label, name == QLatin1String("txtLedare") ? "lblLedare" : "lblSlut", caption, *box);
        isoControls_ << label << *box;
    }
    txtBegaran = Named<QLineEdit>("txtBegaran", QStringLiteral("SÄND"), comm);
    pair(label, "lblBegaran", QStringLiteral("Begäran (kommentar):"), txtBegaran);
    isoControls_ << label << txtBegaran;
    txtBrustecken = Named<QSpinBox>("txtBrustecken", comm);
    txtBrustecken->setRange(0, 1000000);
    txtBrustecken->setToolTip(QStringLiteral("Hur många tecken utöver DC1/DC3 och programtext (brus på linjen) "
                                             "maskinen får sända under en droppmatning innan den stoppas."));
    pair(label, "lblBrustecken", QStringLiteral("Brustecken (0 = aldrig):"), txtBrustecken);
    isoControls_ << label << txtBrustecken;
    // Lists start without a chosen entry; a loaded machine chooses them.
    for (QComboBox* c : {cmbComPort, cmbBaud, cmbModell, cmbEOB, cmbProtoTyp}) c->setCurrentIndex(-1);
    cg->setRowStretch(row, 1);
    cg->setColumnStretch(1, 1);
    SSTab->addTab(comm, QStringLiteral("Kommunikation"));

    // Sökvägar
    auto* paths = new QWidget;
    auto* pg = new QGridLayout(paths);
    row = 0;
    auto folder = [&](QLineEdit*& box, const char* boxName, QPushButton*& button, const char* buttonName,
                      const char* labelName, const QString& caption, const QString& text) {
        box = Named<QLineEdit>(boxName, text, paths);
        button = Named<QPushButton>(buttonName, QStringLiteral("..."), paths);
        button->setFixedWidth(button->fontMetrics().horizontalAdvance(QStringLiteral("...")) + 16);
        auto* label = Named<QLabel>(labelName, caption, paths);
        label->setBuddy(box);
        pg->addWidget(label, row, 0);
        pg->addWidget(box, row, 1);
        pg->addWidget(button, row, 2);
        ++row;
    };
    folder(txtRootPath, "txtRootPath", cmbRootFB, "cmbRootFB", "lblRootPath", QStringLiteral("Rotmapp:"),
           DefaultProgramFolder());
    folder(txtSendPath, "txtSendPath", cmdSendFB, "cmdSendFB", "lblSendPath", QStringLiteral("Sändmapp:"),
           DefaultProgramFolder());
    folder(txtRecPath, "txtRecPath", cmdRecFB, "cmdRecFB", "lblRecPath", QStringLiteral("Mottagmapp:"),
           DefaultProgramFolder());
    folder(txtDocPath, "txtDocPath", cmdDocFB, "cmdDocFB", "lblDocPath", QStringLiteral("Dokumentmapp:"),
           DefaultDocumentFolder());
    folder(txtTrashPath, "txtTrashPath", cmdTrashFB, "cmdTrashFB", "lblTrashPath",
           QStringLiteral("Papperskorgsmapp:"), DefaultTrashFolder());
    pg->setRowStretch(row, 1);
    pg->setColumnStretch(1, 1);
    SSTab->addTab(paths, QStringLiteral("Sökvägar"));

    // Avancerat
    auto* adv = new QWidget;
    auto* ag = new QGridLayout(adv);
    txtExtension = Named<QLineEdit>("txtExtension", adv);
    Label1 = Named<QLabel>("Label1", QStringLiteral("Filändelse för program (Ex: TC):"), adv);
    Label1->setBuddy(txtExtension);
    ag->addWidget(Label1, 0, 0);
    ag->addWidget(txtExtension, 0, 1, 1, 2);
    chkAutoDir = Named<QCheckBox>("chkAutoDir", QStringLiteral("Automatisk uppdatering av maskinens programlista"), adv);
    ag->addWidget(chkAutoDir, 1, 0, 1, 3);
    chkShowAll = Named<QCheckBox>("chkShowAll", QStringLiteral("Visa alla filer"), adv);
    ag->addWidget(chkShowAll, 2, 0, 1, 3);
    txtEditor = Named<QLineEdit>("txtEditor", adv);
    lblEditor = Named<QLabel>("lblEditor", QStringLiteral("NC Editor:"), adv);
    lblEditor->setBuddy(txtEditor);
    Command2 = Named<QPushButton>("Command2", QStringLiteral("..."), adv);
    Command2->setFixedWidth(cmbRootFB->width());
    ag->addWidget(lblEditor, 3, 0);
    ag->addWidget(txtEditor, 3, 1);
    ag->addWidget(Command2, 3, 2);
    // Who may connect; the listening socket takes them at the next start.
    auto network = [&](QLineEdit*& edit, const char* name, const QString& label, const QString& tip, int row) {
        edit = Named<QLineEdit>(name, adv);
        edit->setToolTip(tip + QStringLiteral(" Gäller från nästa start."));
        auto* l = new QLabel(label, adv);
        l->setBuddy(edit);
        ag->addWidget(l, row, 0);
        ag->addWidget(edit, row, 1, 1, 2);
    };
    network(txtAllowedHosts, "txtAllowedHosts", QStringLiteral("Tillåtna adresser:"),
            QStringLiteral("Adresser och nät (t.ex. 10.0.0.0/8), kommaseparerade; tomt: alla."), 4);
    network(txtListenAddress, "txtListenAddress", QStringLiteral("Lyssningsadress:"),
            QStringLiteral("Tomt: alla nätverkskort."), 5);
    txtHistoryKeep = Named<QSpinBox>("txtHistoryKeep", adv);
    txtHistoryKeep->setRange(0, 9999);
    auto* lblKeep = Named<QLabel>("lblHistoryKeep", QStringLiteral("Versioner per program i historiken (0 = av):"), adv);
    lblKeep->setBuddy(txtHistoryKeep);
    ag->addWidget(lblKeep, 6, 0);
    ag->addWidget(txtHistoryKeep, 6, 1);
    txtHistoryMaxMB = Named<QSpinBox>("txtHistoryMaxMB", adv);
    txtHistoryMaxMB->setRange(0, 1000000);
    auto* lblMax = Named<QLabel>("lblHistoryMaxMB", QStringLiteral("Historikens största storlek (MB):"), adv);
    lblMax->setBuddy(txtHistoryMaxMB);
    ag->addWidget(lblMax, 7, 0);
    ag->addWidget(txtHistoryMaxMB, 7, 1);
    chkVerifyAfterSend = Named<QCheckBox>(
        "chkVerifyAfterSend", QStringLiteral("Kontrollera varje sänt program genom att hämta tillbaka det"), adv);
    ag->addWidget(chkVerifyAfterSend, 8, 0, 1, 3);
    txtMaxProgramMB = Named<QSpinBox>("txtMaxProgramMB", adv);
    txtMaxProgramMB->setRange(0, 1024 * 1024);
    auto* lblProgram = Named<QLabel>("lblMaxProgramMB", QStringLiteral("Största program från maskinen (MB, 0 = ingen gräns):"), adv);
    lblProgram->setBuddy(txtMaxProgramMB);
    ag->addWidget(lblProgram, 9, 0);
    ag->addWidget(txtMaxProgramMB, 9, 1);
    ag->setRowStretch(10, 1);
    ag->setColumnStretch(1, 1);
    SSTab->addTab(adv, QStringLiteral("Avancerat"));
    // Usable once a machine is chosen.
    SSTab->setEnabled(false);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    cmdSave = Named<QPushButton>("cmdSave", QStringLiteral("Spara"), this);
    cmdSave->setEnabled(false);
    cmdClose = Named<QPushButton>("cmdClose", QStringLiteral("Stäng"), this);
    // Enter in a field may save, never create a machine or open a chooser.
    for (QPushButton* b : findChildren<QPushButton*>()) b->setAutoDefault(false);
    cmdSave->setDefault(true);
    buttons->addWidget(cmdSave);
    buttons->addWidget(cmdClose);
    root->addLayout(buttons);
    setMinimumWidth(520);
}

void frm_setup::connectControls() {
    auto changed = [this] { SettingsChanged(); };
    for (QComboBox* c : {cmbBaud, cmbComPort, cmbEOB, cmbModell, cmbProtoTyp, cmbHandskakning})
        connect(c, &QComboBox::currentIndexChanged, this, changed);
    for (QSpinBox* b : {txtLedare, txtSlut, txtBrustecken}) connect(b, &QSpinBox::valueChanged, this, changed);
    connect(txtBegaran, &QLineEdit::textChanged, this, changed);
    connect(chkVerifyAfterSend, &QCheckBox::toggled, this, changed);
    for (QCheckBox* c : {chkAutoDir, chkShowAll})
        connect(c, &QCheckBox::stateChanged, this, [this, c](int state) {
            // Once chosen, an unknown stored value is gone for good.
            if (state != Qt::PartiallyChecked && c->isTristate()) {
                c->setTristate(false);
                c->setToolTip(QString());
            }
            SettingsChanged();
        });
    for (QSpinBox* b : {txtHistoryKeep, txtHistoryMaxMB, txtMaxProgramMB})
        connect(b, &QSpinBox::valueChanged, this, changed);
    for (QRadioButton* o : {optCOM, optNet, optISO})
        connect(o, &QRadioButton::toggled, this, [this](bool on) {
            if (on) SettingsChanged();
        });
    for (QLineEdit* e : {txtDocPath, txtExtension, txtMaskinIP, txtMaskinPort, txtRecPath, txtRootPath, txtSendPath,
                         txtTrashPath, txtSettings, txtEditor, txtAllowedHosts, txtListenAddress})
        connect(e, &QLineEdit::textChanged, this, changed);

    connect(cmbMaskiner, &QComboBox::currentIndexChanged, this, [this] { cmbMaskiner_Click(); });
    connect(Command1, &QPushButton::clicked, this, [this] { Command1_Click(); });
    connect(cmdSave, &QPushButton::clicked, this, [this] { cmdSave_Click(); });
    connect(cmdClose, &QPushButton::clicked, this, &QWidget::close);
    connect(cmbRootFB, &QPushButton::clicked, this, [this] { browse(txtRootPath, QStringLiteral("Välj grundnivå")); });
    connect(cmdSendFB, &QPushButton::clicked, this, [this] { browse(txtSendPath, QStringLiteral("Välj sändmapp")); });
    connect(cmdRecFB, &QPushButton::clicked, this, [this] { browse(txtRecPath, QStringLiteral("Välj mottagmapp")); });
    connect(cmdDocFB, &QPushButton::clicked, this,
            [this] { browse(txtDocPath, QStringLiteral("Välj dokumentmapp")); });
    connect(cmdTrashFB, &QPushButton::clicked, this,
            [this] { browse(txtTrashPath, QStringLiteral("Välj papperskorgsmapp")); });
    txtMaskinIP->installEventFilter(this);
    txtMaskinPort->installEventFilter(this);
}
