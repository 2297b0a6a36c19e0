#include "common/ini.h"
#include "common/ansi.h"
#include "common/home.h"
#include "common/notify.h"
#include "common/paths.h"
#include "common/savefile.h"
#include <QFile>
#include <QFileInfo>
#include <optional>
#include <vector>

namespace {

constexpr int kMaxValue = 511;  // the platform's 512-character buffer less its terminator

QString FileOrGeneral(const QString& file) { return file.size() < 2 ? GeneralSettingsFile() : file; }

// One physical line of the file: content without its line end, and the
// position of the line end so that rewriting keeps every other byte.
struct Line {
    qsizetype start = 0;
    qsizetype contentEnd = 0;  // before "\r\n" or "\n"
    qsizetype end = 0;         // after the line end
};

enum class Kind { Other, Section, Key };

struct Parsed {
    Kind kind = Kind::Other;
    QString name;   // section or key
    QString value;  // keys only
};

std::vector<Line> SplitLines(const QByteArray& raw) {
    std::vector<Line> lines;
    qsizetype pos = 0;
    while (pos < raw.size()) {
        const qsizetype nl = raw.indexOf('\n', pos);
        Line l;
        l.start = pos;
        if (nl < 0) {
            l.contentEnd = l.end = raw.size();
        } else {
            l.contentEnd = (nl > pos && raw[nl - 1] == '\r') ? nl - 1 : nl;
            l.end = nl + 1;
        }
        lines.push_back(l);
        pos = l.end;
    }
    return lines;
}

bool IsBlank(QChar c) { return c == QLatin1Char(' ') || c == QLatin1Char('\t'); }

QString TrimBlanks(const QString& s) {
    qsizetype a = 0, b = s.size();
    while (a < b && IsBlank(s[a])) ++a;
    while (b > a && IsBlank(s[b - 1])) --b;
    return s.mid(a, b - a);
}

Parsed ParseLine(const QString& text) {
    const QString t = TrimBlanks(text);
    Parsed p;
    if (t.startsWith(QLatin1Char('['))) {
        const qsizetype close = t.lastIndexOf(QLatin1Char(']'));
        if (close > 0) {
            p.kind = Kind::Section;
            p.name = TrimBlanks(t.mid(1, close - 1));
        }
        return p;  // a header without "]" is neither section nor key
    }
    const qsizetype eq = t.indexOf(QLatin1Char('='));
    if (eq < 0) return p;
    p.kind = Kind::Key;
    p.name = TrimBlanks(t.left(eq));
    p.value = TrimBlanks(t.mid(eq + 1));
    if (p.value.size() >= 2) {
        const QChar q = p.value.front();
        if ((q == QLatin1Char('"') || q == QLatin1Char('\'')) && p.value.back() == q)
            p.value = p.value.mid(1, p.value.size() - 2);
    }
    return p;
}

struct IniText {
    QByteArray raw;
    bool utf8 = false;
    std::vector<Line> lines;
    std::vector<Parsed> parsed;

    QString decode(const QByteArray& bytes) const { return utf8 ? QString::fromUtf8(bytes) : FromAnsi(bytes); }
    QByteArray encode(const QString& text) const { return utf8 ? text.toUtf8() : ToAnsi(text); }

    void parse() {
        bool ascii = true;
        for (const char c : raw)
            if (static_cast<unsigned char>(c) >= 0x80) { ascii = false; break; }
        utf8 = !ascii && IsValidUtf8(raw);
        lines = SplitLines(raw);
        parsed.clear();
        parsed.reserve(lines.size());
        for (const Line& l : lines) parsed.push_back(ParseLine(decode(raw.mid(l.start, l.contentEnd - l.start))));
    }

    // Lines [first, last) of the first section named section; first is the header.
    std::optional<std::pair<size_t, size_t>> findSection(const QString& section) const {
        for (size_t i = 0; i < parsed.size(); ++i) {
            if (parsed[i].kind != Kind::Section || parsed[i].name.compare(section, Qt::CaseInsensitive) != 0)
                continue;
            size_t j = i + 1;
            while (j < parsed.size() && parsed[j].kind != Kind::Section) ++j;
            return std::make_pair(i, j);
        }
        return std::nullopt;
    }

    std::optional<size_t> findKey(std::pair<size_t, size_t> range, const QString& key) const {
        for (size_t i = range.first + 1; i < range.second; ++i)
            if (parsed[i].kind == Kind::Key && parsed[i].name.compare(key, Qt::CaseInsensitive) == 0) return i;
        return std::nullopt;
    }

