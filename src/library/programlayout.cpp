#include "library/programlayout.h"
#include "library/programfile.h"

#include "common/ansi.h"
#include "library/fileaccess.h"

#include <algorithm>
#include <cstring>

namespace programlayout {

using fileaccess::InFile;
using fileaccess::OpenExisting;

namespace {

bool AllBlank(const char* from, const char* to) {
    for (; from < to; ++from)
        if (!IsBlank(*from)) return false;
    return true;
}

// True when nothing but blanks is left to read.
bool RestIsBlank(InFile& file) {
    char buf[4096];
    for (;;) {
        const qint64 got = file.read(buf, sizeof buf);
        if (got == 0) return true;
        if (!AllBlank(buf, buf + got)) return false;
    }
}

QByteArray WithoutParens(QByteArrayView text) {
    QByteArray out;
    out.reserve(text.size());
    for (const char c : text)
        if (c != '(' && c != ')') out.append(c);
    return out;
}

QByteArray ProgramCommentBytes(QByteArrayView line, qsizetype start) {
    const QByteArrayView rest = start < 0 ? line : line.sliced(start + 1);
    const qsizetype tilde = rest.indexOf('~');
    if (tilde >= 0) {
        const QByteArrayView after = rest.sliced(tilde + 1);
        return after.first(std::min<qsizetype>(18, after.size())).toByteArray();
    }
    const qsizetype open = rest.indexOf('(');
    const qsizetype close = rest.indexOf(')');
    if (open >= 0 && close > open) return rest.sliced(open + 1, close - open - 1).toByteArray();
    return {};
}

}  // namespace

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool FirstLine(const QString& path, QByteArray& line, qsizetype& start) {
    InFile file;
    if (!OpenExisting(file, path)) return false;
    // Most first lines are short: one small read answers nearly every file.
    char head[512];
    qint64 got = file.read(head, sizeof head);
    bool restBlank;  // of the bytes read past the line
    if (const void* cr = std::memchr(head, '\r', static_cast<size_t>(got))) {
        line = QByteArray(head, static_cast<const char*>(cr) - head);
        restBlank = AllBlank(static_cast<const char*>(cr), head + got);
    } else {
        line = QByteArray(head, got);
        restBlank = true;
        qsizetype chunk = 4096;
        while (got > 0) {
            const qsizetype used = line.size();
            line.resize(used + chunk);
            got = file.read(line.data() + used, chunk);
            line.resize(used + got);
            if (const void* cr = std::memchr(line.constData() + used, '\r', static_cast<size_t>(got))) {
                const char* at = static_cast<const char*>(cr);
                restBlank = AllBlank(at, line.constData() + line.size());
                line.truncate(at - line.constData());
                break;
            }
            if (chunk < (1 << 20)) chunk *= 2;
        }
    }
    start = line.indexOf('%');
    if (start >= 0 && restBlank && AllBlank(line.constData() + start + 1, line.constData() + line.size()) &&
        RestIsBlank(file)) {
        line.truncate(start);
        start = -1;
    }
    return true;
}

QByteArray FileCommentBytes(QByteArrayView line, qsizetype start) {
    return start < 0 ? QByteArray() : WithoutParens(line.first(start));
}

}  // namespace programlayout

using programlayout::FileCommentBytes;
using programlayout::FirstLine;
using programlayout::ProgramCommentBytes;

Comments ReadComments(const QString& path) {
    QByteArray line;
    qsizetype start;
    if (!FirstLine(path, line, start)) return {};
    return Comments{FromAnsi(FileCommentBytes(line, start)), FromAnsi(ProgramCommentBytes(line, start))};
}

QString FileComment(const QString& path) {
    QByteArray line;
    qsizetype start;
    return FirstLine(path, line, start) ? FromAnsi(FileCommentBytes(line, start)) : QString();
}

QString ProgramComment(const QString& path) {
    QByteArray line;
    qsizetype start;
    return FirstLine(path, line, start) ? FromAnsi(ProgramCommentBytes(line, start)) : QString();
}
