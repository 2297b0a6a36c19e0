// The main window's construction: menus, controls at their design-time
// places, and the wiring of every control to its handler.
#include "app/frm_main.h"

#include "app/errordialog.h"
#include "app/remotefilelist.h"
#include "app/version.h"
#include "common/errorreport.h"
#include "controls/bevel.h"
#include "controls/captionbutton.h"
#include "controls/statuspanel.h"
#include "library/ui/foldertree.h"
#include "library/ui/localfilelist.h"
#include "link/programname.h"
#include "station/station.h"
#include "operations/operations.h"

#include <QAction>
#include <QComboBox>
#include <QFrame>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>

namespace {
template <class W>
W* Named(W* w, const char* name) {
    w->setObjectName(QLatin1String(name));
    return w;
}

QAction* Entry(QMenu* menu, const char* name, const QString& caption) {
    QAction* a = menu->addAction(caption);
    a->setObjectName(QLatin1String(name));
    return a;
}

QLineEdit* Header(QWidget* parent, const char* name, const QString& text) {
    auto* e = Named(new QLineEdit(text, parent), name);
    e->setReadOnly(true);
    e->setFocusPolicy(Qt::NoFocus);
    return e;
}
}  // namespace

frm_main::frm_main(SerialPort* port, QWidget* parent) : QMainWindow(parent) {
    setObjectName(QStringLiteral("frm_main"));
    setWindowTitle(MainCaption());
    station_ = new Station(*this, port, this);
    station_->SetJournalJobs(true);
    geo_ = DesignGeometry();
    XferTimer.setInterval(200);
    XferTimer.setObjectName(QStringLiteral("XferTimer"));
    buildMenus();
    buildControls();
    connectControls();
    // The form's client area is the design-time inner size.
    resize(TwipsToPixels(kDesignWidth), TwipsToPixels(kDesignHeight) + menuBar()->sizeHint().height());
}

frm_main::~frm_main() = default;

void frm_main::buildMenus() {
    QMenuBar* bar = menuBar();
    mnuArkiv = Named(bar->addMenu(QStringLiteral("Arkiv")), "mnuArkiv");
    mnuArkivSetup = Entry(mnuArkiv, "mnuArkivSetup", QStringLiteral("Inställningar..."));
    Entry(mnuArkiv, "mnuArkivPrintLista", QStringLiteral("Skriv ut fillista..."));
    Entry(mnuArkiv, "mnuArkivHistorik", QStringLiteral("Historik..."));
    mnuArkiv->addSeparator()->setObjectName(QStringLiteral("mnuBreak2"));
    Entry(mnuArkiv, "mnuArkivQuit", QStringLiteral("Avsluta"));

    mnuVisa = Named(bar->addMenu(QStringLiteral("Visa")), "mnuVisa");
    Entry(mnuVisa, "mnuVisaLogg", QStringLiteral("Logg"));

    mnuComm = Named(bar->addMenu(QStringLiteral("Kommunikation")), "mnuComm");
    Entry(mnuComm, "mnuSend", QStringLiteral("Sänd"));
    Entry(mnuComm, "mnuRec", QStringLiteral("Hämta"));
    mnuComm->addSeparator()->setObjectName(QStringLiteral("mnuBreak1"));
    Entry(mnuComm, "mnuRecManual", QStringLiteral("Hämta med namn..."));
    Entry(mnuComm, "mnuCompare", QStringLiteral("Jämför med maskin"));
    Entry(mnuComm, "mnuDrip", QStringLiteral("Droppmatning..."));
    mnuDoc = Named(mnuComm->addMenu(QStringLiteral("Hämta dokument")), "mnuDoc");
    mnuDoc->menuAction()->setObjectName(QStringLiteral("mnuDocAction"));
    QAction* heading = Entry(mnuDoc, "mnuDocs", QStringLiteral("Listor:"));
    heading->setEnabled(false);
    mnuDocs << heading;

    mnuPlugin = Named(bar->addMenu(QStringLiteral("Plugins")), "mnuPlugin");
    mnuPlugins << Entry(mnuPlugin, "mnuPlugins", QStringLiteral("Test"));
    mnuPlugin->menuAction()->setVisible(false);

    mnuHelp = Named(bar->addMenu(QStringLiteral("Hjälp")), "mnuHelp");
    Entry(mnuHelp, "mnuHelpOm", QStringLiteral("Om..."));

    mnuDebug = Named(bar->addMenu(QStringLiteral("Debug")), "mnuDebug");
    Entry(mnuDebug, "mnuDebugParse", QStringLiteral("Parsa commandlog"));
    mnuDebug->menuAction()->setVisible(false);

    mnuFileList = Named(new QMenu(this), "mnuFileList");
    Entry(mnuFileList, "mnuFileHistorik", QStringLiteral("Historik..."));
    Entry(mnuFileList, "mnuFileDrip", QStringLiteral("Droppmatning..."));
}

