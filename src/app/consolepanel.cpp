#include "app/consolepanel.h"

#include "app/verb_session.h"

#include "common/ansi.h"
#include "common/log.h"

#include <cstdio>
#include <string>

namespace {
void ToStandardError(const QString& text) { VerbConsole().err(text); }

// Message texts carry CR LF for the window; a console wants plain lines
// without the blanks that trail a "Överföringsfel: ".
QString ConsoleLines(const QString& text) {
    QString t = text;
    t.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    t.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    QStringList lines = t.split(QLatin1Char('\n'));
    for (QString& l : lines) {
        while (l.endsWith(QLatin1Char(' '))) l.chop(1);
    }
    while (!lines.isEmpty() && lines.last().isEmpty()) lines.removeLast();
    return lines.join(QLatin1Char('\n'));
}

}  // namespace

QString AnswerText(OperatorPanel::Answer answer) {
    switch (answer) {
    case OperatorPanel::Answer::Yes: return QStringLiteral("Ja");
    case OperatorPanel::Answer::No: return QStringLiteral("Nej");
    case OperatorPanel::Answer::Cancel: return QStringLiteral("Avbryt");
    case OperatorPanel::Answer::Ok: break;
    }
    return QStringLiteral("OK");
}

ConsolePanel::ConsolePanel(Policy overwrite, Writer write)
    : overwrite_(overwrite), write_(write ? std::move(write) : Writer(ToStandardError)) {}

qsizetype ConsolePanel::count(Event::Kind kind, qsizetype from) const {
    qsizetype n = 0;
    for (qsizetype i = from; i < journal_.size(); ++i)
        if (journal_[i].kind == kind) ++n;
    return n;
}

void ConsolePanel::record(Event::Kind kind, const QString& text) { journal_.append({kind, text}); }

// Line by line: the breaks are the program's own, whatever is inside a line
// (a name or a text from a machine or a file) is escaped as the log does it.
void ConsolePanel::print(const QString& text) {
    QStringList lines = text.split(QLatin1Char('\n'));
    for (QString& l : lines) l = EscapeControls(l);
    write_(lines.join(QLatin1Char('\n')) + QLatin1Char('\n'));
}

void ConsolePanel::say(const QString& line) { print(line); }

void ConsolePanel::notice(const QString& text, const QString& title) {
    const QString lines = ConsoleLines(text);
    print(title.isEmpty() || title == AppTitle() ? lines : title + QStringLiteral(": ") + lines);
}

void ConsolePanel::setStatus(const QString& text) {
    record(Event::Kind::Status, text);
    // The abort routine blanks the line before its caller's own text: nothing
    // to print, and a repeated text is printed once.
    if (text.isEmpty() || text == lastStatus_) return;
    lastStatus_ = text;
    print(EscapeControls(text));  // one line, as on the window's status line
}

void ConsolePanel::setProgress(int done, int total) {
    if (!progress_) return;
    // The line is rewritten in place and cleared at the end.
    progress_(total > 0 ? QStringLiteral("\r%1 av %2\x1b[K").arg(done).arg(total) : QStringLiteral("\r\x1b[K"));
}

void ConsolePanel::showPilar(const QString& text, const QStringList&) {
    record(Event::Kind::Pilar, text);
    print(EscapeControls(text));
}

OperatorPanel::Answer ConsolePanel::message(const QString& text, const QString& title, MsgIcon, Buttons buttons) {
    if (buttons == Buttons::Ok || buttons == Buttons::OkCancel) {
        notice(text, title);
        record(Event::Kind::Message, ConsoleLines(text));
        return Answer::Ok;
    }
    const bool overwriteQuestion = buttons == Buttons::YesNoCancel;
    Answer answer;
    if (!overwriteQuestion && confirmed_) {
        answer = Answer::Yes;
        print(ConsoleLines(text) + QLatin1Char(' ') + AnswerText(answer));
    } else if (overwrite_ == Policy::Yes || overwrite_ == Policy::No) {
        answer = overwrite_ == Policy::Yes ? Answer::Yes : Answer::No;
        print(ConsoleLines(text) + QLatin1Char(' ') + AnswerText(answer));
    } else if (interactive_) {
        answer = ask(ConsoleLines(text), overwriteQuestion);
    } else {
        answer = Answer::No;
        print(ConsoleLines(text) + QLatin1Char(' ') + AnswerText(answer));
    }
    journal_.append({Event::Kind::Question, ConsoleLines(text), answer});
    return answer;
}

OperatorPanel::Answer ConsolePanel::ask(const QString& text, bool withCancel) {
    QStringList lines = text.split(QLatin1Char('\n'));
    for (QString& l : lines) l = EscapeControls(l);
    const QString a = (io_ ? *io_ : VerbConsole())
                          .ask(lines.join(QLatin1Char('\n')) + (withCancel ? QStringLiteral(" [j]a, [n]ej, [a]vbryt: ")
                                                                           : QStringLiteral(" [j]a, [n]ej: ")))
                          .value_or(QString())
                          .trimmed()
                          .toLower();
    if (a == QLatin1String("j") || a == QLatin1String("ja") || a == QLatin1String("y") || a == QLatin1String("yes"))
        return Answer::Yes;
    if (withCancel && (a == QLatin1String("a") || a == QLatin1String("avbryt"))) return Answer::Cancel;
    return Answer::No;
}

std::optional<QString> ConsolePanel::input(const QString& prompt, const QString&, const QString&) {
    // Nothing is typed into a verb while it runs: the names come with it.
    print(ConsoleLines(prompt) + QLatin1Char(' ') + AnswerText(Answer::Cancel));
    return std::nullopt;
}

void ConsolePanel::fillRemoteList(const QList<RemoteEntry>& entries) {
    remote_ = entries;
    record(Event::Kind::Fill);
}

void ConsolePanel::removeRemoteItem(const QString& name) {
    for (qsizetype i = 0; i < remote_.size(); ++i)
        if (FromAnsi(remote_[i].name) == name) {
            remote_.removeAt(i);
            break;
        }
    record(Event::Kind::Removed, name);
}

void ConsolePanel::setTreeFolders(const QString&, const QString& selected) {
    if (!selected.isEmpty()) tree_ = selected;
}
