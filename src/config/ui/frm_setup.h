#pragma once
// The setup dialog: creates and edits machine definitions and the editor.
#include <QDialog>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QSpinBox;
class QTabWidget;
struct SetupSave;

class frm_setup : public QDialog {
    Q_OBJECT
public:
    // Loads itself at once (Form_Load): the lists, the editor and the last machine.
    explicit frm_setup(QWidget* parent = nullptr);
    ~frm_setup() override;

    bool dirty() const { return Dirty; }

    void Form_Load();
    void cmbMaskiner_Click();
    void SettingsChanged();
    // False when nothing or not every key could be written: the dialog stays dirty.
    bool SaveSettings();
    void cmdSave_Click();
    void Command1_Click();
    // False when the operator keeps the dialog open.
    bool Form_Unload();

public Q_SLOTS:
    void reject() override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildControls();
    void connectControls();
    void FillMachineList();
    void Text2Combo(QComboBox* combo, const QString& text);
    void loadMachine(int slot);
    // What the model (and the machine's own OnlyLF) allows, applied to the controls.
    void applyRestrictions();
    // The label of the first field whose text the settings file cannot hold; "" when none.
    QString unstorableField() const;
    SetupSave collect() const;
    void browse(QLineEdit* box, const QString& title);
    void txtMaskinIP_LostFocus();
    void txtMaskinPort_LostFocus();

    bool Dirty = false;
    int slot_ = 0;  // the machine the controls hold; 0 before any
    bool loading_ = false;
    bool machineOnlyLF_ = false;
    QString storedModel_;  // the machine's "Modell", also when the list lacks it
    int shownKeep_ = 0, shownMaxMB_ = 0;  // history limits as loaded, so that only an edit is written
    int shownProgramMB_ = 0;
    bool asking_ = false;

    QPushButton* cmdClose = nullptr;
    QPushButton* cmdSave = nullptr;
    QGroupBox* Frame1 = nullptr;
    QComboBox* cmbMaskiner = nullptr;
    QPushButton* Command1 = nullptr;
    QTabWidget* SSTab = nullptr;
    QRadioButton* optCOM = nullptr;
    QRadioButton* optNet = nullptr;
    QRadioButton* optISO = nullptr;
    QComboBox* cmbHandskakning = nullptr;
    QSpinBox* txtLedare = nullptr;
    QSpinBox* txtSlut = nullptr;
    QLineEdit* txtBegaran = nullptr;
    QSpinBox* txtBrustecken = nullptr;
    QList<QWidget*> isoControls_;
    QLineEdit* txtMaskinIP = nullptr;
    QLabel* lblMaskinIp = nullptr;
    QLineEdit* txtMaskinPort = nullptr;
    QLabel* lblMaskinport = nullptr;
    QComboBox* cmbComPort = nullptr;
    QLabel* lblComport = nullptr;
    QComboBox* cmbBaud = nullptr;
    QLabel* lblBaud = nullptr;
    QComboBox* cmbModell = nullptr;
    QLabel* lblModell = nullptr;
    QComboBox* cmbEOB = nullptr;
    QLabel* lblEOB = nullptr;
    QComboBox* cmbProtoTyp = nullptr;
    QLabel* lblProtoTyp = nullptr;
    QLineEdit* txtSettings = nullptr;
    QLabel* Label3 = nullptr;
    QLineEdit* txtRootPath = nullptr;
    QPushButton* cmbRootFB = nullptr;
    QLineEdit* txtSendPath = nullptr;
    QPushButton* cmdSendFB = nullptr;
    QLineEdit* txtRecPath = nullptr;
    QPushButton* cmdRecFB = nullptr;
    QLineEdit* txtDocPath = nullptr;
    QPushButton* cmdDocFB = nullptr;
    QLineEdit* txtTrashPath = nullptr;
    QPushButton* cmdTrashFB = nullptr;
    QLineEdit* txtExtension = nullptr;
    QLabel* Label1 = nullptr;
    QCheckBox* chkAutoDir = nullptr;
    QCheckBox* chkShowAll = nullptr;
    QLineEdit* txtEditor = nullptr;
    QLabel* lblEditor = nullptr;
    QSpinBox* txtHistoryKeep = nullptr;
    QSpinBox* txtHistoryMaxMB = nullptr;
    QSpinBox* txtMaxProgramMB = nullptr;
    QCheckBox* chkVerifyAfterSend = nullptr;
    QPushButton* Command2 = nullptr;
    QLineEdit* txtAllowedHosts = nullptr;
    QLineEdit* txtListenAddress = nullptr;
};
