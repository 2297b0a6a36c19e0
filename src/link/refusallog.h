#pragma once
// Log lines for refused connections (not in AllowedHosts, no machine's address): at most one per address
// a minute, so that a peer knocking all day cannot fill the disk. The first
// refusal is told at once; those after it within the minute are counted and
// told in one line when the minute is over.
#include <QHash>
#include <QHostAddress>
#include <QString>
#include <QTimer>
#include <functional>

class RefusalLog {
public:
    using Clock = std::function<qint64()>;  // milliseconds, never going back
    using Sink = std::function<void(const QString& line)>;
    // A line's text for refusals from an address (or "andra adresser");
    // by default the machine port's.
    using Words = std::function<QString(const QString& from, qint64 count)>;

    static constexpr qint64 kWindowMs = 60000;
    // Addresses remembered at most; refusals from further ones share one line.
    static constexpr qsizetype kMaxAddresses = 4096;

    // By default the monotonic clock and the program's log.
    explicit RefusalLog(Clock clock = {}, Sink sink = {}, Words words = {});
    // "<lead> ADDRESS nekad<tail>", with the count when there were more.
    static Words Worded(QString lead, QString tail);
    // The machine port's wording, ending in why ("inte i AllowedHosts").
    static Words Because(const QString& reason);

    // A connection (or times of them) from peer was refused.
    void refused(const QHostAddress& peer, qint64 times = 1);
    // Tells the counts whose minute is over (the timer calls it on its own).
    void flushDue();

private:
    struct Entry {
        qint64 since = 0;   // start of the address's minute
        qint64 counted = 0; // refusals not yet told
    };
    void tell(const QString& from, qint64 count);
    void arm();

    Clock clock_;
    Sink sink_;
    Words words_;
    QHash<QHostAddress, Entry> entries_;
    Entry others_;  // refusals from addresses beyond kMaxAddresses
    bool othersActive_ = false;
    QTimer timer_;
};
