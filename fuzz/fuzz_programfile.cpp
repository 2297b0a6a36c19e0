// The program text reader and the comment helpers on any file. Input: the
// first byte picks the reader's piece size, the rest is the file. The whole
// text, the text read in pieces and the comments read together or one by one
// agree; a written program reads back the same after a second write.
#include "common/notify.h"
#include "library/programfile.h"
#include <QFile>
#include <QTemporaryDir>
#include <cstdlib>

namespace {
QTemporaryDir* folder;

void Check(bool ok) {
    if (!ok) abort();
}

QByteArray InPieces(const QString& path, qsizetype piece) {
    ProgramTextReader reader;
    if (!reader.open(path)) return {};
    QByteArray text;
    QByteArray buffer(piece, '\0');
    while (const qsizetype n = reader.read(buffer.data(), piece)) text.append(buffer.constData(), n);
    return text;
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    folder = new QTemporaryDir;
    std::atexit([] { delete folder; });
    SetMessageSink([](const QString&, const QString&, MsgIcon) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const qsizetype piece = 1 + data[0] % 32;
    const QString path = folder->filePath(QStringLiteral("O1.NC"));
    {
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) abort();
        f.write(reinterpret_cast<const char*>(data + 1), qsizetype(size - 1));
    }

    const QByteArray text = ReadProgramFile(path);
    Check(InPieces(path, piece) == text);
    ProgramTextReader whole;
    Check(whole.open(path) && whole.readAll() == text);
    const Comments both = ReadComments(path);
    Check(both.file == FileComment(path) && both.program == ProgramComment(path));

    const QString copy = folder->filePath(QStringLiteral("O2.NC"));
    Check(WriteProgramFile(text, copy, QStringLiteral("FUZZ")).ok);
    Check(FileComment(copy) == QStringLiteral("FUZZ"));
    const QByteArray once = ReadProgramFile(copy);
    Check(WriteProgramFile(once, copy, QString()).ok);
    Check(ReadProgramFile(copy) == once && FileComment(copy) == QStringLiteral("FUZZ"));
    return 0;
}