    QByteArray lineEnd() const {
        const qsizetype nl = raw.indexOf('\n');
        if (nl > 0 && raw[nl - 1] == '\r') return QByteArrayLiteral("\r\n");
        if (nl >= 0) return QByteArrayLiteral("\n");
        return QByteArrayLiteral("\r\n");
    }
};

}  // namespace

QString ReadIni(const QString& section, const QString& key, const QString& def, const QString& file) {
    QFile f(ResolveCase(FileOrGeneral(file)));
    if (QFileInfo(f.fileName()).isDir() || !f.open(QIODevice::ReadOnly)) return def;
    IniText ini;
    ini.raw = f.readAll();
    ini.parse();
    const auto range = ini.findSection(section);
    if (!range) return def;
    const auto k = ini.findKey(*range, key);
    if (!k) return def;
    return ini.parsed[*k].value.left(kMaxValue);
}

namespace {
// out replaces the file atomically; an unchanged file is not rewritten.
bool Replace(const QString& path, bool existed, const QByteArray& before, const QByteArray& out) {
    if (existed && out == before) return true;
    return SaveWholeFile(path, out);
}

bool WriteIniFile(const QString& section, const QString& key, const QString& value, const QString& path) {
    IniText ini;
    const QFileInfo info(path);
    if (info.exists()) {
        if (info.isDir()) return false;
        QFile f(path);
        if (!f.open(QIODevice::ReadOnly)) return false;
        ini.raw = f.readAll();
    }
    ini.parse();
    const QByteArray eol = ini.lineEnd();
    QByteArray out;
    const auto range = ini.findSection(section);
    if (range) {
        const auto k = ini.findKey(*range, key);
        if (k) {
            const Line& l = ini.lines[*k];
            const QString original = ini.decode(ini.raw.mid(l.start, l.contentEnd - l.start));
            const qsizetype eq = original.indexOf(QLatin1Char('='));
            out = ini.raw.left(l.start) + ini.encode(original.left(eq + 1) + value) + ini.raw.mid(l.contentEnd);
        } else {
            // After the section's last non-blank line, before any blank lines that part it from the next.
            size_t last = range->first;
            for (size_t i = range->first + 1; i < range->second; ++i)
                if (!TrimBlanks(ini.decode(ini.raw.mid(ini.lines[i].start,
                                                        ini.lines[i].contentEnd - ini.lines[i].start))).isEmpty())
                    last = i;
            const Line& l = ini.lines[last];
            QByteArray head = ini.raw.left(l.end);
            if (l.end == l.contentEnd) head += eol;  // last line of the file had no line end
            out = head + ini.encode(key + QLatin1Char('=') + value) + eol + ini.raw.mid(l.end);
        }
    } else {
        out = ini.raw;
        if (!out.isEmpty() && !out.endsWith('\n')) out += eol;
        out += ini.encode(QLatin1Char('[') + section + QLatin1Char(']')) + eol;
        out += ini.encode(key + QLatin1Char('=') + value) + eol;
    }
    return Replace(path, info.exists(), ini.raw, out);
}

bool ClearIniFile(const QString& section, const QString& path) {
    const QFileInfo info(path);
    if (!info.exists()) return true;
    IniText ini;
    QFile f(path);
    if (info.isDir() || !f.open(QIODevice::ReadOnly)) return false;
    ini.raw = f.readAll();
    ini.parse();
    const auto range = ini.findSection(section);
    if (!range) return true;
    QByteArray out = ini.raw.left(ini.lines[range->first].end);
    for (size_t i = range->first + 1; i < range->second; ++i)
        if (ini.parsed[i].kind != Kind::Key) out += ini.raw.mid(ini.lines[i].start, ini.lines[i].end - ini.lines[i].start);
    if (range->second < ini.lines.size()) out += ini.raw.mid(ini.lines[range->second].start);
    return Replace(path, true, ini.raw, out);
}

bool Failed() {
    Beep();
    ShowMessage(QStringLiteral("Fel vid skrivning till INI-fil..."), AppTitle(), MsgIcon::Exclamation);
    return false;
}
}  // namespace

bool IniValueFits(const QString& text) {
    return !text.contains(QLatin1Char('\n')) && !text.contains(QLatin1Char('\r')) && !text.contains(QChar(0));
}

bool WriteIni(const QString& section, const QString& key, const QString& value, const QString& file) {
    if (!IniValueFits(section) || !IniValueFits(key) || !IniValueFits(value)) return Failed();
    const QString path = ResolveCase(FileOrGeneral(file));
    return WriteIniFile(section, key, value, path) || Failed();
}

bool ClearIniSection(const QString& section, const QString& file) {
    return ClearIniFile(section, ResolveCase(FileOrGeneral(file))) || Failed();
}

