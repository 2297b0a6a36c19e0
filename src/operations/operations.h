#pragma once
// The operations on a machine. Each ends when its last answer came, its
// time-out ran out or it was aborted. Each takes what it works on and talks
// to its machine through its conversation only; none reads a panel's
// selection. A job submits them through the job table (jobrequest.h).
#include "operations/comparison.h"
#include "operations/conversation.h"
#include "operations/jobrequest.h"
#include <QCoro/QCoroTask>
#include <QList>
#include <QString>

QCoro::Task<void> cmdSend_Click(Conversation c, SendArgs args);
QCoro::Task<void> cmdRec_Click(Conversation c, FetchArgs args);
// "Hämta med namn...": the name is asked of the person, the program goes to folder.
QCoro::Task<void> mnuRecManual_Click(Conversation c, QString folder);
QCoro::Task<void> mnuDocs_Click(Conversation c, QString document);
QCoro::Task<void> cmdDir_Click(Conversation c);
QCoro::Task<void> cmdDel_Click(Conversation c, QString program);
// "Jämför med maskin": the machine's programs against folder's, fetched
// one at a time outside the library.
QCoro::Task<QList<ProgramComparison>> mnuCompare_Click(Conversation c, QString folder);

// --- Plain ISO tape ---
// "Sänd": the programs one after the other, each as tape.
QCoro::Task<bool> IsoSend_Click(Conversation c, SendArgs args);
// A drip-feed as a job's work: its result row says where it stopped.
QCoro::Task<void> DripJob(Conversation c, QString path, QString from, bool atToolChange = false);
