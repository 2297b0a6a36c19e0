#include "web/webserver.h"
#include "web/webreply.h"
#include "web/logtail.h"
#include "web/spooledbody.h"
#include "operations/operations.h"
#include "server/jobpanel.h"
#include "common/panelentries.h"
#include "link/machinestore.h"
#include "common/ansi.h"
#include "common/dates.h"
#include "common/home.h"
#include "common/paths.h"
#include "library/localfilescan.h"
#include "library/programfile.h"
#include "link/programname.h"
#include "station/station.h"
#include "server/shopserver.h"

#include <QElapsedTimer>
#include <utility>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QUrl>

namespace {
qint64 Clock() {
    static const QElapsedTimer started = [] {
        QElapsedTimer t;
        t.start();
        return t;
    }();
    return started.elapsed();
}

// The send folder as the window's list shows it, as JSON; on a worker.
QByteArray ListingJson(const QString& folder, const QString& extension) {
    QJsonArray out;
    for (const LocalFile& f : ScanProgramFolder(folder, QStringLiteral("*.") + extension, true)) {
        if (!f.exists) continue;
        out.append(QJsonObject{{QStringLiteral("name"), f.name},
                               {QStringLiteral("size"), double(f.size)},
                               {QStringLiteral("sizeText"), SizeText(f.size)},
                               {QStringLiteral("date"), GeneralDate(QDateTime::fromMSecsSinceEpoch(f.modified))},
                               {QStringLiteral("fileComment"), f.fileComment},
                               {QStringLiteral("programComment"), f.programComment}});
    }
    return QJsonDocument(out).toJson(QJsonDocument::Compact);
}

// Rows of GET /api/jobs at most: 10,000 queued jobs fit in one page.
constexpr int kMaxJobPage = 10000;

// A file name as a plain name in one folder: no folder, drive or way up.
bool PlainName(const QString& name) {
    if (name.isEmpty() || name == QLatin1String(".") || name.contains(QLatin1String(".."))) return false;
    for (const QChar c : name)
        if (c == QLatin1Char('/') || c == QLatin1Char('\\') || c == QLatin1Char(':') || c.unicode() < 0x20) return false;
    return true;
}

// A name the verbs could take for a flag.
bool Dashed(const QString& name) { return name.startsWith(QLatin1Char('-')); }

QByteArray Resource(const QString& name) {
    QFile f(QStringLiteral(":/web/") + name);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QStringList Strings(const QJsonValue& v) {
    QStringList out;
    for (const QJsonValue& x : v.toArray()) out << x.toString();
    return out;
}
}  // namespace

void WebServer::dispatch(const HttpRequest& request, const Reply& reply) {
    // Segments split before decoding, so an encoded "/" stays inside its name.
    QStringList parts;
    for (const QByteArray& p : request.path.split('/'))
        if (!p.isEmpty()) parts << QUrl::fromPercentEncoding(p);
    const bool get = request.method == "GET";
    if (get && parts.isEmpty()) return reply.bytes(Resource(QStringLiteral("index.html")), "text/html; charset=utf-8");
    if (get && parts == QStringList{QStringLiteral("verkstad.js")})
        return reply.bytes(Resource(parts[0]), "text/javascript; charset=utf-8");
    if (get && parts == QStringList{QStringLiteral("verkstad.css")}) return reply.bytes(Resource(parts[0]), "text/css; charset=utf-8");
    if (get && parts == QStringList{QStringLiteral("metrics")})
        return reply.bytes(metrics_.text(shop_.state()), "text/plain; version=0.0.4; charset=utf-8");
    if (parts.value(0) != QLatin1String("api")) return reply.error(Status::NotFound, QStringLiteral("Sidan finns inte."));
    if (get && parts.size() == 2 && parts[1] == QLatin1String("machines")) return reply.json(machinesJson());
    if (get && parts.size() == 2 && parts[1] == QLatin1String("log")) {
        const qint64 size = QFileInfo(InProgramFolder(QStringLiteral("fenmo32.log"))).size();
        if (log_.at != size) {
            log_.json = QJsonDocument(LogTail(200)).toJson(QJsonDocument::Compact);
            log_.at = size;
        }
        return reply.bytes(log_.json, "application/json; charset=utf-8");
    }
    if (parts.size() >= 3 && parts[1] == QLatin1String("machines")) return machineRoute(request, parts[2], parts.mid(3), reply);
    if (parts.value(1) == QLatin1String("jobs")) return jobRoute(request, parts, reply);
    reply.error(Status::NotFound, QStringLiteral("Sidan finns inte."));
}

// The routes of one machine. The front has let a changing request (POST,
// PUT) through only with the token.
void WebServer::machineRoute(const HttpRequest& request, const QString& machine, const QStringList& rest,
                             const Reply& reply) {
    Station* st = shop_.station(machine);
    if (!st) return reply.error(Status::NotFound, QStringLiteral("Okänd maskin \"%1\".").arg(machine));
    const QString what = rest.value(0);
    if (request.method == "GET" && rest.size() == 1) {
        if (what == QLatin1String("library")) return library(machine, *st, request, reply);
        if (what == QLatin1String("traffic")) {
            // Decoded again only when a row has come, and at most once a second.
            Kept& kept = trafficKept_[machine];
            if (kept.at < 0 || Clock() - kept.at >= 1000) {
                QJsonArray rows;
                for (const TrafficRow& r : traffic(machine)) rows.append(DecodeTraffic(r));
                kept.json = QJsonDocument(rows).toJson(QJsonDocument::Compact);
                kept.at = Clock();
            }
            return reply.bytes(kept.json, "application/json; charset=utf-8");
        }
        // The list as it last came; asking the machine takes a POST and the token.
        if (what == QLatin1String("programs")) {
            const auto held = lists_.find(machine);
            return reply.json(QJsonObject{
                {QStringLiteral("programs"), held == lists_.end() ? QJsonArray() : held->programs},
                {QStringLiteral("time"), held == lists_.end() ? QJsonValue() : QJsonValue(GeneralDate(held->time))}});
        }
    }
    if (request.method == "PUT" && rest.size() == 2 && what == QLatin1String("library"))
        return upload(request, machine, *st, rest[1], reply);
    // A person's word that the machine is clear after a cut send: never
    // implied by a job's "yes".
    if (request.method == "POST" && rest.size() == 1 && what == QLatin1String("clear")) {
        const QString cut = st->CutProgram();
        const bool cleared = st->ConfirmCut(WebCredit(request.user, request.peer.toString()));
        return reply.json(QJsonObject{{QStringLiteral("cleared"), cleared},
                                      {QStringLiteral("program"), cleared ? QJsonValue(cut) : QJsonValue()}});
    }
    if (request.method == "POST" && rest.size() == 1) {
        const QStringList verbs{QStringLiteral("send"), QStringLiteral("fetch"), QStringLiteral("delete"),
                                QStringLiteral("compare"), QStringLiteral("programs"), QStringLiteral("drip")};
        if (!verbs.contains(what)) return reply.error(Status::NotFound, QStringLiteral("Sidan finns inte."));
        QJsonParseError parsed{};
        const QJsonDocument doc = QJsonDocument::fromJson(request.body, &parsed);
        if (!request.body.trimmed().isEmpty() && (parsed.error != QJsonParseError::NoError || !doc.isObject()))
            return reply.error(Status::BadRequest, QStringLiteral("Kroppen är inget JSON-objekt."));
        const QJsonObject body = doc.object();
        const bool yes = body.value(QStringLiteral("yes")).toBool();
        // The window asks before it deletes; here the question's answer must come with the request.
        if (what == QLatin1String("delete") && !yes)
            return reply.error(Status::BadRequest, QStringLiteral("bekräftelse saknas: radera vill ha \"yes\": true."));
        JobRequest job;
        // The route's words are the job kinds' own, but for the list.
        job.kind = what == QLatin1String("programs") ? JobKind::List : KindFromWord(what).value_or(JobKind::List);
        job.folder = st->machine().SendPath;
        if (what == QLatin1String("send")) {
            const QStringList files = Strings(body.value(QStringLiteral("files")));
            if (files.isEmpty()) return reply.error(Status::BadRequest, QStringLiteral("Inga filer angivna (\"files\")."));
            for (const QString& f : files) {
                if (!PlainName(f)) return reply.error(Status::BadRequest, QStringLiteral("Ogiltigt filnamn \"%1\".").arg(f));
                const QString path = st->machine().SendPath + QLatin1Char('/') + f;
                if (!QFileInfo(path).isFile())
                    return reply.error(Status::NotFound, QStringLiteral("Filen \"%1\" finns inte i sändmappen.").arg(f));
                const QString why = ProgramNameRefusal(NameWithoutExt(f), st->machine());
                if (!why.isEmpty())
                    return reply.error(Status::BadRequest,
                                       QStringLiteral("ogiltigt programnamn \"%1\" (filen \"%2\"): %3.").arg(NameWithoutExt(f), f, why));
            }
            // A tape control gives no list to find an old program in: the send needs the person's word.
            if (st->machine().Typ == 3 && !yes)
                return reply.error(Status::BadRequest,
                                   QStringLiteral("bekräftelse saknas: en maskin på ISO-remsa visar inga program, och en "
                                                  "sändning kan skriva över ett med samma nummer; sänd vill ha \"yes\": true."));
            job.programs = files;
        } else if (what == QLatin1String("drip")) {
            const QString f = body.value(QStringLiteral("file")).toString();
            if (st->machine().Typ != 3)
                return reply.error(Status::BadRequest, QStringLiteral("Droppmatning går bara till maskiner på ISO-remsa."));
            if (!PlainName(f)) return reply.error(Status::BadRequest, QStringLiteral("Ogiltigt filnamn \"%1\".").arg(f));
            if (!QFileInfo(st->machine().SendPath + QLatin1Char('/') + f).isFile())
                return reply.error(Status::NotFound, QStringLiteral("Filen \"%1\" finns inte i sändmappen.").arg(f));
            job.programs = {f};
            const QJsonValue from = body.value(QStringLiteral("from"));
            job.from = from.isDouble() ? QString::number(from.toInteger()) : from.toString();
        } else if (what == QLatin1String("fetch") || what == QLatin1String("delete")) {
            const QStringList programs = Strings(body.value(QStringLiteral("programs")));
            if (programs.isEmpty()) return reply.error(Status::BadRequest, QStringLiteral("Inga program angivna (\"programs\")."));
            for (const QString& p : programs) {
                const QString why = ProgramNameRefusal(p, st->machine());
                if (!why.isEmpty())
                    return reply.error(Status::BadRequest, QStringLiteral("Ogiltigt programnamn \"%1\": %2.").arg(p, why));
            }
            job.programs = programs;
        }
        return submit(request, machine, *st, job, yes, reply);
    }
    reply.error(Status::NotFound, QStringLiteral("Sidan finns inte."));
}

// The send folder as the window's list shows it: scanned on a worker, one
// scan at a time a machine, and kept a moment for those who ask meanwhile.
void WebServer::library(const QString& machine, Station& st, const HttpRequest& request, const Reply& reply) {
    Kept& kept = listings_[machine];
    if (kept.at >= 0 && Clock() - kept.at < kListingMs) return reply.bytes(kept.json, "application/json; charset=utf-8");
    int fromPeer = 0;
    for (const Kept& k : std::as_const(listings_))
        for (const auto& w : k.waiting) fromPeer += w.first == request.peer;
    if (listingWaits_ >= kListingWaits || fromPeer >= kListingWaitsPerAddress)
        return reply.busy(QStringLiteral("Sändmappen läses redan; försök igen om en stund."));
    ++listingWaits_;
    kept.waiting.emplace_back(request.peer, std::make_shared<Reply>(reply));
    if (std::exchange(kept.scanning, true)) return;
    const QString folder = st.machine().SendPath, extension = st.machine().Extension;
    scans_.start([this, machine, folder, extension] {
        QByteArray json = ListingJson(folder, extension);
        QMetaObject::invokeMethod(this, [this, machine, json = std::move(json)] {
            Kept& k = listings_[machine];
            k.json = json;
            k.at = Clock();
            k.scanning = false;
            listingWaits_ -= int(k.waiting.size());
            for (const auto& w : std::exchange(k.waiting, {})) w.second->bytes(json, "application/json; charset=utf-8");
        }, Qt::QueuedConnection);
    });
}

// An upload into the send folder, named as the machine's store names its
// files: the machine's extension, a program name the machine can take, and
// a file name Windows could hold. The front has refused a body over the limit.
void WebServer::upload(const HttpRequest& request, const QString& machine, Station& st, const QString& file, const Reply& reply) {
    const QString ext = st.machine().Extension;
    if (!PlainName(file)) return reply.error(Status::BadRequest, QStringLiteral("Ogiltigt filnamn \"%1\".").arg(file));
    if (file != file.trimmed())
        return reply.error(Status::BadRequest,
                           QStringLiteral("Ogiltigt filnamn \"%1\": börjar eller slutar med blanksteg.").arg(file));
    if (Dashed(file))
        return reply.error(Status::BadRequest, QStringLiteral("Ogiltigt filnamn \"%1\": börjar med \"-\".").arg(file));
    if (ext.isEmpty()) return reply.error(Status::BadRequest, MissingExtensionText(machine));
    if (!file.endsWith(QLatin1Char('.') + ext, Qt::CaseInsensitive))
        return reply.error(Status::BadRequest,
                           QStringLiteral("Ogiltigt filnamn \"%1\": maskinens filändelse är \".%2\".").arg(file, ext));
    const QString name = file.left(file.size() - ext.size() - 1);
    QString why = name.isEmpty() ? QStringLiteral("tomt namn") : MachineNameProblem(file);
    if (why.isEmpty()) why = MachineNameProblem(name);
    if (!why.isEmpty()) return reply.error(Status::BadRequest, QStringLiteral("Ogiltigt filnamn \"%1\": %2.").arg(file, why));
    why = ProgramNameRefusal(name, st.machine());
    if (!why.isEmpty())
        return reply.error(Status::BadRequest, QStringLiteral("ogiltigt programnamn \"%1\" (filen \"%2\"): %3.").arg(name, file, why));
    if (request.bodySize == 0) return reply.error(Status::BadRequest, QStringLiteral("Tom fil: inget att lägga i sändmappen."));
    const QString path = st.machine().SendPath + QLatin1Char('/') + file;
    // The store replaces a program whose name differs only in case: that one is named.
    const QString replaced = QFileInfo(ResolveCase(path)).fileName();
    const bool existed = QFileInfo::exists(ResolveCase(path));
    // The lock, the version and the commit on a worker, as a machine's store:
    // no machine's answer waits for an upload's disk.
    StoreWork work;
    work.path = path;
    work.text = request.body;
    if (request.spooled) work.textFile = request.spooled->path();
    work.origin = QStringLiteral("webben");
    const qint64 size = request.bodySize;
    // The spooled body stays until the store has read it.
    WhenReady(&st, StartStore(std::move(work)), [this, machine, reply, file, size, existed, replaced, station = &st,
                                                 spooled = request.spooled](const StoreResult& r) {
        listings_[machine].at = -1;
        if (!r.stored())
            return reply.error(Status::InternalServerError,
                               QStringLiteral("Filen \"%1\" kunde inte skrivas: %2").arg(file, r.file.message()));
        station->AddLog(QStringLiteral("Webben: \"%1\" lades i sändmappen (%2 tecken).").arg(file, QString::number(size)));
        QJsonObject answer{{QStringLiteral("file"), file}, {QStringLiteral("size"), double(size)}};
        if (existed) answer.insert(QStringLiteral("replaced"), replaced);
        reply.json(answer, existed ? Status::Ok : Status::Created);
    });
}

namespace {
// The job's work: what the request asked for, through the job table.
QCoro::Task<void> ApiJob(Station* st, JobRequest job, bool yes, std::function<void(const QList<RemoteEntry>&)> listed) {
    // Without "yes" an existing program is not overwritten: that needs the
    // machine's list. A tape send comes with "yes" (its route asks for it).
    if (job.kind == JobKind::Send && !yes) {
        const Conversation list(*st);
        co_await cmdDir_Click(list);
        if (st->listAnswer() != true) {
            if (JobRun* run = st->CurrentJob()) run->fail(QStringLiteral("Ingen programlista från maskinen; inget sändes."));
            co_return;
        }
    }
    co_await RunRequest(*st, job);
    if (job.kind == JobKind::List && st->listAnswer() == true) listed(st->RemoteList());
}
}  // namespace

void WebServer::submit(const HttpRequest& request, const QString& machine, Station& st, const JobRequest& job, bool yes,
                       const Reply& reply) {
    auto listed = [this, machine](const QList<RemoteEntry>& list) {
        QJsonArray programs;
        for (const RemoteEntry& e : list)
            programs.append(QJsonObject{{QStringLiteral("name"), FromAnsi(e.name)}, {QStringLiteral("size"), FromAnsi(e.size)}});
        lists_[machine] = Held{QDateTime::currentDateTime(), programs};
    };
    Station* station = &st;
    // The request's "yes" answers its overwrite questions; nobody answers any other.
    auto panel = std::make_shared<JobPanel>(yes);
    const auto run = st.Submit(
        job.kind, WebCredit(request.user, request.peer.toString()),
        [station, panel, job, yes, listed](JobRun&) { return ApiJob(station, job, yes, listed); }, panel.get());
    reply.accepted(run->record);
}

void WebServer::jobRoute(const HttpRequest& request, const QStringList& parts, const Reply& reply) {
    if (request.method == "GET" && parts.size() == 2) {
        // A page: ?limit=N rows after the job ?before=ID (the last row of the page before).
        const QString before = QString::fromUtf8(request.args.value("before"));
        const int limit = std::clamp(request.args.value("limit").toInt(), 0, kMaxJobPage);
        // The first page, asked over and over, is made once until a job changes (a progress row at most a second late).
        const bool first = request.args.isEmpty();
        if (first && jobs_.at >= 0 && Clock() - jobs_.at < 1000)
            return reply.bytes(jobs_.json, "application/json; charset=utf-8");
        bool known = true;
        QJsonArray out;
        for (const Job& j : shop_.jobs(QString::fromUtf8(request.args.value("machine")), limit, before, &known))
            out.append(j.toJson());
        if (!known) return reply.error(Status::NotFound, QStringLiteral("Okänt jobb \"%1\".").arg(before));
        if (!first) return reply.json(out);
        jobs_ = Kept{QJsonDocument(out).toJson(QJsonDocument::Compact), Clock(), false, {}};
        return reply.bytes(jobs_.json, "application/json; charset=utf-8");
    }
    if (parts.size() != 3) return reply.error(Status::NotFound, QStringLiteral("Sidan finns inte."));
    const QString id = parts[2];
    if (request.method == "DELETE") {
        if (!shop_.cancelJob(id, WebCredit(request.user, request.peer.toString()))) {
            const auto job = shop_.job(id);
            return job ? reply.json(job->toJson()) : reply.error(Status::NotFound, QStringLiteral("Okänt jobb \"%1\".").arg(id));
        }
        return reply.json(shop_.job(id).value_or(Job{}).toJson());
    }
    if (request.method != "GET") return reply.error(Status::NotFound, QStringLiteral("Sidan finns inte."));
    const auto job = shop_.job(id);
    if (!job) return reply.error(Status::NotFound, QStringLiteral("Okänt jobb \"%1\".").arg(id));
    const int wait = std::clamp(request.args.value("wait").toInt(), 0, 300);
    if (job->finished() || wait == 0) return reply.json(job->toJson());
    // Answered when the job ends, or with the job as it is when the seconds have passed.
    waiting_.push_back({id, std::make_shared<Reply>(reply), QDeadlineTimer(wait * 1000)});
    if (!waitTick_.isActive()) waitTick_.start();
}
