// Plain ISO tape (Typ 3): the paced send and the drip-feed as coroutines.
#include "common/ansi.h"
#include "common/log.h"
#include "common/sha256.h"
#include "link/arrows.h"
#include "link/serialpacer.h"
#include "station/station.h"
#include "station/tapeengine.h"
#include "link/tapesource.h"

#include <QCoro/QCoroTimer>
#include <QDir>
#include <QFileInfo>
#include <chrono>
#include <coroutine>
#include <deque>

namespace {
constexpr qint64 kMB = 1024 * 1024;
}  // namespace

QCoro::Task<bool> TapeEngine::send(QString path, QString name) {
    sentBytes_ = 0;  // nothing on the line yet
    sentSha_.clear();
    std::shared_ptr<TapeSource> source;
    try {
        source = std::make_shared<TapeSource>(path, st_.Machine, iso::Restart{});
    } catch (const AppError& e) {
        st_.Status(QStringLiteral("Filen %1 kunde inte läsas: %2.").arg(QDir::toNativeSeparators(path), e.description()));
        co_return false;
    }
    co_return co_await run(std::move(source), std::move(name), false);
}


QCoro::Task<bool> TapeEngine::drip(QString path, QString from, bool atToolChange) {
    const QString name = QFileInfo(path).completeBaseName();
    sentBytes_ = 0;
    sentSha_.clear();
    iso::Restart restart;
    restartText_.clear();
    try {
        if (!from.trimmed().isEmpty()) {
            // The whole program is read first, so that nothing goes out for a
            // block that is missing, repeated or in a subprogram.
            iso::RestartPlanner planner(from, atToolChange);
            ProgramLines lines;
            if (!lines.open(path)) throw AppError(53, QStringLiteral("Filen hittades inte"));
            // A long scan lets the other machines' events through.
            for (qint64 yielded = 0; planner.valid() && lines.next([&](QByteArrayView text, qint64) { planner.line(text); });) {
                if (lines.read() - yielded < 8 * kMB) continue;
                yielded = lines.read();
                co_await QCoro::sleepFor(std::chrono::milliseconds(0));
            }
            restart = planner.result();
            if (!restart.error.isEmpty()) {
                stopText_ = restart.error;
                st_.AddLog(QStringLiteral("Droppmatning av %1 från %2 vägrad: %3").arg(name, from, restart.error));
                st_.Status(QStringLiteral("Droppmatning av %1 från %2 vägrad: %3").arg(name, from, restart.error));
                co_return false;
            }
            QStringList blocks;
            for (const QByteArray& b : restart.preamble) blocks << FromAnsi(b);
            restartText_ = QStringLiteral("Från rad %1, först uppstarten: %2")
                               .arg(restart.resumeLine + 1)
                               .arg(blocks.isEmpty() ? QStringLiteral("(ingen)") : blocks.join(QStringLiteral(" / ")));
            // Said before anything goes out, where the operator looks.
            st_.AddLog(QStringLiteral("Droppmatning av %1 från %2. %3").arg(name, from, restartText_));
            st_.Status(QStringLiteral("Droppmatning av %1 från %2. %3").arg(name, from, restartText_));
        }
        auto source = std::make_shared<TapeSource>(path, st_.Machine, restart);
        co_return co_await run(std::move(source), name, true);
    } catch (const AppError& e) {
        st_.Status(QStringLiteral("Filen %1 kunde inte läsas: %2.").arg(QDir::toNativeSeparators(path), e.description()));
        co_return false;
    }
}

namespace {
// Resumes a send at the station's next isoWake, from the event loop rather
// than inside the signal, so that nothing the wait made is destroyed while
// it is still being called.
struct WakeUp {
    Station* station;
    QMetaObject::Connection connection;
    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> handle) {
        connection = QObject::connect(station, &Station::isoWake, station, [this, handle] {
            QObject::disconnect(connection);
            QMetaObject::invokeMethod(station, [handle] { handle.resume(); }, Qt::QueuedConnection);
        });
    }
    void await_resume() noexcept {}
};

