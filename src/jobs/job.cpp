#include "jobs/job.h"

#include <QJsonArray>
#include <QRandomGenerator>
#include <array>
#include <atomic>
#include <utility>

#ifdef Q_OS_UNIX
#include <pwd.h>
#include <unistd.h>
#endif

namespace {
template <typename E, std::size_t N>
QString WordOf(const std::array<std::pair<E, const char*>, N>& table, E value) {
    for (const auto& [e, w] : table)
        if (e == value) return QString::fromLatin1(w);
    return {};
}
template <typename E, std::size_t N>
std::optional<E> FromWord(const std::array<std::pair<E, const char*>, N>& table, const QString& word) {
    for (const auto& [e, w] : table)
        if (word == QLatin1String(w)) return e;
    return std::nullopt;
}

constexpr std::array<std::pair<JobKind, const char*>, 10> kKinds{{{JobKind::List, "list"},
                                                                 {JobKind::Send, "send"},
                                                                 {JobKind::Fetch, "fetch"},
                                                                 {JobKind::Delete, "delete"},
                                                                 {JobKind::Documents, "documents"},
                                                                 {JobKind::Compare, "compare"},
                                                                 {JobKind::MachineLoad, "machine-load"},
                                                                 {JobKind::MachineStore, "machine-store"},
                                                                 {JobKind::Drip, "drip"},
                                                                 {JobKind::Clear, "clear"}}};
constexpr std::array<std::pair<JobState, const char*>, 5> kStates{{{JobState::Queued, "queued"},
                                                                   {JobState::Running, "running"},
                                                                   {JobState::Done, "done"},
                                                                   {JobState::Failed, "failed"},
                                                                   {JobState::Cancelled, "cancelled"}}};
constexpr std::array<std::pair<ProgramResult, const char*>, 6> kResults{{{ProgramResult::Ok, "ok"},
                                                                         {ProgramResult::Failed, "failed"},
                                                                         {ProgramResult::Skipped, "skipped"},
                                                                         {ProgramResult::Same, "same"},
                                                                         {ProgramResult::Differs, "differs"},
                                                                         {ProgramResult::Missing, "missing"}}};

QJsonValue Time(const QDateTime& t) { return t.isValid() ? QJsonValue(t.toUTC().toString(Qt::ISODateWithMs)) : QJsonValue(); }
QDateTime TimeOf(const QJsonValue& v) {
    QDateTime t = QDateTime::fromString(v.toString(), Qt::ISODateWithMs);
    if (t.isValid()) t = t.toUTC();
    return t;
}
}  // namespace

QString KindWord(JobKind kind) { return WordOf(kKinds, kind); }
QString StateWord(JobState state) { return WordOf(kStates, state); }
QString ResultWord(ProgramResult result) { return WordOf(kResults, result); }
std::optional<JobKind> KindFromWord(const QString& word) { return FromWord(kKinds, word); }
std::optional<JobState> StateFromWord(const QString& word) { return FromWord(kStates, word); }
std::optional<ProgramResult> ResultFromWord(const QString& word) { return FromWord(kResults, word); }

QJsonObject Job::toJson() const {
    QJsonArray rows;
    for (const JobProgram& p : programs)
        rows.append(QJsonObject{{QStringLiteral("name"), p.name},
                                {QStringLiteral("file"), p.file},
                                {QStringLiteral("bytes"), double(p.bytes)},
                                {QStringLiteral("sha256"), QString::fromLatin1(p.sha256)},
                                {QStringLiteral("result"), ResultWord(p.result)},
                                {QStringLiteral("text"), p.text}});
    return QJsonObject{{QStringLiteral("id"), id},
                       {QStringLiteral("machine"), machine},
                       {QStringLiteral("kind"), KindWord(kind)},
                       {QStringLiteral("state"), StateWord(state)},
                       {QStringLiteral("by"), by},
                       {QStringLiteral("created"), Time(created)},
                       {QStringLiteral("started"), Time(started)},
                       {QStringLiteral("ended"), Time(ended)},
                       {QStringLiteral("text"), text},
                       {QStringLiteral("programs"), rows}};
}

std::optional<Job> Job::fromJson(const QJsonObject& obj) {
    Job j;
    j.id = obj.value(QStringLiteral("id")).toString();
    const auto kind = KindFromWord(obj.value(QStringLiteral("kind")).toString());
    const auto state = StateFromWord(obj.value(QStringLiteral("state")).toString());
    if (j.id.isEmpty() || !kind || !state) return std::nullopt;
    j.kind = *kind;
    j.state = *state;
    j.machine = obj.value(QStringLiteral("machine")).toString();
    j.by = obj.value(QStringLiteral("by")).toString();
    j.created = TimeOf(obj.value(QStringLiteral("created")));
    j.started = TimeOf(obj.value(QStringLiteral("started")));
    j.ended = TimeOf(obj.value(QStringLiteral("ended")));
    j.text = obj.value(QStringLiteral("text")).toString();
    for (const QJsonValue& v : obj.value(QStringLiteral("programs")).toArray()) {
        const QJsonObject r = v.toObject();
        JobProgram p;
        p.name = r.value(QStringLiteral("name")).toString();
        p.file = r.value(QStringLiteral("file")).toString();
        p.bytes = qint64(r.value(QStringLiteral("bytes")).toDouble());
        p.sha256 = r.value(QStringLiteral("sha256")).toString().toLatin1();
        p.result = ResultFromWord(r.value(QStringLiteral("result")).toString()).value_or(ProgramResult::Failed);
        p.text = r.value(QStringLiteral("text")).toString();
        j.programs.append(p);
    }
    return j;
}

QString NewJobId() {
    // A fresh random part for each id met another in the same second about
    // once in 90 bursts of 10,000 jobs, and the later one hid the earlier.
    // Counted on from a random start, ids never repeat within a process and
    // hardly ever meet another process's.
    static std::atomic<quint32> next{QRandomGenerator::system()->generate()};
    return QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd-HHmmss-")) +
           QString::number(next.fetch_add(1), 16).rightJustified(8, QLatin1Char('0'));
}

QString CurrentUser() {
#ifdef Q_OS_UNIX
    if (const passwd* pw = getpwuid(geteuid())) return QString::fromLocal8Bit(pw->pw_name);
#endif
    QString user = qEnvironmentVariable("USER");
    if (user.isEmpty()) user = qEnvironmentVariable("USERNAME");
    return user;
}
