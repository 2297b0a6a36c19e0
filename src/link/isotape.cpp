#include "link/isotape.h"

#include "common/ansi.h"

namespace iso {

Flow FlowFromText(const QString& text) {
    const QString t = text.trimmed().toUpper();
    if (t == QLatin1String("CTS")) return Flow::Cts;
    if (t == QLatin1String("INGEN")) return Flow::None;
    return Flow::Xon;
}

QString FlowText(Flow flow) {
    switch (flow) {
    case Flow::Cts: return QStringLiteral("CTS");
    case Flow::None: return QStringLiteral("INGEN");
    default: return QStringLiteral("XON");
    }
}

QByteArray BlockEnd(int eob) { return eob == 0 ? QByteArrayLiteral("\r\n") : QByteArrayLiteral("\n"); }

bool IsText(char c) {
    const auto u = static_cast<unsigned char>(c);
    return (u >= 0x20 && u < 0x7f) || c == '\r' || c == '\n' || c == '\t';
}

void TapeReader::feed(QByteArrayView data, const Events& on) {
    qsizetype run = 0;  // start of the text not yet handed on
    QByteArray stray;
    auto flush = [&](qsizetype to) {
        if (inProgram_ && to > run && on.text) on.text(data.sliced(run, to - run));
        run = to + 1;
    };
    for (qsizetype i = 0; i < data.size(); ++i) {
        const char c = data[i];
        if (c == '%') {
            flush(i);
            if (inProgram_) {
                inProgram_ = false;
                if (on.end) on.end();
            } else {
                inProgram_ = true;
                damaged_ = 0;
                if (on.start) on.start();
            }
            continue;
        }
        if (IsText(c)) {
            if (!inProgram_ && c != ' ' && c != '\r' && c != '\n' && c != '\t') stray += c;
            continue;
        }
        flush(i);
        if (c == DC1 || c == DC3) {
            if (on.flow) on.flow(c == DC1);
        } else if (c != 0 && c != DC2 && c != DC4) {
            if (inProgram_) ++damaged_;
            else stray += c;
        }
    }
    flush(data.size());
    if (!stray.isEmpty() && on.stray) on.stray(stray);
}

QString ProgramNumber(QByteArrayView head) {
    qsizetype i = 0;
    while (i < head.size()) {
        while (i < head.size() && (head[i] == '\r' || head[i] == '\n' || head[i] == ' ' || head[i] == '\t')) ++i;
        if (i >= head.size()) return {};
        if (head[i] == '(') {  // a comment-only block before the number
            const qsizetype close = head.indexOf(')', i);
            const qsizetype lf = head.indexOf('\n', i);
            if (close < 0 || (lf >= 0 && lf < close)) return {};
            i = close + 1;
            continue;
        }
        if (head[i] != 'O' && head[i] != 'o' && head[i] != ':') return {};
        qsizetype j = i + 1;
        while (j < head.size() && j - i <= 8 && head[j] >= '0' && head[j] <= '9') ++j;
        if (j == i + 1 || j - i > 8) return {};
        return QStringLiteral("O") + QString::fromLatin1(head.sliced(i + 1, j - i - 1));
    }
    return {};
}

namespace {
// Upper case, blanks dropped, "Ä" and its 7-bit Swedish stand-ins as "A",
// "Ö" as "O": a keyword survives a line that carries only 7 bits.
QString Fold(const QString& text) {
    QString out;
    for (const QChar ch : text.toUpper()) {
        const char16_t c = ch.unicode();
        if (c == u' ' || c == u'\t') continue;
        if (c == u'Ä' || c == u'Å' || c == u'[' || c == u'{' || c == u']' || c == u'}') out += u'A';
        else if (c == u'Ö' || c == u'\\' || c == u'|') out += u'O';
        else out += ch;
    }
    return out;
}
}  // namespace

Request ParseRequest(QByteArrayView body, const QString& keyword, const QString& listKeyword) {
    Request r;
    if (body.size() > kRequestMax) return r;
    const QString key = Fold(keyword), list = Fold(listKeyword);
    for (qsizetype open = body.indexOf('('); open >= 0; open = body.indexOf('(', open + 1)) {
        const qsizetype close = body.indexOf(')', open);
        if (close < 0) break;
        const QString comment = Fold(FromAnsi(body.sliced(open + 1, close - open - 1).toByteArray()));
        if (!list.isEmpty() && comment == list) r.kind = Request::Kind::List;
        else if (!key.isEmpty() && comment == key) r.kind = Request::Kind::Program;
    }
    if (r.kind == Request::Kind::Program) r.name = ProgramNumber(body);
    return r;
}

QByteArray CommentText(const QString& text) {
    QByteArray out = Fold(text).toLatin1();
    for (char& c : out)
        if (!IsText(c) || c == '(' || c == ')' || c == '%' || c == '\r' || c == '\n') c = '_';
    return out;
}

QByteArray MissingAnswer(const QString& name, int eob) {
    const QByteArray end = BlockEnd(eob);
    return "%" + end + "(PROGRAMMET " + CommentText(name) + " SAKNAS)" + end + "%" + end;
}

QByteArray ListAnswer(const QStringList& names, int eob) {
    const QByteArray end = BlockEnd(eob);
    QByteArray out = "%" + end + "(LISTA " + QByteArray::number(names.size()) + " PROGRAM)" + end;
    for (const QString& n : names) out += "(" + CommentText(n) + ")" + end;
    return out + "%" + end;
}

QByteArray ToBlocks(QByteArrayView text, const QByteArray& blockEnd) {
    QByteArray out;
    out.reserve(text.size() + text.size() / 16);
    qsizetype from = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c != '\r' && c != '\n' && c != '%') continue;
        out.append(text.sliced(from, i - from));
        if (c == '\n') out += blockEnd;
        from = i + 1;
    }
    out.append(text.sliced(from));
    return out;
}

