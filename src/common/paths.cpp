#include "common/paths.h"
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <algorithm>

QString JoinPath(const QString& folder, const QString& name) {
    if (folder.isEmpty()) return name;
    if (folder.endsWith(QLatin1Char('/')) || folder.endsWith(QLatin1Char('\\'))) return folder + name;
    return folder + QLatin1Char('/') + name;
}

QString ResolveCase(const QString& path) {
    if (path.isEmpty() || QFileInfo::exists(path)) return path;
    const QString clean = QDir::fromNativeSeparators(path);
    const QStringList parts = clean.split(QLatin1Char('/'));
    QString current;
    int start = 0;
    if (clean.startsWith(QLatin1Char('/'))) {
        current = QStringLiteral("/");
        start = 1;
    } else if (parts.size() > 0 && parts[0].size() == 2 && parts[0][1] == QLatin1Char(':')) {
        current = parts[0] + QLatin1Char('/');
        start = 1;
    }
    for (int i = start; i < parts.size(); ++i) {
        const QString& part = parts[i];
        if (part.isEmpty() || part == QLatin1String(".")) continue;
        const QString exact = current.isEmpty() ? part : JoinPath(current, part);
        if (part == QLatin1String("..") || QFileInfo::exists(exact)) {
            current = exact;
            continue;
        }
        const QString base = current.isEmpty() ? QStringLiteral(".") : current;
        // First match in name order, found without sorting the whole folder.
        QString match;
        QDirIterator it(base, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
        while (it.hasNext()) {
            it.next();
            const QString e = it.fileName();
            if (e.compare(part, Qt::CaseInsensitive) == 0 && (match.isEmpty() || e < match)) match = e;
        }
        if (match.isEmpty()) return path;
        current = current.isEmpty() ? match : JoinPath(current, match);
    }
    return current;
}

namespace {
bool GlobMatch(const QString& name, const QString& pattern) {
    int n = 0, p = 0, starP = -1, starN = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == QLatin1Char('*')) {
            starP = p++;
            starN = n;
        } else if (p < pattern.size() &&
                   (pattern[p] == QLatin1Char('?') ||
                    pattern[p].toCaseFolded() == name[n].toCaseFolded())) {
            ++p;
            ++n;
        } else if (starP >= 0) {
            p = starP + 1;
            n = ++starN;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == QLatin1Char('*')) ++p;
    return p == pattern.size();
}
}  // namespace

bool WildcardMatch(const QString& name, const QString& pattern) {
    if (pattern == QLatin1String("*.*") || pattern == QLatin1String("*")) return true;
    if (pattern.endsWith(QLatin1Char('.'))) {
        // "X*." asks for names without an extension.
        if (name.contains(QLatin1Char('.'))) return false;
        QString p = pattern;
        while (p.endsWith(QLatin1Char('.'))) p.chop(1);
        return GlobMatch(name, p);
    }
    return GlobMatch(name, pattern);
}

QList<FoundFile> FindFiles(const QString& folder, const QString& pattern) {
    QList<FoundFile> out;
    const QString dir = ResolveCase(folder);
    QDirIterator it(dir, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    while (it.hasNext()) {
        it.next();
        const QFileInfo fi = it.fileInfo();
        const QString name = fi.fileName();
        if (!WildcardMatch(name, pattern)) continue;
        out.append(FoundFile{name, fi.isDir(), fi.isDir() ? 0 : fi.size()});
    }
    std::sort(out.begin(), out.end(), [](const FoundFile& a, const FoundFile& b) {
        const int c = a.name.compare(b.name, Qt::CaseInsensitive);
        return c != 0 ? c < 0 : a.name < b.name;
    });
    return out;
}
