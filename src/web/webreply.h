#pragma once
// The answer to one request, as the page side and the API routes of the
// web server give it, and the HTTP statuses they answer with.
#include "jobs/job.h"
#include "web/webserver.h"

#include <QJsonDocument>
#include <QUrl>

// The HTTP statuses the routes answer with.
namespace Status {
enum : int {
    Ok = 200,
    Created = 201,
    Accepted = 202,
    BadRequest = 400,
    NotFound = 404,
    Conflict = 409,
    PayloadTooLarge = 413,
    InternalServerError = 500,
    BadGateway = 502,
};
}  // namespace Status

// An answer to one request: given once (the front ignores the rest); a
// verb's route gives it later, after the verb has run.
struct WebServer::Reply {
    HttpFront* front = nullptr;
    std::shared_ptr<HttpExchange> exchange;
    Metrics* metrics = nullptr;
    void json(const QJsonDocument& doc, int status = Status::Ok) const {
        if (status == 400 || status == 401 || status == 403 || status == 404 || status == 413) metrics->refused(status);
        front->answer(exchange, HttpAnswer{status, "application/json; charset=utf-8", doc.toJson(QJsonDocument::Compact), false});
    }
    void json(const QJsonObject& o, int status = Status::Ok) const { json(QJsonDocument(o), status); }
    void json(const QJsonArray& a) const { json(QJsonDocument(a)); }
    // 202 Accepted: the job was queued; where to watch it.
    void accepted(const Job& job) const {
        front->answer(exchange, HttpAnswer{Status::Accepted, "application/json; charset=utf-8",
                                           QJsonDocument(job.toJson()).toJson(QJsonDocument::Compact), true,
                                           "/api/jobs/" + QUrl::toPercentEncoding(job.id)});
    }
    void error(int status, const QString& text) const { json(QJsonObject{{QStringLiteral("error"), text}}, status); }
    void bytes(const QByteArray& data, const QByteArray& type) const {
        front->answer(exchange, HttpAnswer{Status::Ok, type, data, true});
    }
    void busy(const QString& text) const {
        metrics->refused(503);
        HttpAnswer a{503, "application/json; charset=utf-8",
                     QJsonDocument(QJsonObject{{QStringLiteral("error"), text}}).toJson(QJsonDocument::Compact), true, {}};
        a.retryAfter = 1;
        front->answer(exchange, a);
    }
};
