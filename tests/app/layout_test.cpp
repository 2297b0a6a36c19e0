// The layout pass in twips, the splitter bars' drops, and the window's keys.
#include "app/mainlayout.h"
#include "common/trace.h"
#include "controls/bevel.h"
#include "windowfixture.h"

#include <QAction>
#include <QDirIterator>
#include <QMenu>

namespace {
bool DebugMenuShown(frm_main& w) { return w.findChild<QMenu*>("mnuDebug")->menuAction()->isVisible(); }

// Resizes the window so that its inner area is exactly w x h pixels.
void SetInnerSize(frm_main& win, int w, int h) {
    QWidget* form = win.centralWidget();
    win.resize(win.width() + w - form->width(), win.height() + h - form->height());
    QCoreApplication::processEvents();
}

bool TraceHas(const QString& name) {
    for (const TraceEntry& e : CallTrace())
        if (e.ProcName == name) return true;
    return false;
}
}  // namespace

TEST(Layout, PassOnTheDocumentedSizes) {
    MainGeometry g = DesignGeometry();
    ASSERT_TRUE(LayoutPass(g, 10000, 8000, 0.7f, 0.3f));
    // leftW 7000, treeW 2100: tree 120..treeW, local list treeW..leftW-120; tops never move.
    const std::pair<double, double> placed[] = {
        {g.RemoteFilesLV.left, 7120}, {g.RemoteFilesLV.width, 2760}, {g.txtRemoteHeader.left, 7120},
        {g.FolderTreeview.width, 1980}, {g.FileListView.left, 2100},
        {g.FileListView.left + g.FileListView.width, 7000 - 120}, {g.txtLocalHeader.left, 2220},
        {g.RemoteFilesLV.height, 8000 - 375 - 1920 - 60}, {g.BevelFolder.height, 8000 - 1450 - 375},
        {g.BevelFolder.width, 10000}, {g.Splitter.left, 7000 - 52.5}, {g.FSplitter.left, 2100 - 67.5},
        {g.frameXfer.left, 5000 - 6855 / 2.0}, {g.frameXfer.top, 4000 - 1575 / 2.0}, {g.RemoteFilesLV.top, 1920}};
    for (size_t i = 0; i < std::size(placed); ++i) EXPECT_EQ(placed[i].first, placed[i].second) << i;

    // Too small: nothing moves.
    const MainGeometry before = DesignGeometry();
    MainGeometry small = before;
    EXPECT_TRUE(LayoutPass(small, 3000, 5000, 0.7f, 0.3f));  // leftW 2100
    small = before;
    EXPECT_FALSE(LayoutPass(small, 3000, 5000, 0.6f, 0.3f));  // leftW 1800
    EXPECT_EQ(small.RemoteFilesLV.left, before.RemoteFilesLV.left);
    small = before;
    EXPECT_FALSE(LayoutPass(small, 10000, 3000, 0.7f, 0.3f));
    EXPECT_EQ(small.FileListView.width, before.FileListView.width);
    EXPECT_TRUE(LayoutPass(small, 10000, 3001, 0.7f, 0.3f));

    // The machine list keeps a minimum (rightW 241).
    MainGeometry wide = DesignGeometry();
    ASSERT_TRUE(LayoutPass(wide, 20000, 8000, 0.99f, 0.3f));
    EXPECT_EQ(wide.RemoteFilesLV.width, 1);

    // A ratio that overflows a whole number is an error, not a wrap-around.
    MainGeometry absurd = DesignGeometry();
    EXPECT_THROW(LayoutPass(absurd, 10000, 8000, 1e9f, 0.3f), AppError);
}