void frm_main::buildControls() {
    form_ = new QWidget(this);
    form_->setObjectName(QStringLiteral("form"));
    setCentralWidget(form_);
    QWidget* f = form_;

    // Bands first, so that everything else lies on top of them.
    BevelTB = Named(new Bevel(f), "BevelTB");
    place(BevelTB, {0, 0, 12000, 1455});
    BevelFolder = Named(new Bevel(f), "BevelFolder");

    struct ButtonDef {
        QPushButton** slot;
        const char* name;
        const char* caption;
        double left, top;
    };
    const ButtonDef buttons[] = {
        {&cmdSend, "cmdSend", "Sänd", 100, 100},
        {&cmdRec, "cmdRec", "Hämta", 1415, 120},
        {&cmdEdit, "cmdEdit", "Editera", 2730, 100},
        {&cmdNewFolder, "cmdNewFolder", "Skapa Mapp", 4080, 120},
        {&cmdKommentar, "cmdKommentar", "Kommentar", 5400, 120},
        {&cmdDel, "cmdDel", "Radera", 6675, 100},
        {&cmdChangeFolder, "cmdChangeFolder", "Auto dok", 7990, 100},
        {&cmdDir, "cmdDir", "Uppdatera bibliotek", 9305, 100},
        {&cmdAbort, "cmdAbort", "Avbryt", 10620, 100},
    };
    for (const ButtonDef& b : buttons) {
        auto* button = Named(new CaptionButton(QString::fromUtf8(b.caption), f), b.name);
        place(button, {b.left, b.top, 1215, 855});
        *b.slot = button;
    }
    // Nothing is chosen yet in either list.
    cmdSend->setEnabled(false);
    cmdEdit->setEnabled(false);
    cmdRec->setEnabled(false);
    cmdDel->setEnabled(false);

    lblMachine = Named(new QLabel(QStringLiteral("Maskin:"), f), "lblMachine");
    place(lblMachine, {120, 1080, 660, 195});
    cmbMaskiner = Named(new QComboBox(f), "cmbMaskiner");
    place(cmbMaskiner, {1440, 1080, 6255, 315});

    TxtFolderHeader = Header(f, "TxtFolderHeader", QStringLiteral("Mappar"));
    txtLocalHeader = Header(f, "txtLocalHeader", QString());
    txtRemoteHeader = Header(f, "txtRemoteHeader", QStringLiteral("Maskin"));

    FolderTreeview = Named(new FolderTree(f), "FolderTreeview");
    FileListView = Named(new LocalFileList(f), "FileListView");
    RemoteFilesLV = Named(new ReportList(f), "RemoteFilesLV");
    remoteModel_ = new RemoteFileModel(RemoteFilesLV);
    RemoteFilesLV->setReportModel(remoteModel_);
    // "Storlek" of both lists: bytes or kB of a file, blocks of the machine's programs.
    FileListView->reportModel()->setValueSorted(1);
    remoteModel_->setValueSorted(1);
    RemoteFilesLV->header()->resizeSection(0, 120);
    RemoteFilesLV->header()->resizeSection(1, 70);
    RemoteFilesLV->setColumnHidden(2, true);  // until a comparison has run

    FSplitter = Named(new Bevel(f), "FSplitter");
    Splitter = Named(new Bevel(f), "Splitter");
    for (Bevel* bar : {FSplitter, Splitter}) {
        bar->setBevelOuter(Bevel::Raised);
        bar->setBevelInner(Bevel::None);
        bar->setCursor(Qt::SplitHCursor);
    }

    StatusBar1 = Named(new QFrame(f), "StatusBar1");
    auto* row = new QHBoxLayout(StatusBar1);
    row->setContentsMargins(1, 2, 1, 1);
    row->setSpacing(2);
    const int widths[] = {0, 0, 110, 60, 60};
    for (int i = 1; i <= 4; ++i) {
        QLabel* p = i == 1 ? new StatusPanel(StatusBar1) : new QLabel(StatusBar1);
        p->setObjectName(QStringLiteral("Panel") + QString::number(i));
        p->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        p->setIndent(3);
        if (widths[i]) p->setFixedWidth(widths[i]);
        row->addWidget(p, i == 1 ? 1 : 0);
        statusPanels_[i] = p;
        if (i == 1) {
            progress_ = Named(new QLabel(StatusBar1), "Progress");
            progress_->setFrameStyle(QFrame::Panel | QFrame::Sunken);
            progress_->setIndent(3);
            progress_->hide();
            row->addWidget(progress_);
        }
    }

    frameXfer = Named(new QFrame(f), "frameXfer");
    frameXfer->setFrameStyle(QFrame::Panel | QFrame::Raised);
    frameXfer->setLineWidth(2);
    frameXfer->setAutoFillBackground(true);
    txtXfer = Named(new QLineEdit(frameXfer), "txtXfer");
    txtXfer->setReadOnly(true);
    txtXfer->setFocusPolicy(Qt::NoFocus);
    txtXfer->setAlignment(Qt::AlignCenter);
    txtXfer->setGeometry(0, 0, TwipsToPixels(6855), TwipsToPixels(375));
    lblXfer = Named(new QLabel(frameXfer), "lblXfer");
    QFont mono(QStringLiteral("Courier New"));
    mono.setStyleHint(QFont::TypeWriter);
    mono.setPointSize(10);
    mono.setBold(true);
    lblXfer->setFont(mono);
    lblXfer->setAlignment(Qt::AlignCenter);
    lblXfer->setGeometry(0, TwipsToPixels(375), TwipsToPixels(6855), TwipsToPixels(1575 - 375));
    frameXfer->hide();

    applyGeometry();
}

