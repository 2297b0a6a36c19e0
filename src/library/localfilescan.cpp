#include "library/localfilescan.h"

#include "common/apperror.h"
#include "common/paths.h"
#include "library/programfile.h"

#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <algorithm>

#ifdef Q_OS_UNIX
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

QString TrimBlanks(const QString& s) {
    qsizetype b = 0, e = s.size();
    while (b < e && s[b] == QLatin1Char(' ')) ++b;
    while (e > b && s[e - 1] == QLatin1Char(' ')) --e;
    return (b == 0 && e == s.size()) ? s : s.mid(b, e - b);
}

#ifdef Q_OS_UNIX
void SetStat(LocalFile& f, const struct stat& st) {
    f.statRead = true;
    f.size = qint64(st.st_size);
    f.modified = qint64(st.st_mtim.tv_sec) * 1000 + st.st_mtim.tv_nsec / 1000000;
}

// readdir only: the entry types come from the directory itself; a file's own
// data is looked at only for links and file systems that give no type.
std::vector<LocalFile> ListFolder(const QString& dir, const QString& pattern) {
    std::vector<LocalFile> out;
    DIR* d = ::opendir(QFile::encodeName(dir).constData());
    if (!d) return out;
    const int fd = ::dirfd(d);
    while (const dirent* e = ::readdir(d)) {
        const char* n = e->d_name;
        if (n[0] == '.' && (n[1] == 0 || (n[1] == '.' && n[2] == 0))) continue;
        if (e->d_type == DT_DIR) continue;
        LocalFile f;
        f.diskName = QFile::decodeName(n);
        if (!WildcardMatch(f.diskName, pattern)) continue;
        if (e->d_type != DT_REG) {
            struct stat st;
            if (::fstatat(fd, n, &st, 0) != 0) continue;  // a dangling link
            if (S_ISDIR(st.st_mode)) continue;
            SetStat(f, st);
        }
        out.push_back(std::move(f));
    }
    ::closedir(d);
    return out;
}
#else
std::vector<LocalFile> ListFolder(const QString& dir, const QString& pattern) {
    std::vector<LocalFile> out;
    QDirIterator it(dir, QDir::Files | QDir::Hidden | QDir::System);
    while (it.hasNext()) {
        it.next();
        if (!WildcardMatch(it.fileName(), pattern)) continue;
        LocalFile f;
        f.diskName = it.fileName();
        out.push_back(std::move(f));
    }
    return out;
}
#endif

}  // namespace

bool ReadLocalStat(LocalFile& f, const QString& folder) {
    if (f.statRead) return f.exists;
    f.statRead = true;
    const QString path = JoinPath(folder, f.diskName);
#ifdef Q_OS_UNIX
    struct stat st;
    f.exists = ::stat(QFile::encodeName(path).constData(), &st) == 0;
    if (f.exists) SetStat(f, st);
#else
    const QFileInfo fi(path);
    f.exists = fi.exists();
    if (f.exists) {
        f.size = fi.size();
        f.modified = fi.lastModified().toMSecsSinceEpoch();
    }
#endif
    return f.exists;
}

void ReadLocalComments(LocalFile& f, const QString& folder) {
    if (f.commentsRead) return;
    f.commentsRead = true;
    try {
        const Comments c = ReadComments(JoinPath(folder, f.diskName));
        f.fileComment = c.file;
        f.programComment = c.program;
    } catch (const AppError&) {
        // Unreadable: the row shows no comments.
    }
}

std::vector<LocalFile> ScanProgramFolder(const QString& folder, const QString& pattern, bool withDetails) {
    if (folder.isEmpty()) return {};
    const QString dir = ResolveCase(folder);
    std::vector<LocalFile> files = ListFolder(dir, pattern);
    std::sort(files.begin(), files.end(), [](const LocalFile& a, const LocalFile& b) {
        const int c = a.diskName.compare(b.diskName, Qt::CaseInsensitive);
        return c != 0 ? c < 0 : a.diskName < b.diskName;
    });
    for (LocalFile& f : files) {
        f.name = TrimBlanks(f.diskName);
        f.kind = FileKind(f.name);
        if (withDetails) {
            ReadLocalStat(f, dir);
            ReadLocalComments(f, dir);
        }
    }
    return files;
}
