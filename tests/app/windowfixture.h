#pragma once
// A main window in a throw-away program folder, with every box answered by
// the test instead of a person, and an in-memory serial port.
#include "app/frm_main.h"
#include "controls/messagebox.h"
#include "common/errorreport.h"
#include "common/notify.h"
#include "link/memoryserialport.h"
#include "station/station.h"
#include "support/testhome.h"
#include "support/wait.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QCoreApplication>
#include <QDialog>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QQueue>
#include <QTreeView>
#include <QUrl>
#include <memory>

// Records every box and answers from queues (OK / Yes and the default text
// when a queue is empty).
struct Answers {
    struct Shown {
        QString text, title;
        MsgIcon icon;
        OperatorPanel::Buttons buttons;
    };
    QList<Shown> shown;
    QQueue<OperatorPanel::Answer> answers;
    QStringList prompts;
    QQueue<std::optional<QString>> inputs;
    QList<QUrl> opened;
    QList<QStringList> started;  // program, then its arguments
    std::function<void(QDialog&)> onDialog;
    int dialogs = 0;
    QStringList folderRequests;  // title|start folder
    QQueue<QString> folders;     // "" (cancel) when empty

    Answers() {
        UiHooks& h = Hooks();
        h.message = [this](const QString& text, const QString& title, MsgIcon icon, OperatorPanel::Buttons b) {
            shown.append({text, title, icon, b});
            if (!answers.isEmpty()) return answers.dequeue();
            return b == OperatorPanel::Buttons::YesNo || b == OperatorPanel::Buttons::YesNoCancel
                       ? OperatorPanel::Answer::Yes
                       : OperatorPanel::Answer::Ok;
        };
        h.input = [this](const QString& prompt, const QString& title, const QString& def) -> std::optional<QString> {
            prompts << title + QLatin1Char('|') + prompt + QLatin1Char('|') + def;
            return inputs.isEmpty() ? std::optional<QString>(def) : inputs.dequeue();
        };
        h.dialog = [this](QDialog& d) {
            ++dialogs;
            if (onDialog) onDialog(d);
        };
        h.openUrl = [this](const QUrl& url) {
            opened << url;
            return true;
        };
        h.startDetached = [this](const QString& program, const QStringList& args, const QString&) {
            started << (QStringList{program} + args);
            return true;
        };
        h.folder = [this](const QString& title, const QString& start) {
            folderRequests << title + QLatin1Char('|') + start;
            return folders.isEmpty() ? QString() : folders.dequeue();
        };
        h.printDialog = [](QPrinter&) { return false; };  // Cancel, unless a test prints
    }
    ~Answers() {
        Hooks() = UiHooks{};
        SetErrorDialog({});
        SetMessageSink({});
    }
    QStringList texts() const {
        QStringList t;
        for (const Shown& s : shown) t << s.text;
        return t;
    }
    // Error reports shown so far.
    int reports() const {
        int n = 0;
        for (const Shown& s : shown) n += s.text.startsWith("Ett fel uppstod.");
        return n;
    }
};

// A named child widget of w; a missing one fails the test.
template <class T>
T* Get(QWidget& w, const char* name) {
    T* c = w.findChild<T*>(QLatin1String(name));
    EXPECT_NE(c, nullptr) << name;
    return c;
}

struct WindowHome {
    TestHome home;
    Answers ui;
    QString send = home.file("ncprog");  // below the program folder
    MemorySerialPort* port = nullptr;
    std::unique_ptr<frm_main> window;

    WindowHome() { QDir().mkpath(send); }

    // The general settings and a machine in slot n: TestHome's.
    void ini(const QByteArray& text, bool freePort = true) { home.ini(text, freePort); }
    QByteArray machine(int slot, const QString& name, const QByteArray& more = {}) const { return home.machine(slot, name, more); }
    QString program(const QString& name, const QByteArray& bytes) const { return home.write("ncprog/" + name, bytes); }

    frm_main& open(bool load = true) {
        port = new MemorySerialPort;
        port->setInstant(true);
        window = std::make_unique<frm_main>(port);
        if (load) window->Form_Load();
        window->show();
        QCoreApplication::processEvents();
        return *window;
    }
    frm_main& w() { return *window; }
    Station& station() { return window->station(); }

    template <class T>
    T* child(const char* name) const { return Get<T>(*window, name); }
};

// Input as a person would give it.
inline void Key(QWidget* w, int key, Qt::KeyboardModifiers mods = Qt::NoModifier) {
    QKeyEvent press(QEvent::KeyPress, key, mods);
    QCoreApplication::sendEvent(w, &press);
    QKeyEvent release(QEvent::KeyRelease, key, mods);
    QCoreApplication::sendEvent(w, &release);
}

inline void Click(QWidget* w, const QPoint& at, Qt::KeyboardModifiers mods = Qt::NoModifier) {
    const QPointF global = w->mapToGlobal(QPointF(at));
    QMouseEvent press(QEvent::MouseButtonPress, QPointF(at), global, Qt::LeftButton, Qt::LeftButton, mods);
    QCoreApplication::sendEvent(w, &press);
    QMouseEvent release(QEvent::MouseButtonRelease, QPointF(at), global, Qt::LeftButton, Qt::NoButton, mods);
    QCoreApplication::sendEvent(w, &release);
}

// The row whose first column reads text, scrolled into view.
inline QModelIndex FindRow(QAbstractItemView* view, const QString& text) {
    QAbstractItemModel* m = view->model();
    for (int r = 0; r < m->rowCount(); ++r)
        if (m->data(m->index(r, 0)).toString() == text) {
            view->scrollTo(m->index(r, 0));
            return m->index(r, 0);
        }
    return {};
}

inline bool ClickRow(QAbstractItemView* view, const QString& text, Qt::KeyboardModifiers mods = Qt::NoModifier) {
    const QModelIndex i = FindRow(view, text);
    if (i.isValid()) Click(view->viewport(), view->visualRect(i).center(), mods);
    return i.isValid();
}

inline void DoubleClickRow(QAbstractItemView* view, const QString& text) {
    ASSERT_TRUE(ClickRow(view, text)) << "no row " << text.toStdString();
    const QPoint at = view->visualRect(FindRow(view, text)).center();
    QMouseEvent dbl(QEvent::MouseButtonDblClick, QPointF(at), view->viewport()->mapToGlobal(QPointF(at)),
                    Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(view->viewport(), &dbl);
}

inline void ClickHeader(QAbstractItemView* view, int column) {
    QHeaderView* h = qobject_cast<QTreeView*>(view)->header();
    Click(h->viewport(), QPoint(h->sectionViewportPosition(column) + h->sectionSize(column) / 2, h->height() / 2));
}

inline QStringList Column(QAbstractItemView* view, int column) {
    QStringList out;
    QAbstractItemModel* m = view->model();
    for (int r = 0; r < m->rowCount(); ++r) out << m->data(m->index(r, column)).toString();
    return out;
}
