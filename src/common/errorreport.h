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
// While an owner's code runs (a station's handler or job step), a report
// runs that owner's abort and nobody else's; with no owner (a reload, the
// window's file list) it aborts nothing. Owners nest.
class ErrorOwner {
public:
    explicit ErrorOwner(const std::function<void()>* abort);
    ~ErrorOwner();
    ErrorOwner(const ErrorOwner&) = delete;
    ErrorOwner& operator=(const ErrorOwner&) = delete;

private:
    const std::function<void()>* previous_;
};

// Shows the report; Cancel ends the program at once. Then runs the present
// owner's abort and appends the report to "error.log".
void ReportError(const AppError& error);

// Runs body under the standard handler without a trace entry of its own:
// any failure is reported and ends the body. False when the body failed.
bool Guarded(const std::function<void()>& body);

// Runs body as a traced procedure with the standard handler: the name goes
// into the call trace, and any failure is reported and ends the procedure.
// Returns false when the body failed.
bool Traced(const QString& name, const std::function<void()>& body);