QString Duration(qint64 seconds) {
    if (seconds >= 3600) return QStringLiteral("%1 h %2 min").arg(seconds / 3600).arg(seconds % 3600 / 60);
    if (seconds >= 60) return QStringLiteral("%1 min %2 s").arg(seconds / 60).arg(seconds % 60);
    return QStringLiteral("%1 s").arg(seconds);
}
// The SHA-256 of what was written: each piece is kept from its feed until
// the pacer has written it, so that a cut send's digest is of its characters
// on the line, not of what was read ahead.
class WrittenDigest {
public:
    void fed(const QByteArray& piece) {
        if (!piece.isEmpty()) pending_.push_back(piece);
    }
    void writtenUpTo(qint64 count) {
        while (hashed_ < count && !pending_.empty()) {
            const QByteArray& front = pending_.front();
            const qint64 take = qMin<qint64>(count - hashed_, front.size() - offset_);
            sha_.add(QByteArrayView(front).sliced(offset_, take));
            hashed_ += take;
            offset_ += take;
            if (offset_ == front.size()) pending_.pop_front(), offset_ = 0;
        }
    }
    QByteArray hex() const { return sha_.hex(); }

private:
    Sha256 sha_;
    std::deque<QByteArray> pending_;
    qsizetype offset_ = 0;
    qint64 hashed_ = 0;
};
}  // namespace

