#include "common/log.h"
#include "common/ansi.h"
#include "common/dates.h"
#include "common/fileerror.h"
#include "common/home.h"
#include <QFile>

void AppendToFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Append)) throw FileError(f, path);
    if (f.write(bytes) != bytes.size() || !f.flush()) {
        const AppError e = FileError(f, path);
        f.close();
        throw e;
    }
    f.close();
}

void AddLog(const QString& text) {
    AppendToFile(InProgramFolder(QStringLiteral("fenmo32.log")),
                 ToAnsi(GeneralDateNow() + QStringLiteral(" - ") + text) + "\r\n");
}

void AddHexLog(const QByteArray& data, const QString& fileName, int mode) {
    QByteArray out;
    if (mode == 3) out += ToAnsi(GeneralDateNow()) + "\r\n";
    out += HexDump(data, mode);
    out += "\r\n";
    AppendToFile(InProgramFolder(fileName), out);
}

namespace {
constexpr char kHex[] = "0123456789ABCDEF";

void AppendOffset(QByteArray& out, qsizetype offset) {
    QByteArray digits = QByteArray::number(static_cast<qlonglong>(offset), 16).toUpper();
    if (digits.size() < 5) digits.prepend(QByteArray(5 - digits.size(), '0'));
    out += digits;
}
}  // namespace

QByteArray HexDump(const QByteArray& data, int mode) {
    QByteArray out;
    if (mode == 3) {
        out.reserve((data.size() / 16 + 1) * 80);
        QByteArray hex, chars;
        hex.reserve(50);
        chars.reserve(16);
        int column = 1;
        qsizetype lineStart = 0;
        for (qsizetype i = 0; i < data.size(); ++i) {
            const auto b = static_cast<unsigned char>(data[i]);
            hex += kHex[b >> 4];
            hex += kHex[b & 15];
            hex += ' ';
            chars += b >= 33 ? static_cast<char>(b) : '.';
            ++column;
            if (column == 9) hex += "- ";
            if (column == 17) {
                AppendOffset(out, lineStart);
                out += " | " + hex + " | " + chars + "\r\n";
                column = 1;
                hex.clear();
                chars.clear();
                lineStart = i + 1;
            }
        }
        if (!hex.isEmpty()) {
            hex = hex.leftJustified(50, ' ');
            chars = chars.leftJustified(16, ' ');
            AppendOffset(out, lineStart);
            out += " | " + hex + " | " + chars;
        }
        return out;
    }
    out.reserve(data.size() * 3 + (data.size() / 31 + 1) * 2);
    int column = 1;
    for (const char c : data) {
        const auto b = static_cast<unsigned char>(c);
        out += kHex[b >> 4];
        out += kHex[b & 15];
        out += ' ';
        if (++column == 32) {
            column = 1;
            out += "\r\n";
        }
    }
    return out;
}

QString ZeroPad(const QString& text, int width) {
    return text.size() >= width ? text : QString(width - text.size(), QLatin1Char('0')) + text;
}

QString BlankPad(const QString& text, int width) {
    return text.size() >= width ? text : QString(width - text.size(), QLatin1Char(' ')) + text;
}
