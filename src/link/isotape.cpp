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
            if (inProgram_ && leader_) {
                inProgram_ = leader_ = false;
                if (on.cut) on.cut();
            }
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
            if (c != ' ' && c != '\r' && c != '\n' && c != '\t') leader_ = false;
            continue;
        }
        flush(i);
        if (c == DC1 || c == DC3) {
            if (on.flow) on.flow(c == DC1);
        } else if (c == 0) {
            leader_ = inProgram_;
        } else if (c == DC2) {
            // "Punch on" again: the control started over.
            if (inProgram_) {
                inProgram_ = leader_ = false;
                if (on.cut) on.cut();
            }
        } else if (c != DC4) {
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
struct Word {
    char letter;
    QByteArray code;  // the number without leading zeros: "G01" and "G1" are "1"
    QByteArray text;  // as written, for the set-up sent back
};

bool IsLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// The words of a block, comments dropped; false for macro text (variables,
// expressions, IF/GOTO/WHILE), whose effect cannot be known without running it.
bool Words(QByteArrayView block, QList<Word>* out) {
    bool first = true;
    for (qsizetype i = 0; i < block.size();) {
        const char c = block[i];
        if (c == '(') {
            const qsizetype close = block.indexOf(')', i);
            i = close < 0 ? block.size() : close + 1;
            continue;
        }
        if (c == ';') break;
        if (c == ' ' || c == '\t' || c == '\r' || c == '%' || (c == '/' && first)) {
            ++i;
            continue;
        }
        first = false;
        if (c == ':' || IsLetter(c)) {
            const char letter = c == ':' ? 'O' : char(c & ~0x20);
            qsizetype j = i + 1;
            if (j < block.size() && IsLetter(block[j])) return false;
            while (j < block.size() && (block[j] == ' ' || block[j] == '\t')) ++j;
            const qsizetype numberAt = j;
            if (j < block.size() && (block[j] == '-' || block[j] == '+')) ++j;
            while (j < block.size() && ((block[j] >= '0' && block[j] <= '9') || block[j] == '.')) ++j;
            if (j == numberAt) return false;
            QByteArray code = block.sliced(numberAt, j - numberAt).toByteArray();
            while (code.size() > 1 && code[0] == '0' && code[1] != '.') code.remove(0, 1);
            out->append({letter, code, letter + block.sliced(numberAt, j - numberAt).toByteArray()});
            i = j;
            continue;
        }
        return false;  // "#", "[", "=" and the like
    }
    return true;
}

QByteArray Joined(std::initializer_list<QByteArray> parts) {
    QByteArray out;
    for (const QByteArray& p : parts)
        if (!p.isEmpty()) out += (out.isEmpty() ? "" : " ") + p;
    return out;
}
}  // namespace

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
    if (r.kind == Request::Kind::None) return r;
    // A request holds an O-number and its comment, nothing else: a program
    // that mentions the keyword somewhere is still a program.
    QList<Word> words;
    qsizetype lines = 0;
    for (qsizetype from = 0; from < body.size();) {
        qsizetype lf = body.indexOf('\n', from);
        if (lf < 0) lf = body.size();
        const QByteArrayView line = body.sliced(from, lf - from);
        if (!Words(line, &words)) return {};
        lines += !line.trimmed().isEmpty();
        from = lf + 1;
    }
    if (lines > 2 || words.size() > 1 || (words.size() == 1 && words.first().letter != 'O')) return {};
    if (r.kind == Request::Kind::Program) r.name = ProgramNumber(body);
    return r;
}