// The one engine of a send, an answer and a drip-feed. The serial thread's
// pacer writes while the machine lets it (DC1/DC3, CTS, or neither), never
// more than the FIFO ahead of the line (or of its rate, where the port cannot
// count), so that after a DC3 no more than that goes out; this side keeps it
// fed, shows how it goes and decides when to stop.
QCoro::Task<bool> TapeEngine::run(std::shared_ptr<TapeSource> source, QString name, bool drip) {
    if (!st_.Comm || !st_.Comm->isOpen() || !st_.pacer_) {
        st_.Status(QStringLiteral("Fel: Porten inte öppen."));
        co_return false;
    }
    if (feeding_) {
        st_.AddLog(QStringLiteral("%1 sändes inte: en sändning till maskinen pågår redan.").arg(name));
        st_.Status(QStringLiteral("En sändning till maskinen pågår redan."));
        co_return false;
    }
    const iso::Flow flow = iso::FlowFromText(st_.Machine.Handskakning);
    st_.Comm->setHardwareFlowControl(flow == iso::Flow::Cts);
    const quint64 generation = st_.aborts_;
    feeding_ = true;
    st_.isoBusy_ = true;
    noise_ = 0;
    // A DC3 from before this send belongs to an earlier session.
    st_.Comm->forgetHold();
    held_ = false;
    st_.panel().setPanel(3, QString());
    st_.Aborted = false;
    stopText_.clear();
    st_.ShowPilar(drip ? QStringLiteral("Droppmatar %1...").arg(name) : QStringLiteral("Sänder %1...").arg(name), SendArrows());
    st_.Status(drip ? QStringLiteral("Droppmatning av %1 startar.").arg(name) : QStringLiteral("Sänder..."));

    QString failure;  // empty while all goes well
    QByteArray head;
    qint64 written = 0;
    bool fedAll = false;
    WrittenDigest digest;
    sentBytes_ = 0;
    sentSha_.clear();
    QElapsedTimer clock, shown, heldFor;
    clock.start();
    shown.start();
    // The rate is of characters on the line from the first one on, holds
    // included: in a drip-feed that is the machine's own pace.
    qint64 firstAt = -1;
    // Only a DSR that drops counts: a three-wire line never has one.
    bool cts = true, dsrAtStart = false;
    const bool modemLines = st_.Comm->modemStatus(&cts, &dsrAtStart);
    auto stopped = [&]() -> QString {
        if (st_.aborts_ != generation) return QStringLiteral("avbruten");
        if (!st_.Comm || !st_.Comm->isOpen()) return QStringLiteral("linjen försvann");
        bool dsr = true;
        if (modemLines && dsrAtStart && st_.Comm->modemStatus(&cts, &dsr) && !dsr) return QStringLiteral("linjen försvann (DSR)");
        if (drip && st_.Machine.Brustecken > 0 && noise_ >= st_.Machine.Brustecken)
            return QStringLiteral("maskinen sände %1 tecken annat än DC1/DC3 (Brustecken=%2; återställd?)").arg(noise_).arg(st_.Machine.Brustecken);
        return {};
    };
    // Waits for the machine's DC3 to end: forever in a drip-feed (a long
    // DC3 is a slow cut), CtsTimeout in a send.
    auto holdTimedOut = [&]() -> bool {
        if (drip || st_.General.CtsTimeout <= 0) return false;
        return heldFor.isValid() && heldFor.elapsed() >= st_.General.CtsTimeout;
    };
    // Waits for the next wake, at most ms (-1: no limit).
    const auto wait = [&](int ms) {
        if (ms >= 0) deadline_.start(ms);
        else deadline_.stop();
        return WakeUp{&st_, {}};
    };
    // The progress, once a second, held or not.
    const auto show = [&](qint64 onLine) {
        if (shown.elapsed() < 1000) return;
        shown.restart();
        st_.panel().setPanel(2, QString::number(onLine) + QStringLiteral(" tecken"));
        if (!drip) return;
        const double rate = firstAt >= 0 && clock.elapsed() > firstAt ? onLine * 1000.0 / double(clock.elapsed() - firstAt) : 0;
        const TapeSource::Block* at = source->lastBefore(onLine);
        const qint64 total = qMax<qint64>(1, source->total());
        const qint64 in = at ? at->in : 0;
        QString text = QStringLiteral("Droppmatning %1: %2 rader, %3 %").arg(name).arg(source->linesBefore(onLine)).arg(qMin<qint64>(100, in * 100 / total));
        if (rate > 0 && in > 0) {
            // What is left of the file, in characters on the line as far.
            const double left = double(total - in) * double(at->end) / double(in);
            text += QStringLiteral(", %1 tecken/s, %2 kvar").arg(qRound64(rate)).arg(Duration(qRound64(left / rate)));
        }
        if (held_) text += QStringLiteral(" (maskinen håller linjen)");
        st_.Status(text);
    };

    if (st_.Machine.VantaDC1 && flow == iso::Flow::Xon) {
        sawXon_ = false;
        st_.Status(QStringLiteral("Väntar på DC1 från maskinen (starta inläsningen där)."));
        heldFor.start();
        while (!sawXon_ && (failure = stopped()).isEmpty()) {
            if (holdTimedOut()) {
                failure = QStringLiteral("ingen DC1 från maskinen inom CtsTimeout");
                break;
            }
            co_await wait(drip ? -1 : int(qMax<qint64>(1, st_.General.CtsTimeout - heldFor.elapsed())));
        }
        heldFor.invalidate();
    }
    SerialPacer::Message tape;
    tape.id = ++st_.nextPaced_;
    tape.tape = true;
    tape.hold = flow == iso::Flow::Xon  ? SerialPacer::Message::Hold::Xoff
                : flow == iso::Flow::Cts ? SerialPacer::Message::Hold::Cts
                                         : SerialPacer::Message::Hold::None;
    tape.window = flow == iso::Flow::Xon ? iso::kFifo : 256;
    if (failure.isEmpty()) {
        st_.isoPaced_ = tape.id;
        st_.pacer_->start(tape);
    }
    while (failure.isEmpty()) {
        const SerialPacer::Snapshot now = st_.pacer_->take();
        written = now.written;
        digest.writtenUpTo(written);
        if (firstAt < 0 && written > 0) firstAt = clock.elapsed();
        // All gone out before an abort was heard of: whole, not stopped.
        if (now.ended) break;
        if (!(failure = stopped()).isEmpty()) break;
        // Read ahead of the line as far as the pacer keeps; blocks that
        // surely left are forgotten.
        for (qint64 want = st_.pacer_->wanted(); !fedAll && want > 0; want = st_.pacer_->wanted()) {
            QByteArray piece;
            try {
                piece = source->next();
            } catch (const AppError& e) {
                failure = QStringLiteral("filen kunde inte läsas: %1").arg(e.description());
                break;
            }
            if (head.isEmpty() && !piece.isEmpty()) {
                // The traffic row goes when the message starts, as for the other links.
                head = piece.left(64);
                Q_EMIT st_.trafficRow(false, head, qMax<qint64>(source->total(), piece.size()), {}, {}, nullptr);
            }
            fedAll = piece.isEmpty();
            digest.fed(piece);
            st_.pacer_->feed(tape.id, piece, fedAll);
        }
        if (!failure.isEmpty()) break;
        const qint64 onLine = written - st_.pacer_->unsent();
        source->forget(onLine - iso::kFifo);
        show(onLine);
        // The pacer's view of the hold, noted where the bytes arrive: one an
        // abort cleared from the input before it was read here still counts.
        if (now.held) {
            // Many controls stop the reader after the closing "%": what
            // follows it is runout, and the program went out whole. Behind a
            // low CTS, the UART's FIFO may still hold it.
            const qint64 left = onLine - (flow == iso::Flow::Cts ? iso::kFifo : 0);
            if (source->closedAt() >= 0 && left >= source->closedAt() && st_.Comm->isOpen()) break;
            if (!heldFor.isValid()) {
                heldFor.start();
                if (!drip) st_.Status(QStringLiteral("Maskinen har stoppat sändningen (%1).").arg(flow == iso::Flow::Cts ? QStringLiteral("CTS") : QStringLiteral("XOFF")));
            }
            if (holdTimedOut()) {
                failure = flow == iso::Flow::Cts ? QStringLiteral("CTS timeout") : QStringLiteral("XOFF längre än CtsTimeout");
                break;
            }
            // A drip-feed's progress goes on showing while the machine holds
            // it, every other second: a long hold costs next to nothing.
            qint64 ms = -1;
            if (drip) ms = qMax<qint64>(1, 2000 - shown.elapsed());
            else if (st_.General.CtsTimeout > 0) ms = qMax<qint64>(1, st_.General.CtsTimeout - heldFor.elapsed());
            co_await wait(int(ms));
            continue;
        }
        heldFor.invalidate();
        co_await wait(int(qMax<qint64>(1, 1000 - shown.elapsed())));
    }
    if (st_.isoPaced_ == tape.id) {
        st_.isoPaced_ = 0;
        written = st_.pacer_->stop().count;
    }
    deadline_.stop();
    // Where it stopped: the last block handed to the line, and the last one
    // that had left the port and the FIFO (or that the line rate let out),
    // which the machine surely has.
    const qint64 queued = st_.Comm && st_.Comm->isOpen() ? st_.pacer_->unsent() : 0;
    const TapeSource::Block* sent = source->lastBefore(written);
    const TapeSource::Block* taken = source->lastBefore(written - queued - iso::kFifo - st_.pacer_->slack());
    auto describe = [](const TapeSource::Block* b) {
        return b ? QStringLiteral("rad %1 (%2)").arg(b->line).arg(FromAnsi(b->text)) : QStringLiteral("ingen");
    };
    const qint64 lines = source->linesBefore(written);
    feeding_ = false;
    st_.isoBusy_ = false;
    st_.HidePilar();
    digest.writtenUpTo(written);
    sentBytes_ = written;
    sentSha_ = digest.hex();
    Q_EMIT st_.transferEnded(false, name, written, failure.isEmpty());
    const QString noise = noise_ > 0 ? QStringLiteral(" Brus på linjen: %1 tecken.").arg(noise_) : QString();
    if (failure.isEmpty()) {
        stopText_ = drip ? QStringLiteral("%1 rader sända.").arg(lines) : QString();
        st_.Status(drip ? QStringLiteral("Droppmatning klar (%1): %2 rader.").arg(name).arg(lines)
                        : QStringLiteral("Sändning klar (") + name + QStringLiteral(")."));
        st_.AddLog(QStringLiteral("%1 sänt till maskinen (%2 tecken).").arg(name).arg(written) + noise);
        co_return true;
    }
    stopText_ = QStringLiteral("Senast sända block: %1; maskinen har säkert fått till och med %2.")
                    .arg(describe(sent), describe(taken));
    const QString text = (drip ? QStringLiteral("Droppmatningen av %1 stoppad: %2. ") : QStringLiteral("Sändningen av %1 avbruten: %2. "))
                             .arg(name, failure) +
                         stopText_;
    st_.AddLog(text + noise);
    st_.Status(text);
    co_return false;
}