qint64 BlockNumber(QByteArrayView block) {
    qsizetype i = 0;
    while (i < block.size() && (block[i] == ' ' || block[i] == '\t')) ++i;
    if (i < block.size() && block[i] == '/') ++i;
    if (i >= block.size() || (block[i] != 'N' && block[i] != 'n')) return -1;
    qsizetype j = ++i;
    while (j < block.size() && j - i < 9 && block[j] >= '0' && block[j] <= '9') ++j;
    return j == i ? -1 : block.sliced(i, j - i).toLongLong();
}

RestartFinder::RestartFinder(const QString& from) {
    QString t = from.trimmed();
    if (t.startsWith(QLatin1Char('N'), Qt::CaseInsensitive)) t.remove(0, 1);
    else if (t.startsWith(QLatin1Char('L'), Qt::CaseInsensitive)) {
        t.remove(0, 1);
        lineOnly_ = true;
    }
    bool ok = false;
    const qint64 n = t.toLongLong(&ok);
    if (ok && n >= 0) number_ = n;
}

bool RestartFinder::line(QByteArrayView block) {
    const qint64 n = BlockNumber(block);
    if (n >= 0 && firstN_ < 0) firstN_ = index_;
    if (!lineOnly_ && n == number_ && byN_ < 0) byN_ = index_;
    ++index_;
    return byN_ >= 0;
}

Restart RestartFinder::result() const {
    Restart r;
    if (!valid()) return r;
    r.setupLines = firstN_ < 0 ? 0 : firstN_;
    if (byN_ >= 0) r.resumeLine = byN_;
    else if (number_ >= 1 && number_ <= index_) r.resumeLine = number_ - 1;
    // Lines before the resume point are the set-up only up to it.
    if (r.resumeLine >= 0 && r.setupLines > r.resumeLine) r.setupLines = r.resumeLine;
    return r;
}

Restart FindRestart(QByteArrayView text, const QString& from) {
    RestartFinder f(from);
    if (!f.valid()) return {};
    qsizetype start = 0;
    while (start < text.size()) {
        qsizetype lf = text.indexOf('\n', start);
        if (lf < 0) lf = text.size();
        QByteArrayView block = text.sliced(start, lf - start);
        if (block.endsWith('\r')) block.chop(1);
        if (f.line(block)) break;
        start = lf + 1;
    }
    return f.result();
}

}  // namespace iso
