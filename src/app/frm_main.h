#pragma once
// The main window: widgets only. Every click goes to the station, and the
// station shows itself through this window as its operator panel.
#include "app/mainlayout.h"
#include "config/plugins.h"
#include "jobs/jobqueue.h"
#include "common/operatorpanel.h"
#include "operations/jobrequest.h"
#include <QHash>
#include <QMainWindow>
#include <QTimer>
#include <functional>

class Bevel;
class FolderTree;
class LocalFileList;
class QAction;
class QComboBox;
class QFrame;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QRubberBand;
class RemoteFileModel;
class ReportList;
class SerialPort;
class Station;

class frm_main : public QMainWindow, public OperatorPanel {
    Q_OBJECT
public:
    // The window's station takes ownership of port (may be null: no serial port).
    explicit frm_main(SerialPort* port = nullptr, QWidget* parent = nullptr);
    ~frm_main() override;

    Station& station() { return *station_; }

    // ---- start-up and shut-down
    void Form_Load();
    // Reads section "Program" into the station; the values read before a bad
    // one stay in force, and the bad one raises.
    void ReadGeneralSettings();
    void mnuVisaLogg_Click();
    void mnuHelpOm_Click();

    // ---- layout and keys
    float SplitRatio = 0.7f;
    float FolderSplitRatio = 0.3f;
    void Form_Resize();
    // A dragged control named source dropped at (x, y), twips in the window.
    void Form_DragDrop(const QString& source, double x, double y);
    // Returns true when the key was the window's (F5, Alt+F12).
    bool Form_KeyDown(int key, Qt::KeyboardModifiers shift);
    const MainGeometry& geometryTwips() const { return geo_; }
    // Inner size of the window in twips.
    double ScaleWidth() const;
    double ScaleHeight() const;

    // ---- machine selection
    void FillMachineList();
    // Selects entry index by code, which applies the machine.
    void selectMachine(int index);
    void cmbMaskiner_Click();
    // Hides the document entries shown so far and appends fresh ones.
    void BuildDocumentMenu(const QList<DocumentEntry>& documents);
    void mnuArkivSetup_Click();
    void mnuArkivPrintLista_Click();
    void BuildPluginMenu();
    void mnuPlugins_Click(int index);

    // ---- local library
    void UpdateLocalFolders() override;
    void FileListView_Click();
    void FileListView_DblClick();
    void FileListView_ColumnClick(int column);
    void FileListView_KeyDown(int key, Qt::KeyboardModifiers shift);
    void FolderTreeView_FolderClick();
    void cmdEdit_Click();
    void cmdKommentar_Click();
    void cmdNewFolder_Click();
    // "Historik..." for the selected program.
    void mnuArkivHistorik_Click();
    // "Jämför med maskin": results in the machine list's comparison column.
    void mnuCompare_Click();
    // "Droppmatning...": the selected program fed to an ISO tape machine as it runs.
    void mnuDrip_Click();

    // ---- machine list
    void RemoteFilesLV_Click();
    // On a program that compared "Olika": the library's text beside the machine's.
    void RemoteFilesLV_DblClick();
    void RemoteFilesLV_ColumnClick(int column);
    void RemoteFilesLV_KeyDown(int key, Qt::KeyboardModifiers shift);
    void RemoteFilesLV_GotFocus();

    // ---- operator panel
    void setStatus(const QString& text) override;
    void setPanel(int panel, const QString& text) override;
    void showPilar(const QString& text, const QStringList& frames) override;
    void hidePilar() override;
    Answer message(const QString& text, const QString& title, MsgIcon icon, Buttons buttons) override;
    QCoro::Task<Answer> ask(QString text, QString title, MsgIcon icon, Buttons buttons) override;
    bool attended() const override { return true; }
    std::optional<QString> input(const QString& prompt, const QString& title, const QString& def) override;
    void fillRemoteList(const QList<RemoteEntry>& entries) override;
    void removeRemoteItem(const QString& name) override;
    // The window's own selections: what its jobs are asked to work on.
    QStringList remoteNames() const;
    QStringList remoteSelection() const;
    QStringList localSelection() const;
    QString treeFolder() const;
    QString machineFolder() const override { return treeFolder(); }
    void setTreeFolders(const QString& root, const QString& selected) override;
    void selectTreeFolder(const QString& folder) override;
    void showMachine(const QString& name, const QString& sendPath) override;
    void setDocuments(const QList<DocumentEntry>& documents) override;
    void setProgress(int done, int total) override;

    // The activity indicator's animation step (every 200 ms while shown).
    void XferTimer_Timer();
    int xferFrame() const { return xferTag_; }
    QTimer& xferTimer() { return XferTimer; }
    QString panelText(int panel) const;

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // Shuts the machine list and the setup entry while a station operation
    // runs: a machine chosen in the middle would take the remaining programs.
    class OperationGuard {
    public:
        explicit OperationGuard(frm_main& w);
        ~OperationGuard();
        OperationGuard(const OperationGuard&) = delete;
        OperationGuard& operator=(const OperationGuard&) = delete;