QList<QByteArray> SplitPrograms(const QByteArray& text) {
    QList<QByteArray> out;
    qsizetype start = 0;
    bool numbered = false;
    for (qsizetype at = 0; at < text.size();) {
        qsizetype lf = text.indexOf('\n', at);
        lf = lf < 0 ? text.size() : lf + 1;
        const QByteArrayView line = QByteArrayView(text).sliced(at, lf - at).trimmed();
        const bool opens = !line.isEmpty() && (line[0] == 'O' || line[0] == 'o' || line[0] == ':') &&
                           !ProgramNumber(line).isEmpty();
        if (opens && numbered) {
            out.append(text.sliced(start, at - start));
            start = at;
        }
        numbered = numbered || opens;
        at = lf;
    }
    out.append(text.sliced(start));
    return out;
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


RestartPlanner::RestartPlanner(const QString& from, bool atToolChange) : atToolChange_(atToolChange) {
    QString t = from.trimmed();
    bool block = false;
    if (t.startsWith(QLatin1Char('N'), Qt::CaseInsensitive)) t.remove(0, 1), block = true;
    else if (t.startsWith(QLatin1Char('L'), Qt::CaseInsensitive)) t.remove(0, 1);
    lineOnly_ = !block;
    bool ok = false;
    const qint64 n = t.toLongLong(&ok);
    if (ok && n >= (block ? 0 : 1) && !t.startsWith(QLatin1Char('+'))) number_ = n;
    sections_.append(Section{});
}

void RestartPlanner::line(QByteArrayView block) {
    const qint64 index = index_++;
    if (!valid()) return;
    QList<Word> words;
    const bool plain = Words(block, &words);
    if (plain && !words.isEmpty() && words.first().letter == 'O') {
        sections_.append(Section{block.trimmed().toByteArray(), false, false, index});
        state_ = State{};
        toolChange_ = {};
        afterEnd_ = false;
    }
    auto has = [&](char letter, const char* code = nullptr) -> const Word* {
        for (const Word& w : words)
            if (w.letter == letter && (!code || w.code == code)) return &w;
        return nullptr;
    };
    const bool m6 = has('M', "6");
    const bool toolChange = m6 || (has('T') && !state_.usesM6);
    if (toolChange) toolChange_ = {state_, index, 0, afterEnd_};
    if (lineOnly_ ? index == number_ - 1 : BlockNumber(block) == number_) {
        hits_.append({state_, index, sections_.size() - 1, afterEnd_});
        hitToolChanges_.append(toolChange_);
    }
    State& s = state_;
    if (!plain && s.unknown.isEmpty())
        s.unknown = QStringLiteral("rad %1 är makrotext (%2)").arg(index + 1).arg(QString::fromLatin1(block.trimmed().first(qMin<qsizetype>(40, block.trimmed().size()))));
    const bool clampBlock = has('G', "50") || has('G', "92");
    for (const Word& w : words) {
        const QByteArray& c = w.code;
        switch (w.letter) {
        case 'G':
            if (c == "0" || c == "1" || c == "2" || c == "3") s.motion = w.text, s.cycle.clear();
            else if (c == "17" || c == "18" || c == "19") s.plane = w.text;
            else if (c == "20" || c == "21") s.units = w.text;
            else if (c == "90" || c == "91") s.distance = w.text;
            else if (c == "93" || c == "94" || c == "95") s.feedMode = w.text;
            else if (c == "98" || c == "99") s.retract = w.text;
            else if ((c.toDouble() >= 54 && c.toDouble() <= 59 && c.size() == 2) || c == "54.1")
                s.workOffset = Joined({w.text, c == "54.1" && has('P') ? has('P')->text : QByteArray()});
            else if (c == "40") s.radius = w.text;
            else if (c == "41" || c == "42") s.radius = Joined({w.text, has('D') ? has('D')->text : QByteArray()});
            else if (c == "43" || c == "44") s.length = Joined({w.text, has('H') ? has('H')->text : QByteArray()});
            else if (c == "49") s.length = w.text;
            else if (c == "96" || c == "97") s.css = w.text;
            else if (c == "80") s.cycle.clear();
            else if (c == "73" || (c.size() == 2 && c >= "81" && c <= "89")) s.cycle = w.text;
            else if ((c == "65" || c.startsWith("66")) && s.unknown.isEmpty())
                s.unknown = QStringLiteral("rad %1 anropar ett makro (%2)").arg(index + 1).arg(QString::fromLatin1(w.text));
            break;
        case 'M':
            if (c == "3" || c == "4" || c == "5") s.spindle = w.text;
            else if (c == "7" || c == "8" || c == "9") s.coolant = w.text;
            else if (c == "6") s.usesM6 = true;
            else if (c == "99") sections_.last().m99 = true;
            else if (c == "30" || c == "2") sections_.last().end = true, afterEnd_ = true;
            else if ((c == "98" || c == "198") && s.unknown.isEmpty())
                s.unknown = QStringLiteral("rad %1 anropar ett underprogram (%2)").arg(index + 1).arg(QString::fromLatin1(w.text));
            break;
        case 'T': s.toolCall = w.text; break;
        case 'S':
            if (clampBlock) s.clamp = Joined({has('G', "50") ? has('G', "50")->text : has('G', "92")->text, w.text});
            else s.speed = w.text;
            break;
        case 'F': s.feed = w.text; break;
        default: break;
        }
    }
    if (toolChange) s.tool = s.toolCall;
}

Restart RestartPlanner::result() const {
    Restart r;
    if (!valid()) {
        r.error = QStringLiteral("Ogiltig startpunkt: ange ett blocknummer (N120) eller ett radnummer (L120 eller 120).");
        return r;
    }
    qsizetype programs = 0;
    for (const Section& s : sections_) programs += !s.head.isEmpty();
    auto sub = [&](qsizetype i) { return sections_[i].m99 && !sections_[i].end && programs > 1; };
    const QString where = lineOnly_ ? QStringLiteral("Rad %1").arg(number_) : QStringLiteral("Blocket N%1").arg(number_);
    const QString inText = lineOnly_ ? QStringLiteral("rad %1").arg(number_) : QStringLiteral("blocket N%1").arg(number_);
    QList<qsizetype> main;
    for (qsizetype i = 0; i < hits_.size(); ++i)
        if (!sub(hits_[i].section)) main.append(i);
    if (main.isEmpty() && !hits_.isEmpty()) {
        r.error = QStringLiteral("%1 ligger i underprogrammet %2, som slutar med M99. En omstart går bara i huvudprogrammet.")
                      .arg(where, QString::fromLatin1(sections_[hits_.first().section].head));
        return r;
    }
    if (main.isEmpty()) {
        r.error = lineOnly_ ? QStringLiteral("Rad %1 finns inte: programmet har %2 rader.").arg(number_).arg(index_)
                            : QStringLiteral("Blocket N%1 finns inte i programmet.").arg(number_);
        return r;
    }
    if (main.size() > 1) {
        r.error = QStringLiteral("Blocket N%1 finns %2 gånger i huvudprogrammet. Ange radnumret i stället (L och radnumret).")
                      .arg(number_)
                      .arg(main.size());
        return r;
    }
    const Snapshot& hit = hits_[main.first()];
    if (hit.afterEnd) {
        r.error = QStringLiteral("%1 ligger efter programslutet (M30 eller M02).").arg(where);
        return r;
    }
    Snapshot from = hit;
    if (atToolChange_) {
        from = hitToolChanges_[main.first()];
        if (from.line < 0) {
            r.error = QStringLiteral("Det finns inget verktygsbyte före %1.").arg(inText);
            return r;
        }
    }
    // At a tool change the program sets up its tool again itself: what the
    // set-up cannot know is left to it, at the operator's word.
    QString unknown = from.state.unknown;
    if (unknown.isEmpty() && !from.state.cycle.isEmpty())
        unknown = QStringLiteral("en borrcykel (%1) är aktiv där").arg(QString::fromLatin1(from.state.cycle));
    if (!unknown.isEmpty() && !atToolChange_) {
        r.error = QStringLiteral("Läget före %1 går inte att veta: %2. Starta om vid närmaste verktygsbyte före "
                                 "blocket i stället.")
                      .arg(inText, unknown);
        r.stateUnknown = true;
        return r;
    }
    r.resumeLine = from.line;
    const Section& section = sections_[hit.section];
    if (!section.head.isEmpty() && section.headLine < from.line) r.preamble.append(section.head);
    r.preamble += SetupBlocks(from.state, atToolChange_);
    return r;
}

QList<QByteArray> SetupBlocks(const RestartPlanner::State& s, bool skipTool) {
    // A lathe (tools changed by T alone) may read G90 and G94 as cycles.
    const bool lathe = !s.tool.isEmpty() && !s.usesM6;
    QList<QByteArray> out;
    auto add = [&](const QByteArray& block) {
        if (!block.isEmpty()) out.append(block);
    };
    add(Joined({s.units, s.plane, lathe ? QByteArray() : s.distance, lathe ? QByteArray() : s.feedMode, s.retract}));
    add(s.workOffset);
    if (!skipTool && !s.tool.isEmpty()) add(s.usesM6 ? s.tool + " M6" : s.tool);
    if (s.usesM6 && s.toolCall != s.tool) add(s.toolCall);
    add(s.clamp);
    add(Joined({s.css, s.speed, s.spindle.endsWith('5') ? QByteArray() : s.spindle}));
    add(Joined({s.length, s.radius}));
    add(s.coolant);
    const bool line = s.motion.size() >= 2 && (s.motion.endsWith('0') || s.motion.endsWith('1'));
    add(Joined({line ? s.motion : QByteArray(), s.feed}));
    return out;
}

Restart FindRestart(QByteArrayView text, const QString& from, bool atToolChange) {
    RestartPlanner f(from, atToolChange);
    LineSplitter lines;
    const auto line = [&](QByteArrayView block, qint64) { f.line(block); };
    lines.feed(text, line);
    lines.finish(line);
    return f.result();
}

}  // namespace iso
