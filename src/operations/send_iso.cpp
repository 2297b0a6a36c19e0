// "Sänd" on an ISO tape machine: the selected programs go out as tape, one
// after the other, each at the machine's pace.
#include "common/log.h"
#include "common/pick.h"
#include "library/programfile.h"
#include "link/station.h"
#include "link/tapeengine.h"
#include "operations/jobrequest.h"
#include <QDir>
#include <QFileInfo>

QCoro::Task<bool> Station::IsoSend_Click(SendArgs args) {
    const QString& folder = args.folder;
    const QStringList& selected = args.files;
    for (const QString& file : selected)
        if (RefuseName(NameWithoutExt(file), file)) {
            Row(NameWithoutExt(file), QDir(folder).filePath(file), 0, {}, ProgramResult::Failed, lastStatus_);
            co_return false;
        }
    const quint64 generation = aborts_;
    bool all = true;
    for (const QString& file : selected) {
        const QString path = QDir(folder).filePath(file);
        const QString name = NameWithoutExt(file);
        if (!all || aborts_ != generation || Jobs.closed()) {
            Row(name, path, 0, {}, ProgramResult::Skipped, QStringLiteral("Inte sänt: körningen avbröts."));
            all = false;
            continue;
        }
        AddLog(QStringLiteral("Begär sändning av fil: ") + file);
        lastStatus_.clear();
        all = co_await tape_->send(path, name);
        // The row names the characters on the line, whole or cut.
        const TapeEngine& tape = *tape_;
        if (all) Row(name, path, tape.sentBytes(), tape.sentSha(), ProgramResult::Ok, QStringLiteral("Sänt."));
        else Row(name, path, tape.sentBytes(), tape.sentSha(), ProgramResult::Failed, Pick<QString>(tape.stopText().isEmpty(), lastStatus_, tape.stopText()));
    }
    co_return all;
}

QCoro::Task<void> Station::DripJob(QString path, QString from, bool atToolChange) {
    const QString name = NameWithoutExt(QFileInfo(path).fileName());
    lastStatus_.clear();
    const bool ok = co_await tape_->drip(path, from, atToolChange);
    const TapeEngine& tape = *tape_;
    if (ok)
        Row(name, path, tape.sentBytes(), tape.sentSha(), ProgramResult::Ok,
            tape.restartText().isEmpty() ? QStringLiteral("Droppmatat.") : QStringLiteral("Droppmatat. ") + tape.restartText());
    else
        Row(name, path, tape.sentBytes(), tape.sentSha(), ProgramResult::Failed, Pick<QString>(tape.stopText().isEmpty(), lastStatus_, tape.stopText()));
}