void frm_main::connectControls() {
    auto menuEntry = [this](const char* name) { return findChild<QAction*>(QLatin1String(name)); };
    connect(mnuArkivSetup, &QAction::triggered, this, &frm_main::mnuArkivSetup_Click);
    connect(menuEntry("mnuArkivPrintLista"), &QAction::triggered, this, &frm_main::mnuArkivPrintLista_Click);
    connect(menuEntry("mnuArkivHistorik"), &QAction::triggered, this, &frm_main::mnuArkivHistorik_Click);
    connect(menuEntry("mnuFileHistorik"), &QAction::triggered, this, &frm_main::mnuArkivHistorik_Click);
    connect(menuEntry("mnuArkivQuit"), &QAction::triggered, this, &QWidget::close);
    connect(menuEntry("mnuVisaLogg"), &QAction::triggered, this, &frm_main::mnuVisaLogg_Click);
    connect(menuEntry("mnuSend"), &QAction::triggered, cmdSend, &QPushButton::click);
    connect(menuEntry("mnuRec"), &QAction::triggered, cmdRec, &QPushButton::click);
    connect(menuEntry("mnuRecManual"), &QAction::triggered, this, Operation([this] {
        JobRequest r{JobKind::Fetch, treeFolder()};
        r.manual = true;
        return r;
    }));
    connect(menuEntry("mnuCompare"), &QAction::triggered, this, &frm_main::mnuCompare_Click);
    connect(menuEntry("mnuDrip"), &QAction::triggered, this, &frm_main::mnuDrip_Click);
    connect(menuEntry("mnuFileDrip"), &QAction::triggered, this, &frm_main::mnuDrip_Click);
    connect(menuEntry("mnuHelpOm"), &QAction::triggered, this, &frm_main::mnuHelpOm_Click);
    connect(mnuPlugins.first(), &QAction::triggered, this, [this] { mnuPlugins_Click(0); });

    connect(cmdSend, &QPushButton::clicked, this, &frm_main::cmdSend_Click);
    // A fetched program goes to the folder the library shows.
    connect(cmdRec, &QPushButton::clicked, this,
            Operation([this] { return JobRequest{JobKind::Fetch, treeFolder(), remoteSelection()}; }));
    connect(cmdDir, &QPushButton::clicked, this, Operation([] { return JobRequest{JobKind::List}; }));
    connect(cmdDel, &QPushButton::clicked, this,
            Operation([this] { return JobRequest{JobKind::Delete, {}, remoteSelection()}; }));
    // "Avbryt" ends the window's running job, and whatever else is under way on the link.
    connect(cmdAbort, &QPushButton::clicked, this, [this] {
        if (const JobRun* job = station_->jobs().running())
            station_->jobs().cancel(job->record.id, JobQueue::CancelledBy(QStringLiteral("fönster ") + CurrentUser()));
        station_->cmdAbort_Click();
    });
    connect(cmdChangeFolder, &QPushButton::clicked, this, Operation(JobKind::List, &Station::cmdChangeFolder_Click));
    connect(cmdEdit, &QPushButton::clicked, this, &frm_main::cmdEdit_Click);
    connect(cmdKommentar, &QPushButton::clicked, this, &frm_main::cmdKommentar_Click);
    connect(cmdNewFolder, &QPushButton::clicked, this, &frm_main::cmdNewFolder_Click);

    connect(cmbMaskiner, &QComboBox::activated, this, [this] { cmbMaskiner_Click(); });

    connect(FolderTreeview, &FolderTree::folderClick, this, &frm_main::FolderTreeView_FolderClick);
    connect(FileListView, &ReportList::itemClicked, this, &frm_main::FileListView_Click);
    connect(FileListView, &ReportList::itemDoubleClicked, this, &frm_main::FileListView_DblClick);
    connect(FileListView, &ReportList::columnClicked, this, &frm_main::FileListView_ColumnClick);
    connect(FileListView, &ReportList::keyDown, this, &frm_main::FileListView_KeyDown);
    FileListView->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(FileListView, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
        if (FileListView->hasSelection()) mnuFileList->popup(FileListView->viewport()->mapToGlobal(at));
    });
    connect(RemoteFilesLV, &ReportList::itemClicked, this, &frm_main::RemoteFilesLV_Click);
    connect(RemoteFilesLV, &ReportList::itemDoubleClicked, this, &frm_main::RemoteFilesLV_DblClick);
    connect(RemoteFilesLV, &ReportList::columnClicked, this, &frm_main::RemoteFilesLV_ColumnClick);
    connect(RemoteFilesLV, &ReportList::keyDown, this, &frm_main::RemoteFilesLV_KeyDown);
    connect(RemoteFilesLV, &ReportList::focusGained, this, &frm_main::RemoteFilesLV_GotFocus);

    connect(&XferTimer, &QTimer::timeout, this, &frm_main::XferTimer_Timer);
    connect(&station_->jobs(), &JobQueue::changed, this, &frm_main::machineJobEnded);

    // The window sees keys before its controls, so that F5 and Alt+F12 work
    // wherever the focus is.
    form_->installEventFilter(this);
    for (QWidget* w : form_->findChildren<QWidget*>())
        if (w->focusPolicy() != Qt::NoFocus) w->installEventFilter(this);
    for (Bevel* bar : {FSplitter, Splitter}) bar->installEventFilter(this);

    InstallErrorDialog(this);
    InstallMessageSink(this);
}

