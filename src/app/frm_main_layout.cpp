// The window's layout pass, the splitter bars' drag and drop, and the keys
// that the window handles before its controls.
#include "app/frm_main.h"

#include "common/apperror.h"
#include "common/errorreport.h"
#include "controls/bevel.h"
#include "controls/reportlist.h"
#include "library/ui/foldertree.h"
#include "library/ui/localfilelist.h"

#include <QApplication>
#include <QFrame>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QPushButton>
#include <QRubberBand>
#include <cmath>

double frm_main::ScaleWidth() const { return PixelsToTwips(form_->width()); }
double frm_main::ScaleHeight() const { return PixelsToTwips(form_->height()); }

// The tool band and the status bar stay docked to the top and bottom edges
// whatever the layout pass does.
void frm_main::dockBands() {
    const double W = ScaleWidth(), H = ScaleHeight();
    geo_.StatusBar1.top = H - geo_.StatusBar1.height;
    geo_.StatusBar1.width = W;
    place(StatusBar1, geo_.StatusBar1);
    BevelTB->setGeometry(0, 0, form_->width(), BevelTB->height());
}

void frm_main::Form_Resize() {
    Traced(QStringLiteral("Form_Resize()"), [&] {
        MainGeometry g = geo_;
        if (!LayoutPass(g, ScaleWidth(), ScaleHeight(), SplitRatio, FolderSplitRatio)) return;
        TxtFolderHeader->setVisible(true);
        FolderTreeview->setVisible(true);
        txtRemoteHeader->setVisible(true);
        RemoteFilesLV->setVisible(true);
        for (QPushButton* b : {cmdRec, cmdDir, cmdDel, cmdAbort}) b->setVisible(true);
        geo_ = g;
        applyGeometry();
    });
}

void frm_main::Form_DragDrop(const QString& source, double x, double /*y*/) {
    Traced(QStringLiteral("Form_DragDrop()"), [&] {
        float ratio = 0;
        if (source == QLatin1String("Splitter")) {
            ratio = SplitterDropRatio(geo_, x, ScaleWidth());
            if (!std::isfinite(ratio)) Raise(11, QStringLiteral("Division med noll"));
            SplitRatio = ratio;
        } else if (source == QLatin1String("FSplitter")) {
            ratio = FolderSplitterDropRatio(geo_, x);
            if (!std::isfinite(ratio)) Raise(11, QStringLiteral("Division med noll"));
            FolderSplitRatio = ratio;
        } else {
            return;
        }
        // A bar dropped far outside must not leave a pane hidden.
        ClampRatios(ScaleWidth(), SplitRatio, FolderSplitRatio);
    });
    Form_Resize();
}

bool frm_main::Form_KeyDown(int key, Qt::KeyboardModifiers shift) {
    bool handled = false;
    Traced(QStringLiteral("Form_KeyDown()"), [&] {
        const Qt::KeyboardModifiers mods = shift & ~Qt::KeypadModifier;
        if (key == Qt::Key_F5) {
            handled = true;
            UpdateLocalFolders();
        } else if (key == Qt::Key_F12 && mods == Qt::AltModifier) {
            handled = true;
            mnuDebug->menuAction()->setVisible(true);
        }
    });
    return handled;
}

// A drop on one of the panes reaches the window with the pane's own
// coordinates moved by the pane's left and top edges.
void frm_main::ControlDragDrop(const char* traceName, QWidget* control, const QString& source, const QPoint& local) {
    TraceEnter(QLatin1String(traceName));
    const QPoint inForm = control->mapTo(form_, local);
    Form_DragDrop(source, PixelsToTwips(inForm.x()), PixelsToTwips(inForm.y()));
}

void frm_main::dropSplitter(Bevel* bar, const QPoint& globalPos) {
    const QString source = bar->objectName();
    for (auto [trace, pane] : {std::pair<const char*, QWidget*>{"FileListView_DragDrop()", FileListView},
                               {"FolderTreeView_DragDrop()", FolderTreeview}}) {
        const QPoint local = pane->mapFromGlobal(globalPos);
        if (pane->isVisible() && pane->rect().contains(local)) {
            ControlDragDrop(trace, pane, source, local);
            return;
        }
    }
    const QPoint onRemote = RemoteFilesLV->mapFromGlobal(globalPos);
    if (RemoteFilesLV->isVisible() && RemoteFilesLV->rect().contains(onRemote)) {
        const QPoint inForm = RemoteFilesLV->mapTo(form_, onRemote);
        Form_DragDrop(source, PixelsToTwips(inForm.x()), PixelsToTwips(inForm.y()));
        return;
    }
    const QPoint inForm = form_->mapFromGlobal(globalPos);
    Form_DragDrop(source, PixelsToTwips(inForm.x()), PixelsToTwips(inForm.y()));
}

bool frm_main::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
    case QEvent::Resize:
        if (watched == form_) {
            dockBands();
            Form_Resize();
        }
        break;
    case QEvent::KeyPress: {
        auto* k = static_cast<QKeyEvent*>(event);
        if (Form_KeyDown(k->key(), k->modifiers())) return true;
        break;
    }
    case QEvent::MouseButtonPress:
        if (auto* bar = qobject_cast<Bevel*>(watched); bar && (bar == FSplitter || bar == Splitter)) {
            if (static_cast<QMouseEvent*>(event)->button() != Qt::LeftButton) break;
            dragging_ = bar;
            if (!dragBand_) dragBand_ = new QRubberBand(QRubberBand::Line, form_);
            dragBand_->setGeometry(bar->geometry());
            dragBand_->show();
        }
        break;
    case QEvent::MouseMove:
        if (dragging_ && watched == dragging_) {
            const QPoint p = form_->mapFromGlobal(static_cast<QMouseEvent*>(event)->globalPosition().toPoint());
            // Where the bar will land: its middle half its width right of the pointer.
            QRect r = dragging_->geometry();
            r.moveLeft(p.x());
            dragBand_->setGeometry(r);
        }
        break;
    case QEvent::MouseButtonRelease:
        if (dragging_ && watched == dragging_) {
            Bevel* bar = dragging_;
            dragging_ = nullptr;
            dragBand_->hide();
            dropSplitter(bar, static_cast<QMouseEvent*>(event)->globalPosition().toPoint());
        }
        break;
    default:
        break;
    }
    return QMainWindow::eventFilter(watched, event);
}
