#include "common/errorreport.h"
#include "common/ansi.h"
#include "common/dates.h"
#include "common/home.h"
#include "common/log.h"
#include <cstdio>
#include <cstdlib>
#include <new>
#include <utility>

namespace {
ErrorDialog& Dialog() {
    static ErrorDialog dialog;
    return dialog;
}
const std::function<void()>*& Owner() {
    static const std::function<void()>* owner = nullptr;
    return owner;
}
const QString kCrLf = QStringLiteral("\r\n");
}  // namespace

ErrorDialog SetErrorDialog(ErrorDialog dialog) { return std::exchange(Dialog(), std::move(dialog)); }
ErrorOwner::ErrorOwner(const std::function<void()>* abort) : previous_(std::exchange(Owner(), abort)) {}
ErrorOwner::~ErrorOwner() { Owner() = previous_; }

QString ErrorReportText(int number, const QString& description) {
    QString t;
    t += QStringLiteral("Ett fel uppstod.") + kCrLf;
    t += QStringLiteral("Beskrivning: ") + description + kCrLf;
    t += QStringLiteral("Felnummer: ") + QString::number(number) + kCrLf + kCrLf;
    t += QStringLiteral("Information:") + kCrLf;
    const auto& trace = CallTrace();
    for (int i = 1; i <= TraceSize; ++i)
        t += GeneralDate(trace[i].EnteredAt.toLocalTime()) + QStringLiteral(" - ") + trace[i].ProcName + kCrLf;
    t += kCrLf;
    t += QStringLiteral("Om detta fel är återkommande, var god kontakta Harnvik AB och uppge informationen i "
                        "detta fönster samt hur du fick fram detta fel.") + kCrLf;
    t += QStringLiteral("(Klicka på Avbryt för att tving programmet att stängas av).");
    return t;
}

void AppendErrorLog(const QString& text) {
    const QString path = InProgramFolder(QStringLiteral("error.log"));
    RollLog(path);
    AppendToFile(path, (text + kCrLf).toLocal8Bit());
}

void ReportError(const AppError& error) {
    const QString text = ErrorReportText(error.number(), error.description());
    bool ok = true;
    if (Dialog()) {
        ok = Dialog()(text);
    } else {
        std::fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
    }
    if (!ok) std::_Exit(EXIT_FAILURE);  // Cancel ends the program at once, nothing more runs
    if (const std::function<void()>* abort = Owner(); abort && *abort) (*abort)();
    AppendErrorLog(text);
}

bool Guarded(const std::function<void()>& body) {
    try {
        body();
        return true;
    } catch (const AppError& e) {
        try {
            ReportError(e);
        } catch (const AppError& logError) {
            // The report was shown; only its copy in error.log is lost.
            std::fprintf(stderr, "error.log: %s\n", logError.what());
        }
    } catch (const std::bad_alloc&) {
        try { ReportError(AppError(7)); } catch (const AppError&) {}
    } catch (const std::exception& e) {
        try { ReportError(AppError(51, QString::fromLocal8Bit(e.what()))); } catch (const AppError&) {}
    }
    return false;
}

bool Traced(const QString& name, const std::function<void()>& body) {
    TraceEnter(name);
    return Guarded(body);
}
