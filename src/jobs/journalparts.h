#pragma once
// What writing and reading the journal share; the journal's own.
#include "jobs/job.h"

#include <QByteArrayView>
#include <QFile>
#include <cstring>
#include <optional>
#include <vector>

namespace journal {

constexpr qsizetype kChunk = 256 * 1024;
// Which process wrote a line, so that a server's start tells its dead
// predecessor's jobs from those a live window is running.
// (Literals, not QString globals: a journal may be written before main.)
constexpr QLatin1StringView kHost("host");
constexpr QLatin1StringView kPid("pid");

// This host's name, and when this process started (see ProcessStartOf).
const QString& HostName();
const QByteArray& SelfStart();

// The month files ("2026-12.jsonl") of folder, oldest first.
QStringList MonthFiles(const QString& folder);

// A time as the lines hold it ("2026-12-07T19:46:30.000Z", quoted); null when invalid.
void PutTime(QByteArray& out, const QDateTime& time);

struct Parsed {
    Job job;
    QString host;
    qint64 pid = 0;
};
// A journal line's job and writer; empty when it is not one.
std::optional<Parsed> Parse(QByteArrayView line);

// A file's lines from its end to its start, read in chunks into one buffer.
class LinesBackward {
public:
    explicit LinesBackward(const QString& path, qint64 from = 0) : file_(path), floor_(from) {
        if (file_.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) pos_ = file_.size();
        else cut_ = -1;
    }
    // The next line further back, without its line end; the first one is
    // what follows the file's last line end (empty when it ends in one).
    bool next(QByteArrayView* line) {
        while (cut_ >= 0) {
            const char* data = buf_.data();
            const char* nl = static_cast<const char*>(cut_ > 0 ? ::memrchr(data, '\n', size_t(cut_)) : nullptr);
            if (nl) {
                const qsizetype at = nl - data;
                *line = QByteArrayView(nl + 1, cut_ - at - 1);
                cut_ = at;
                return true;
            }
            if (pos_ <= floor_) {
                *line = QByteArrayView(data, cut_);
                cut_ = -1;
                return true;
            }
            const qsizetype k = qsizetype(std::min<qint64>(kChunk, pos_ - floor_));
            if (size_t(k + cut_) > buf_.size()) buf_.resize(size_t(k + cut_));
            std::memmove(buf_.data() + k, buf_.data(), size_t(cut_));
            pos_ -= k;
            if (!file_.seek(pos_) || file_.read(buf_.data(), k) != k) {
                cut_ = -1;
                return false;
            }
            cut_ += k;
        }
        return false;
    }

private:
    QFile file_;
    qint64 floor_ = 0, pos_ = 0;
    std::vector<char> buf_;
    qsizetype cut_ = 0;
};

}  // namespace journal