TEST(Layout, WindowFollowsItsSizeAndTheSplitterDrops) {
    WindowHome h;
    h.ini({});
    frm_main& w = h.open();
    SetInnerSize(w, 800, 557);  // 12000 x 8355 twips
    // leftW 8400, rightW 3600, treeW 2520
    auto* remote = h.child<QWidget>("RemoteFilesLV");
    EXPECT_EQ(remote->geometry(), QRect(568, 128, 224, 400));
    EXPECT_EQ(h.child<QWidget>("FolderTreeview")->geometry().width(), 160);
    EXPECT_EQ(h.child<QWidget>("BevelTB")->width(), 800);

    SetInnerSize(w, 1000, 600);
    EXPECT_EQ(remote->x(), 708);  // (15000 * 0.7 + 120) / 15
    EXPECT_EQ(h.child<QWidget>("StatusBar1")->geometry(), QRect(0, 575, 1000, 25));
    // Too low a window keeps the last arrangement (the status bar stays docked).
    const QRect kept = remote->geometry();
    SetInnerSize(w, 1000, 200);
    EXPECT_EQ(remote->geometry(), kept);

    // The splitter bars' drops set the ratios.
    SetInnerSize(w, 800, 557);
    w.Form_DragDrop("Splitter", 6000, 3000);
    EXPECT_FLOAT_EQ(w.SplitRatio, float((52.5 + 6000) / 12000));
    const MainGeometry g = w.geometryTwips();
    w.Form_DragDrop("FSplitter", 1500, 3000);
    EXPECT_FLOAT_EQ(w.FolderSplitRatio, float((67.5 + 1500) / (g.FileListView.left + g.FileListView.width)));
    // Any other control dropped only runs the pass.
    const float split = w.SplitRatio, folder = w.FolderSplitRatio;
    w.Form_DragDrop("cmdSend", 100, 100);
    EXPECT_EQ(w.SplitRatio, split);
    EXPECT_EQ(w.FolderSplitRatio, folder);
    // Dropped far outside, either way: every pane stays in the window with a
    // usable width, and a drop back in the middle lands there.
    auto panesShown = [&] {
        for (const char* name : {"FolderTreeview", "FileListView", "RemoteFilesLV", "TxtFolderHeader",
                                 "txtLocalHeader", "txtRemoteHeader"}) {
            const QWidget* pane = h.child<QWidget>(name);
            EXPECT_TRUE(pane->isVisible()) << name;
            EXPECT_GE(pane->width(), TwipsToPixels(kMinPaneWidth)) << name;
            EXPECT_TRUE(w.centralWidget()->rect().contains(pane->geometry())) << name;
        }
    };
    for (const char* bar : {"Splitter", "FSplitter"})
        for (double x : {-50000.0, 50000.0, 300.0, 11900.0}) {
            SCOPED_TRACE(std::string(bar) + " " + std::to_string(x));
            w.Form_DragDrop(bar, x, 3000);
            panesShown();
        }
    w.Form_DragDrop("Splitter", 6000, 3000);
    w.Form_DragDrop("FSplitter", 3000, 3000);
    EXPECT_NEAR(w.geometryTwips().Splitter.left + 52.5, 6052.5, 1);
    EXPECT_NEAR(w.geometryTwips().FSplitter.left + 67.5, 3067.5, 100);
    panesShown();
    EXPECT_EQ(h.ui.reports(), 0);

    // Dragging the bar with the mouse and letting go over the file list.
    w.Form_DragDrop("Splitter", 8000, 3000);
    auto* bar = h.child<Bevel>("Splitter");
    auto* list = h.child<QWidget>("FileListView");
    const QPoint grab(bar->width() / 2, 100);
    const QPoint target = list->mapTo(w.centralWidget(), QPoint(list->width() / 2, 50));
    const QPointF global = w.centralWidget()->mapToGlobal(QPointF(target));
    QMouseEvent press(QEvent::MouseButtonPress, QPointF(grab), bar->mapToGlobal(QPointF(grab)), Qt::LeftButton,
                      Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(bar, &press);
    QMouseEvent move(QEvent::MouseMove, bar->mapFromGlobal(global), global, Qt::NoButton, Qt::LeftButton,
                     Qt::NoModifier);
    QCoreApplication::sendEvent(bar, &move);
    QMouseEvent release(QEvent::MouseButtonRelease, bar->mapFromGlobal(global), global, Qt::LeftButton, Qt::NoButton,
                        Qt::NoModifier);
    QCoreApplication::sendEvent(bar, &release);
    EXPECT_TRUE(TraceHas("FileListView_DragDrop()"));
    EXPECT_FLOAT_EQ(w.SplitRatio, float((52.5 + target.x() * 15.0) / 12000));
}

TEST(Layout, F5AndAltF12WorkWhereverTheFocusIs) {
    WindowHome h;
    h.ini(h.machine(1, "Fräs"));
    frm_main& w = h.open();
    auto* list = h.child<QAbstractItemView>("FileListView");
    EXPECT_EQ(list->model()->rowCount(), 0);
    h.program("O2.NC", "%O2\r\n%");
    Key(h.child<QWidget>("FolderTreeview"), Qt::Key_F5, Qt::ShiftModifier);  // any shift state
    EXPECT_EQ(list->model()->rowCount(), 1);

    Key(list, Qt::Key_F12, Qt::ControlModifier | Qt::AltModifier);
    EXPECT_FALSE(DebugMenuShown(w));
    Key(list, Qt::Key_F12);
    EXPECT_FALSE(DebugMenuShown(w));
    Key(h.child<QWidget>("RemoteFilesLV"), Qt::Key_F12, Qt::AltModifier);
    EXPECT_TRUE(DebugMenuShown(w));
}

TEST(Layout, NoIncludeClimbsFromALowerFolderToTheWindowsFolder) {
    QStringList climbing;
    QDirIterator it(FENMO_SOURCE_DIR "/src", {"*.h", "*.cpp"}, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QFile f(it.next());
        if (!f.fileName().contains("/src/app/") && f.open(QIODevice::ReadOnly) && f.readAll().contains("#include \"app/"))
            climbing << f.fileName();
    }
    EXPECT_TRUE(climbing.isEmpty()) << climbing.join(' ').toStdString();
}
