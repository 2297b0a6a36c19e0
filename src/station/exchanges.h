#pragma once
// The PC's exchanges with its machine: the one open, kept after it ended
// until the next one opens (an operation reads how it ended), and the
// protocol-1 fetches that ended unanswered lately. Part of its Station,
// whose time-outs, serial receive time-out and log it uses.
#include "link/exchange.h"
#include <QByteArray>
#include <QDeadlineTimer>
#include <QString>
#include <memory>
#include <vector>

class QTcpSocket;
class Station;

class Exchanges {
public:
    explicit Exchanges(Station& station) : st_(station) {}

    // Exchanges: one open at a time; its answer is matched by connection,
    // command and name.
    Exchange& open(const QByteArray& command, const QString& name, QTcpSocket* socket);
    void end(Exchange::State state);
    Exchange* answered(const QByteArray& command, const QString& name, QTcpSocket* from);
    void unexpected(const QByteArray& message) const;
    // Protocol 1: a comparison's or read-back's fetch of this name ended
    // unanswered lately, so a store of it is that copy arriving late.
    bool lateCopy(const QString& name);
    // The exchange opened last, open or ended; null before the first.
    Exchange* latest() { return exchange_.get(); }
    const Exchange* latest() const { return exchange_.get(); }
    // The same while it is open.
    const Exchange* current() const { return exchange_ && exchange_->open() ? exchange_.get() : nullptr; }
    // The exchange of id is the one open now.
    bool stillOpen(quint64 id) const { return exchange_ && exchange_->id == id && exchange_->open(); }

private:
    Station& st_;
    std::unique_ptr<Exchange> exchange_;
    quint64 next_ = 0;
    struct LateCopyOf {
        QString name;
        QDeadlineTimer until;
    };
    std::vector<LateCopyOf> lateCopies_;
};
