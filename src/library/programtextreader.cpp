#include "library/programfile.h"

#include "library/fileaccess.h"
#include "library/programlayout.h"

#include <QDateTime>
#include <QFileInfo>

#include <algorithm>
#include <cstring>
#ifdef Q_OS_LINUX
#include <sys/mman.h>
#endif

using fileaccess::InFile;
using fileaccess::OpenExisting;
using programlayout::IsBlank;

namespace {

// Big buffers are filled once and handed on; large pages make their first
// touch far cheaper than one fault per 4 KB page.
void PreferLargePages([[maybe_unused]] QByteArray& data) {
#ifdef Q_OS_LINUX
    constexpr uintptr_t kLarge = uintptr_t(2) << 20;
    if (data.size() < qsizetype(8 * kLarge)) return;
    const auto start = reinterpret_cast<uintptr_t>(data.data());
    const uintptr_t begin = (start + kLarge - 1) & ~(kLarge - 1);
    const uintptr_t end = (start + static_cast<uintptr_t>(data.size())) & ~(kLarge - 1);
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#endif
}

}  // namespace

struct ProgramTextReader::Impl {
    enum class Mode { All, Prefix, AfterStart };
    InFile file;
    Mode mode = Mode::All;
    qint64 remaining = 0;  // Prefix: bytes before the end marker still to read
    qint64 size = -1;      // of the file when opened; -1 when not a regular file
    QString path;
    QDateTime modified;    // when opened
};

ProgramTextReader::ProgramTextReader() : d(std::make_unique<Impl>()) {}
ProgramTextReader::~ProgramTextReader() = default;
qint64 ProgramTextReader::fileSize() const { return d->size; }

bool ProgramTextReader::open(const QString& path, bool snapshot) {
    d = std::make_unique<Impl>();
    if (!OpenExisting(d->file, path)) return false;
    d->size = d->file.size();  // a folder raises here
    d->path = path;
#ifdef Q_OS_LINUX
    // A copy that is whole as of now; the file is read from it, so that a
    // change to the file can no longer cut what goes out. Without one the
    // change is noticed and the reading stops.
    if (snapshot && d->size >= 0) {
        for (int attempt = 0; attempt < 3; ++attempt) {
            if (d->file.snapshot(QFileInfo(path).absolutePath())) {
                d->size = d->file.size();
                d->path.clear();
                break;
            }
            if (!OpenExisting(d->file, path)) return false;
            d->size = d->file.size();
        }
    }
#else
    Q_UNUSED(snapshot);
#endif
    // Only a file read in place is looked at again (a time in local time
    // costs a look at the time zone file); nothing has been read from it yet.
    if (!d->path.isEmpty()) d->modified = QFileInfo(path).lastModified();
    // Where the text starts: after a first "%" that something other than
    // blanks follows; a first "%" with only blanks after it ends the text.
    // Nearly every file answers this from its first piece.
    constexpr qint64 kScan = 64 * 1024;
    QByteArray buf(kScan, Qt::Uninitialized);
    qint64 position = 0;
    qint64 first = -1;
    bool started = false;
    for (;;) {
        const qint64 got = d->file.read(buf.data(), kScan);
        if (got == 0) break;
        const char* from = buf.constData();
        const char* const stop = from + got;
        if (first < 0) {
            const auto* mark = static_cast<const char*>(std::memchr(from, '%', static_cast<size_t>(got)));
            if (!mark) {
                position += got;
                continue;
            }
            first = position + (mark - buf.constData());
            from = mark + 1;
        }
        while (from < stop && IsBlank(*from)) ++from;
        if (from < stop) {
            started = true;
            break;
        }
        position += got;
    }
    if (first < 0) {
        d->mode = Impl::Mode::All;
        d->file.seek(0);
    } else if (!started) {
        d->mode = Impl::Mode::Prefix;
        d->remaining = first;
        d->file.seek(0);
    } else {
        d->mode = Impl::Mode::AfterStart;
        d->file.seek(first + 1);
    }
    return true;
}

qsizetype ProgramTextReader::read(char* into, qsizetype max) {
    if (max <= 0) return 0;
    if (d->mode == Impl::Mode::Prefix) {
        if (d->remaining <= 0) return 0;
        const qint64 got = d->file.read(into, std::min<qint64>(max, d->remaining));
        d->remaining = got == 0 ? 0 : d->remaining - got;
        return static_cast<qsizetype>(got);
    }
    for (;;) {
        const qint64 got = d->file.read(into, max);
        if (got == 0 || d->mode == Impl::Mode::All) return static_cast<qsizetype>(got);
        // Every later "%" is squeezed out; a piece of nothing but "%" reads on.
        char* const end = std::remove(into, into + got, '%');
        if (end != into) return end - into;
    }
}

QString ProgramTextReader::changedName() const {
    if (d->path.isEmpty() || d->size < 0) return {};
    QFileInfo now(d->path);
    if (now.exists() && now.size() == d->size && now.lastModified() == d->modified) return {};
    return now.fileName();
}

QByteArray ProgramTextReader::readAll() {
    // One buffer of the file's size, filled once and handed on.
    QByteArray data(d->size > 0 ? d->size : 64 * 1024, Qt::Uninitialized);
    PreferLargePages(data);
    qsizetype kept = 0;
    for (;;) {
        // Full at the size the file had when opened: usually its end, but a
        // file that grew meanwhile is read to its real end.
        if (kept == data.size()) data.resize(kept + std::max<qsizetype>(kept / 2, 64 * 1024));
        const qsizetype got = read(data.data() + kept, std::min<qsizetype>(data.size() - kept, 1 << 20));
        if (got == 0) break;
        kept += got;
    }
    data.truncate(kept);
    return data;
}
