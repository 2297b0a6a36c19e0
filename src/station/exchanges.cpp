// The PC's exchanges with the machine: one open at a time, and only its own
// answer, on its own connection, completes it.
#include "common/ansi.h"
#include "common/log.h"
#include "station/exchanges.h"
#include "station/station.h"
#include <QDeadlineTimer>
#include <QTcpSocket>
#include <QTimer>
#include <algorithm>

namespace {
// Log lines quote at most this much of an unexpected message.
constexpr qsizetype kQuote = 60;
}  // namespace

Exchange& Exchanges::open(const QByteArray& command, const QString& name, QTcpSocket* socket) {
    // A request replaces one still open: its answer can no longer come in time.
    end(Exchange::State::Ended);
    exchange_ = std::make_unique<Exchange>();
    exchange_->id = ++next_;
    exchange_->command = command;
    exchange_->name = name;
    exchange_->socket = socket;
    return *exchange_;
}

void Exchanges::end(Exchange::State state) {
    if (!exchange_ || !exchange_->open()) return;
    exchange_->state = state;
    // A protocol-1 machine often sends when its operator gets to it: a copy
    // that comes after its fetch gave up must still never reach the library.
    if (state != Exchange::State::Done && !exchange_->library && exchange_->command == "L") {
        const int window = std::max(st_.General.RecTimeout, 1) * 10;
        lateCopies_.push_back({exchange_->name, QDeadlineTimer(window)});
    }
    // Its time-outs end with it, so that none is ever reported for another.
    st_.SvarTimer.stop();
    st_.TimeoutTimer.stop();
    st_.TargetFolder.clear();
    st_.rx_.serialSilence(false);
    Q_EMIT st_.exchangeEnded();
}

// The open exchange this answer belongs to: the same connection, the same
// command and, where it has one, the same name as the frame carried it.
Exchange* Exchanges::answered(const QByteArray& command, const QString& name, QTcpSocket* from) {
    Exchange* x = exchange_.get();
    if (!x || !x->open() || x->socket != from || x->command != command) return nullptr;
    if (!x->name.isEmpty() && x->name.compare(name, Qt::CaseInsensitive) != 0) return nullptr;
    return x;
}

bool Exchanges::lateCopy(const QString& name) {
    std::erase_if(lateCopies_, [](const LateCopyOf& c) { return c.until.hasExpired(); });
    for (const LateCopyOf& c : lateCopies_)
        if (c.name.compare(name, Qt::CaseInsensitive) == 0) return true;
    return false;
}

void Exchanges::unexpected(const QByteArray& message) const {
    QByteArray quote = message.left(kQuote);
    if (message.size() > kQuote) quote += "...";
    st_.AddLog(QStringLiteral("Oväntat svar: ") + FromAnsi(quote));
}
