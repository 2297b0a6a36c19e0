// "Sänd" on an ISO tape machine: the selected programs go out as tape, one
// after the other, each at the machine's pace.
#include "common/log.h"
#include "common/pick.h"
#include "library/programfile.h"
#include "station/tapeengine.h"
#include "operations/operations.h"
#include "operations/requests.h"
#include <QDir>
#include <QFileInfo>

QCoro::Task<bool> IsoSend_Click(Conversation c, SendArgs args) {
    const QString& folder = args.folder;
    const QStringList& selected = args.files;
    for (const QString& file : selected)
        if (RefuseName(c, NameWithoutExt(file), file)) {
            c.row(NameWithoutExt(file), QDir(folder).filePath(file), 0, {}, ProgramResult::Failed, c.lastStatus());
            co_return false;
        }
    const quint64 generation = c.aborts();
    bool all = true;
    for (const QString& file : selected) {
        const QString path = QDir(folder).filePath(file);
        const QString name = NameWithoutExt(file);
        if (!all || c.aborts() != generation || c.closing()) {
            c.row(name, path, 0, {}, ProgramResult::Skipped, QStringLiteral("Inte sänt: körningen avbröts."));
            all = false;
            continue;
        }
        c.log(QStringLiteral("Begär sändning av fil: ") + file);
        c.clearStatus();
        TapeEngine& tape = c.tape();
        all = co_await tape.send(path, name);
        // The row names the characters on the line, whole or cut.
        if (all) c.row(name, path, tape.sentBytes(), tape.sentSha(), ProgramResult::Ok, QStringLiteral("Sänt."));
        else c.row(name, path, tape.sentBytes(), tape.sentSha(), ProgramResult::Failed, Pick<QString>(tape.stopText().isEmpty(), c.lastStatus(), tape.stopText()));
    }
    co_return all;
}

QCoro::Task<void> DripJob(Conversation c, QString path, QString from, bool atToolChange) {
    const QString name = NameWithoutExt(QFileInfo(path).fileName());
    c.clearStatus();
    TapeEngine& tape = c.tape();
    const bool ok = co_await tape.drip(path, from, atToolChange);
    if (ok)
        c.row(name, path, tape.sentBytes(), tape.sentSha(), ProgramResult::Ok,
            tape.restartText().isEmpty() ? QStringLiteral("Droppmatat.") : QStringLiteral("Droppmatat. ") + tape.restartText());
    else
        c.row(name, path, tape.sentBytes(), tape.sentSha(), ProgramResult::Failed, Pick<QString>(tape.stopText().isEmpty(), c.lastStatus(), tape.stopText()));
}