frm_main::OperationGuard::OperationGuard(frm_main& w) : w_(w) {
    if (w_.operations_++ == 0) w_.setMachineChoiceEnabled(false);
}

frm_main::OperationGuard::~OperationGuard() {
    if (--w_.operations_ > 0) return;
    w_.setMachineChoiceEnabled(true);
    if (w_.closePending_) QMetaObject::invokeMethod(&w_, &QWidget::close, Qt::QueuedConnection);
}

void frm_main::StartJob(JobKind kind, std::function<QCoro::Task<void>()> op, std::function<void()> after) {
    // One of the window's jobs at a time: a second click would take the
    // first's selection ("Avbryt" is no job).
    if (operations_ > 0) return;
    auto guard = std::make_shared<OperationGuard>(*this);
    clearComparison();
    const auto run = station_->Submit(kind, QStringLiteral("fönster ") + CurrentUser(),
                                      [op = std::move(op)](JobRun&) { return op(); });
    if (run->record.finished()) return;
    auto ended = std::make_shared<QMetaObject::Connection>();
    *ended = connect(&station_->jobs(), &JobQueue::changed, this,
                     [this, id = run->record.id, guard, ended, after = std::move(after)](const Job& j) mutable {
                         if (j.id != id || !j.finished()) return;
                         disconnect(*ended);
                         guard.reset();
                         if (after && !closePending_) after();
                     });
}