    private:
        frm_main& w_;
    };
    // Queues op as the window's job on the station, under an OperationGuard
    // until the job has ended; then after(), when given. Nothing while
    // another of the window's jobs is open.
    void StartJob(JobKind kind, std::function<QCoro::Task<void>()> op, std::function<void()> after = {});
    // A handler that starts the station's procedure as a job.
    std::function<void()> Operation(JobKind kind, QCoro::Task<void> (Station::*procedure)());
    // The same for a request built from the window's selections when clicked.
    std::function<void()> Operation(std::function<JobRequest()> request);
    void StartRequest(JobRequest request, std::function<void()> after = {});
    void showComparison(const QList<ProgramComparison>& results);
    // The last comparison's differing programs by name: the library file
    // and the machine's program text.
    QHash<QString, std::pair<QString, QByteArray>> machineCopies_;
    // Widens the machine's pane so that the comparison column is not clipped.
    void fitComparison();
    QCoro::Task<void> SendAndList(JobRequest request);
    void setMachineChoiceEnabled(bool enabled);
    // "Sänd": refused without the machine's extension; afterwards the
    // machine's list asked for again when the machine lists automatically.
    void cmdSend_Click();
    // Hides the comparison column once its list or folder is no longer shown.
    void clearComparison();
    // The machine answers list requests (a tape machine has no list).
    bool machineLists() const;
    // Enables what the selected machine can do, and what the machine list's selection allows.
    void applyCapabilities();
    // A machine's own load or store has ended: the status line says so.
    void machineJobEnded(const Job& job);

    void buildMenus();
    void buildControls();
    void connectControls();
    void place(QWidget* w, const TwipsRect& r);
    void applyGeometry();
    void dockBands();
    void Form_QueryUnload();
    void Form_Unload();
    void dropSplitter(Bevel* bar, const QPoint& globalPos);
    void ControlDragDrop(const char* traceName, QWidget* control, const QString& source, const QPoint& local);
    QString selectedFilePath() const;

    Station* station_ = nullptr;
    MainGeometry geo_;
    QList<PluginEntry> Plugins;
    QStringList CurrentArrows;
    int xferTag_ = 1;
    QTimer XferTimer;
    bool loading_ = false;
    bool unloaded_ = false;
    bool closePending_ = false;  // closed while an operation ran: closes when it has ended
    int operations_ = 0;  // nested station operations now running

    QWidget* form_ = nullptr;
    Bevel* BevelTB = nullptr;
    Bevel* BevelFolder = nullptr;
    Bevel* FSplitter = nullptr;
    Bevel* Splitter = nullptr;
    QPushButton* cmdSend = nullptr;
    QPushButton* cmdRec = nullptr;
    QPushButton* cmdEdit = nullptr;
    QPushButton* cmdNewFolder = nullptr;
    QPushButton* cmdKommentar = nullptr;
    QPushButton* cmdDel = nullptr;
    QPushButton* cmdChangeFolder = nullptr;
    QPushButton* cmdDir = nullptr;
    QPushButton* cmdAbort = nullptr;
    QLabel* lblMachine = nullptr;
    QComboBox* cmbMaskiner = nullptr;
    QLineEdit* TxtFolderHeader = nullptr;
    QLineEdit* txtLocalHeader = nullptr;
    QLineEdit* txtRemoteHeader = nullptr;
    FolderTree* FolderTreeview = nullptr;
    LocalFileList* FileListView = nullptr;
    ReportList* RemoteFilesLV = nullptr;
    RemoteFileModel* remoteModel_ = nullptr;
    QFrame* StatusBar1 = nullptr;
    QLabel* statusPanels_[5] = {};
    QLabel* progress_ = nullptr;  // "n av m" of a run over several programs
    QFrame* frameXfer = nullptr;
    QLineEdit* txtXfer = nullptr;
    QLabel* lblXfer = nullptr;

    QMenu* mnuArkiv = nullptr;
    QMenu* mnuVisa = nullptr;
    QMenu* mnuComm = nullptr;
    QMenu* mnuDoc = nullptr;
    QMenu* mnuPlugin = nullptr;
    QMenu* mnuHelp = nullptr;
    QMenu* mnuDebug = nullptr;
    QMenu* mnuFileList = nullptr;  // the file list's context menu
    QAction* mnuArkivSetup = nullptr;
    QList<QAction*> mnuDocs;
    QList<QAction*> mnuPlugins;

    Bevel* dragging_ = nullptr;
    QRubberBand* dragBand_ = nullptr;
};
