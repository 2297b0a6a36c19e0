// The INI reader on any file, then a write and a read of the same key.
// Input: the file's bytes, then NUL-separated section, key and value. A
// value the format can hold must read back as written; a line break is refused.
#include "common/ini.h"
#include "common/notify.h"
#include <QFile>
#include <QTemporaryDir>
#include <cstdlib>

namespace {
QTemporaryDir* folder;

bool Printable(const QString& s) {
    for (const QChar c : s)
        if (c.unicode() < 0x20 || c.unicode() > 0x7e) return false;
    return true;
}
bool Trimmed(const QString& s) { return !s.startsWith(QLatin1Char(' ')) && !s.endsWith(QLatin1Char(' ')); }

// What a line "key=value" under "[section]" can carry without being read otherwise.
bool Representable(const QString& section, const QString& key, const QString& value) {
    if (!Printable(section) || !Printable(key) || !Printable(value)) return false;
    if (!Trimmed(section) || !Trimmed(key) || !Trimmed(value) || value.size() > 511) return false;
    if (key.contains(QLatin1Char('=')) || key.startsWith(QLatin1Char('['))) return false;
    const bool quoted = value.size() >= 2 && (value.front() == QLatin1Char('"') || value.front() == QLatin1Char('\''))
                        && value.back() == value.front();
    return !quoted;
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    folder = new QTemporaryDir;
    std::atexit([] { delete folder; });
    SetMessageSink([](const QString&, const QString&, MsgIcon) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QList<QByteArray> parts = QByteArray(reinterpret_cast<const char*>(data), qsizetype(size)).split('\0');
    const QString path = folder->filePath(QStringLiteral("test.ini"));
    {
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) abort();
        f.write(parts[0]);
    }
    const QString section = QString::fromLatin1(parts.value(1, "Sektion"));
    const QString key = QString::fromLatin1(parts.value(2, "Nyckel"));
    const QString value = QString::fromLatin1(parts.value(3, "Värde"));

    if (ReadIni(section, key, QString(), path).size() > 511) abort();
    // A line break in any part would make another line of the file: that,
    // and only that, is refused.
    const auto breaks = [](const QString& s) { return s.contains(QLatin1Char('\r')) || s.contains(QLatin1Char('\n')); };
    const bool fits = !breaks(section) && !breaks(key) && !breaks(value);
    if (WriteIni(section, key, value, path) != fits) abort();
    if (!fits) return 0;
    if (Representable(section, key, value) && ReadIni(section, key, QStringLiteral("\x01"), path) != value) abort();
    return 0;
}