std::function<void()> frm_main::Operation(JobKind kind, QCoro::Task<void> (Station::*procedure)()) {
    return [this, kind, procedure] { StartJob(kind, [this, procedure] { return (station_->*procedure)(); }); };
}

std::function<void()> frm_main::Operation(std::function<JobRequest()> request) {
    return [this, request = std::move(request)] { StartRequest(request()); };
}

void frm_main::StartRequest(JobRequest request, std::function<void()> after) {
    const JobKind kind = request.kind;
    StartJob(kind, [this, request = std::move(request)] { return RunRequest(*station_, request); }, std::move(after));
}

void frm_main::cmdSend_Click() {
    if (operations_ > 0) return;
    const MachineSettings& ms = station_->machine();
    if (ms.Extension.isEmpty()) {
        // Every program name would come out empty: name the setting, not the file.
        message(MissingExtensionText(cmbMaskiner->currentText()), AppTitle(), MsgIcon::Exclamation, Buttons::Ok);
        return;
    }
    StartJob(JobKind::Send, [this, request = JobRequest{JobKind::Send, treeFolder(), localSelection()}] {
        return SendAndList(request);
    });
}

// The list on the right was the machine's before the send: it is asked for
// again, as at start-up, so that it and the next overwrite question see
// what the machine holds now.
QCoro::Task<void> frm_main::SendAndList(JobRequest request) {
    co_await RunRequest(*station_, request);
    const Conversation list(*station_);
    if (station_->machine().GetDir && !station_->aborted()) co_await cmdDir_Click(list);
}

void frm_main::clearComparison() {
    RemoteFilesLV->setColumnHidden(2, true);
    machineCopies_.clear();
}

bool frm_main::machineLists() const { return station_->machine().Typ != 3; }

void frm_main::applyCapabilities() {
    const bool lists = machineLists();
    const bool chosen = lists && RemoteFilesLV->hasSelection();
    cmdRec->setEnabled(chosen);
    cmdDel->setEnabled(chosen);
    cmdDir->setEnabled(lists);
    cmdChangeFolder->setEnabled(lists);
    const std::pair<const char*, bool> entries[] = {{"mnuRec", chosen},     {"mnuRecManual", lists}, {"mnuCompare", lists},
                                                    {"mnuDrip", !lists},    {"mnuFileDrip", !lists}};
    for (const auto& [name, enabled] : entries)
        if (QAction* a = findChild<QAction*>(QLatin1String(name))) a->setEnabled(enabled);
}

void frm_main::machineJobEnded(const Job& job) {
    if ((job.kind != JobKind::MachineLoad && job.kind != JobKind::MachineStore) || !job.finished()) return;
    // A failure's own status text stays; a window job under way has the line.
    if (job.state != JobState::Done || operations_ > 0) return;
    const QString name = job.programs.isEmpty() ? QString() : job.programs.first().name;
    setStatus(job.kind == JobKind::MachineLoad ? QStringLiteral("Klar: maskinen hämtade %1.").arg(name)
                                               : QStringLiteral("Klar: maskinen lämnade %1.").arg(name));
}

void frm_main::setMachineChoiceEnabled(bool enabled) {
    cmbMaskiner->setEnabled(enabled);
    mnuArkivSetup->setEnabled(enabled);
}

void frm_main::place(QWidget* w, const TwipsRect& r) {
    w->setGeometry(TwipsToPixels(r.left), TwipsToPixels(r.top), TwipsToPixels(r.width), TwipsToPixels(r.height));
}

void frm_main::applyGeometry() {
    place(BevelFolder, geo_.BevelFolder);
    place(TxtFolderHeader, geo_.TxtFolderHeader);
    place(txtLocalHeader, geo_.txtLocalHeader);
    place(txtRemoteHeader, geo_.txtRemoteHeader);
    place(FolderTreeview, geo_.FolderTreeview);
    place(FileListView, geo_.FileListView);
    place(RemoteFilesLV, geo_.RemoteFilesLV);
    place(FSplitter, geo_.FSplitter);
    place(Splitter, geo_.Splitter);
    place(StatusBar1, geo_.StatusBar1);
    place(frameXfer, geo_.frameXfer);
}

QString frm_main::panelText(int panel) const {
    return panel >= 1 && panel <= 4 ? statusPanels_[panel]->text() : QString();
}
