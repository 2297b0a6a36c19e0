// "Sänd" on an ISO tape machine: the selected programs go out as tape, one
// after the other, each at the machine's pace.
#include "common/log.h"
#include "library/programfile.h"
#include "link/station.h"
#include <QDir>

QCoro::Task<bool> Station::IsoSend_Click() {
    // Every program is read from the folder the run started in.
    const QString folder = panel_.treeFolder();
    const QStringList selected = panel_.localSelection();
    for (const QString& file : selected)
        if (RefuseName(NameWithoutExt(file), file)) co_return false;
    const quint64 generation = aborts_;
    for (const QString& file : selected) {
        if (aborts_ != generation) co_return false;
        AddLog(QStringLiteral("Begär sändning av fil: ") + file);
        if (!co_await IsoSend(QDir(folder).filePath(file), NameWithoutExt(file))) co_return false;
    }
    co_return true;
}
