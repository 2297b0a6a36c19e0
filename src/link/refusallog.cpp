#include "link/refusallog.h"
#include "common/log.h"
#include <QElapsedTimer>
#include <limits>

RefusalLog::Words RefusalLog::Worded(QString lead, QString tail) {
    return [lead = std::move(lead), tail = std::move(tail)](const QString& from, qint64 count) {
        return count == 1 ? QStringLiteral("%1 %2 nekad%3").arg(lead, from, tail)
                          : QStringLiteral("%1 %2 nekad %3 gånger den senaste minuten%4")
                                .arg(lead, from, QString::number(count), tail);
    };
}

RefusalLog::Words RefusalLog::Because(const QString& reason) {
    return Worded(QStringLiteral("Anslutning från"), QStringLiteral(" (%1).").arg(reason));
}

RefusalLog::RefusalLog(Clock clock, Sink sink, Words words)
    : clock_(std::move(clock)), sink_(std::move(sink)), words_(std::move(words)) {
    if (!clock_) {
        auto started = std::make_shared<QElapsedTimer>();
        started->start();
        clock_ = [started] { return started->elapsed(); };
    }
    if (!sink_) sink_ = AddLog;
    if (!words_) words_ = Because(QStringLiteral("inte i AllowedHosts"));
    timer_.setSingleShot(true);
    QObject::connect(&timer_, &QTimer::timeout, [this] { flushDue(); });
}

void RefusalLog::tell(const QString& from, qint64 count) { sink_(words_(from, count)); }

void RefusalLog::refused(const QHostAddress& peer, qint64 times) {
    if (times < 1) return;
    flushDue();
    const qint64 now = clock_();
    const auto it = entries_.find(peer);
    if (it != entries_.end()) {
        it->counted += times;
    } else if (entries_.size() < kMaxAddresses) {
        entries_.insert(peer, Entry{now, times - 1});
        tell(peer.isNull() ? QStringLiteral("okänd adress") : peer.toString(), 1);
    } else if (othersActive_) {
        others_.counted += times;
    } else {
        othersActive_ = true;
        others_ = Entry{now, times - 1};
        tell(QStringLiteral("andra adresser"), 1);
    }
    arm();
}

// An address whose minute is over with nothing counted is forgotten; one with
// refusals counted gets its line and a new minute, so that a steady stream
// gives one line a minute.
void RefusalLog::flushDue() {
    const qint64 now = clock_();
    for (auto it = entries_.begin(); it != entries_.end();) {
        if (now - it->since < kWindowMs) {
            ++it;
        } else if (it->counted > 0) {
            tell(it.key().isNull() ? QStringLiteral("okänd adress") : it.key().toString(), it->counted);
            *it = Entry{now, 0};
            ++it;
        } else {
            it = entries_.erase(it);
        }
    }
    if (othersActive_ && now - others_.since >= kWindowMs) {
        if (others_.counted > 0) {
            tell(QStringLiteral("andra adresser"), others_.counted);
            others_ = Entry{now, 0};
        } else {
            othersActive_ = false;
        }
    }
    arm();
}

void RefusalLog::arm() {
    qint64 due = std::numeric_limits<qint64>::max();
    for (const Entry& e : std::as_const(entries_))
        if (e.counted > 0) due = std::min(due, e.since + kWindowMs);
    if (othersActive_ && others_.counted > 0) due = std::min(due, others_.since + kWindowMs);
    if (due == std::numeric_limits<qint64>::max()) {
        timer_.stop();
        return;
    }
    timer_.start(static_cast<int>(std::clamp<qint64>(due - clock_(), 0, kWindowMs)));
}
