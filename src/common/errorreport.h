#pragma once
// The central error report: its text, "error.log", and the standard handler
// that traced procedures run their bodies under.
#include "common/apperror.h"
#include "common/trace.h"
#include <QString>
#include <functional>

// The report's text for an error, with all eight trace lines.
QString ErrorReportText(int number, const QString& description);

// Appends text and a line end to "error.log" in the program folder.
void AppendErrorLog(const QString& text);

// Who shows the report: returns true for OK, false for Cancel. Without a
// handler the report goes to standard error and counts as OK.
using ErrorDialog = std::function<bool(const QString& text)>;
// Returns the dialog it replaces.
ErrorDialog SetErrorDialog(ErrorDialog dialog);
// Called after every report: each station sets its abort flag here. Returns
// a key for RemoveAbortHook.
int AddAbortHook(std::function<void()> hook);
void RemoveAbortHook(int key);

// Shows the report; Cancel ends the program at once. Then sets the abort
// flag and appends the report to "error.log".
void ReportError(const AppError& error);

// Runs body under the standard handler without a trace entry of its own:
// any failure is reported and ends the body. False when the body failed.
bool Guarded(const std::function<void()>& body);

// Runs body as a traced procedure with the standard handler: the name goes
// into the call trace, and any failure is reported and ends the procedure.
// Returns false when the body failed.
bool Traced(const QString& name, const std::function<void()>& body);
