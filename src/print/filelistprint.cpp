#include "print/filelistprint.h"

#include "common/apperror.h"
#include "common/dates.h"
#include "common/fileerror.h"
#include "common/paths.h"
#include "common/trace.h"
#include "library/programfile.h"
#include "library/ui/localfilelist.h"

#include <QBuffer>
#include <QColor>
#include <QFileInfo>
#include <QSaveFile>
#include <QFontDatabase>
#include <QFontMetricsF>
#include <QGlyphRun>
#include <QRawFont>
#include <QPagedPaintDevice>
#include <QPainter>
#include <QPdfWriter>
#include <QPen>
#include <cmath>

namespace {

constexpr double kTwipsPerPoint = 20;
constexpr int kPrinterError = 482;

// The first family of the list this system has; the layout rules stay the
// same whichever it is, only the glyphs differ.
QString Family(std::initializer_list<const char*> families) {
    const QStringList installed = QFontDatabase::families();
    for (const char* f : families)
        if (installed.contains(QLatin1String(f), Qt::CaseInsensitive)) return QLatin1String(f);
    return QLatin1String(*families.begin());
}

// Sizes in twips: the painter draws in twips, so a point size would be
// scaled twice.
QFont Font(const QString& family, int points, bool bold) {
    QFont f(family);
    f.setStyleHint(QFont::SansSerif);
    f.setPixelSize(int(points * kTwipsPerPoint));
    f.setBold(bold);
    f.setItalic(false);
    f.setUnderline(false);
    f.setStrikeOut(false);
    return f;
}

// Verdana's nearest relatives first (same wide design), then any sans.
const QString& ListFamily() {
    static const QString f = Family({"Verdana", "DejaVu Sans", "Bitstream Vera Sans", "Liberation Sans"});
    return f;
}
// Arial's metric twins first.
const QString& FooterFamily() {
    static const QString f = Family({"Arial", "Liberation Sans", "Arimo", "Helvetica", "DejaVu Sans"});
    return f;
}

// A line of text with its leading, as a printer measures text height.
double TextHeight(const QFontMetricsF& fm) { return fm.lineSpacing(); }

struct Fonts {
    Fonts(QPaintDevice* device)
        : list(ListFont(), device), header(HeaderFont(), device), footer(FooterFont(), device) {}
    QFontMetricsF list, header, footer;
};

// Text drawn with its top at y, as a printer's current position places it.
void TextAt(QPainter& p, const QFontMetricsF& fm, double x, double y, const QString& text) {
    p.drawText(QPointF(x, y + fm.ascent()), text);
}
void TextRightAt(QPainter& p, const QFontMetricsF& fm, double right, double y, const QString& text) {
    TextAt(p, fm, right - fm.horizontalAdvance(text), y, text);
}

// The list's texts as glyph runs straight from the font's character map:
// shaping every cell of a long list costs several times reading its files.
// A text with a character the font lacks goes the ordinary way, so that
// font fallback still finds a glyph for it.
class ListText {
public:
    ListText(const QFont& font, const QFontMetricsF& fm) : raw_(QRawFont::fromFont(font)), fm_(fm) {}

    // Draws text with its top at y, starting at x, or ending there when
    // right is set; a positive cut is the widest the text may be.
    void draw(QPainter& p, double x, double y, const QString& text, bool right = false, double cut = -1) {
        glyphs_ = raw_.glyphIndexesForString(text);
        if (!raw_.isValid() || glyphs_.contains(0u)) {
            const QString t = cut >= 0 ? CutToWidth(text, fm_, cut) : text;
            TextAt(p, fm_, right ? x - fm_.horizontalAdvance(t) : x, y, t);
            return;
        }
        advances_ = raw_.advancesForGlyphIndexes(glyphs_, QRawFont::KernedAdvances);
        positions_.resize(glyphs_.size());
        double w = 0;
        qsizetype n = 0;
        for (; n < glyphs_.size(); ++n) {
            if (cut >= 0 && w + advances_[n].x() > cut) break;
            positions_[n] = QPointF(w, 0);
            w += advances_[n].x();
        }
        glyphs_.resize(n);
        positions_.resize(n);
        run_.setRawFont(raw_);
        run_.setGlyphIndexes(glyphs_);
        run_.setPositions(positions_);
        p.drawGlyphRun(QPointF(right ? x - w : x, y + fm_.ascent()), run_);
    }

private:
    QRawFont raw_;
    const QFontMetricsF& fm_;
    QGlyphRun run_;
    QList<quint32> glyphs_;
    QList<QPointF> advances_, positions_;
};

// A row's date as the list shows it; files copied together share a second,
// so the last text is kept.
class RowDate {
public:
    const QString& text(qint64 modifiedMs) {
        const qint64 secs = modifiedMs >= 0 ? modifiedMs / 1000 : -((999 - modifiedMs) / 1000);
        if (text_.isNull() || secs != secs_) {
            secs_ = secs;
            text_ = FileDateText(modifiedMs);
        }
        return text_;
    }

private:
    qint64 secs_ = 0;
    QString text_;
};

class Printer {
public:
    Printer(QPagedPaintDevice& device, const FileListLayout& g, const QString& folder)
        : device_(device), g_(g), fonts_(&device), text_(ListFont(), fonts_.list), folder_(folder),
          time_(GeneralDateNow()) {}

    bool begin() {
        if (!p_.begin(&device_)) return false;
        p_.scale(device_.logicalDpiX() / 1440.0, device_.logicalDpiY() / 1440.0);
        p_.setPen(Qt::black);
        return true;
    }
    void setTotal(int pages) { total_ = QString::number(pages); }
    // False when the device could not finish the job.
    bool end() { return p_.end(); }
    void newPage() {
        PrintFooter();
        if (!device_.newPage()) Raise(kPrinterError, QStringLiteral("Skrivarfel: ny sida kunde inte påbörjas"));
        ++page_;
        PrintHeader();
    }
    void PrintHeader() {
        listFontSet_ = false;
        p_.setFont(HeaderFont());
        TextRightAt(p_, fonts_.header, g_.scaleWidth - g_.right, g_.top, folder_);
        p_.setPen(QPen(Qt::black, 5 * g_.pixel));
        p_.drawLine(QPointF(g_.left, g_.top + g_.headerLine), QPointF(g_.scaleWidth - g_.right, g_.top + g_.headerLine));
    }
    void PrintFooter() {
        listFontSet_ = false;
        p_.setFont(FooterFont());
        const double y = g_.scaleHeight - g_.F - g_.bottom;
        TextRightAt(p_, fonts_.footer, g_.scaleWidth - g_.right, y,
                    QStringLiteral("Sida - %1 / %2 ").arg(page_).arg(total_));
        const QString time = QStringLiteral("Utskrivet : ") + time_;
        TextAt(p_, fonts_.footer, (g_.scaleWidth - fonts_.footer.horizontalAdvance(time)) / 2, y + g_.footerLine, time);
        p_.setPen(QPen(Qt::black, g_.pixel));
        p_.drawLine(QPointF(g_.left, y), QPointF(g_.scaleWidth - g_.right, y));
    }
    void row(qsizetype number, double y, const LocalFile& f, const QString& comment) {
        if (!listFontSet_) p_.setFont(listFont_);
        listFontSet_ = true;
        const bool odd = number % 2 == 1;
        p_.fillRect(QRectF(g_.left, y, g_.U, g_.L), odd ? QColor(208, 208, 208) : QColor(Qt::white));
        const double x = g_.left, u = g_.U;
        text_.draw(p_, x + 0.01 * u, y, f.name);
        text_.draw(p_, x + 0.25 * u, y, comment, false, std::round(0.35 * u));
        text_.draw(p_, x + 0.70 * u, y, QString::number(f.size), true);
        text_.draw(p_, x + 0.99 * u, y, dates_.text(f.modified), true);
    }

private:
    QPagedPaintDevice& device_;
    const FileListLayout& g_;
    Fonts fonts_;
    ListText text_;
    RowDate dates_;
    QFont listFont_ = ListFont();
    bool listFontSet_ = false;
    QPainter p_;
    QString folder_, total_, time_;
    int page_ = 1;
};

}  // namespace

QFont ListFont() { return Font(ListFamily(), 10, false); }
QFont HeaderFont() { return Font(ListFamily(), 12, true); }
QFont FooterFont() { return Font(FooterFamily(), 10, false); }

int FileListLayout::pages(qsizetype files) const {
    return files == 0 ? 1 : int((files + rowsPerPage - 1) / rowsPerPage);
}

FileListLayout MeasureFileList(QPagedPaintDevice& device, int left, int top, int right, int bottom) {
    FileListLayout g;
    g.left = std::round(left * kTwipsPerMm);
    g.top = std::round(top * kTwipsPerMm);
    g.right = std::round(right * kTwipsPerMm);
    g.bottom = std::round(bottom * kTwipsPerMm);
    g.pixel = 1440.0 / device.logicalDpiY();
    g.scaleWidth = device.width() * 1440.0 / device.logicalDpiX();
    g.scaleHeight = device.height() * 1440.0 / device.logicalDpiY();
    const Fonts fonts(&device);
    g.L = TextHeight(fonts.list);
    g.headerLine = TextHeight(fonts.header);
    g.footerLine = TextHeight(fonts.footer);
    g.U = g.scaleWidth - g.left - g.right;
    g.B = g.scaleHeight - g.bottom;
    g.H = g.top + 2 * g.headerLine;
    g.F = 3 * g.footerLine;
    // Counted as rows are placed, so that the count and the printing agree
    // to the last rounding.
    const double limit = g.B - g.L - g.F;
    int rows = 0;
    for (double y = g.H; !(y + g.L > limit); y += g.L) ++rows;
    g.rowsPerPage = std::max(rows, 1);  // never a page without a row
    return g;
}

QString CutToWidth(const QString& text, const QFontMetricsF& fm, double width) {
    if (fm.horizontalAdvance(text) <= width) return text;
    // The longest prefix that fits, found by halving instead of one character
    // at a time: a long comment would otherwise cost hundreds of measurements.
    qsizetype fits = 0, over = text.size();
    while (over - fits > 1) {
        const qsizetype mid = (fits + over) / 2;
        if (fm.horizontalAdvance(text.left(mid)) <= width) fits = mid;
        else over = mid;
    }
    if (fits > 0 && text[fits - 1].isHighSurrogate()) --fits;
    return text.left(fits);
}

std::vector<LocalFile> ListFiles(const QString& folder, const QString& pattern) {
    return ScanProgramFolder(folder, pattern, false);
}

void PrintFileList(QPagedPaintDevice& device, const QString& folder, int left, int top, int right, int bottom) {
    TraceEnter(QStringLiteral("PrintFileList()"));
    const FileListLayout g = MeasureFileList(device, left, top, right, bottom);
    std::vector<LocalFile> files = ListFiles(folder, QStringLiteral("*.*"));
    const QString dir = ResolveCase(folder);
    Printer out(device, g, folder);
    if (!out.begin()) Raise(kPrinterError, QStringLiteral("Skrivarfel"));
    // Read before the pages are counted: a file gone since the listing is
    // left out, not printed as 0 bytes from 1970.
    std::erase_if(files, [&](LocalFile& f) { return !ReadLocalStat(f, dir); });
    out.setTotal(g.pages(qsizetype(files.size())));
    out.PrintHeader();
    for (size_t i = 0; i < files.size(); ++i) {
        const LocalFile& f = files[i];
        const QString comment = ProgramComment(JoinPath(dir, f.diskName));
        if (i > 0 && i % size_t(g.rowsPerPage) == 0) out.newPage();
        out.row(qsizetype(i) + 1, g.H + double(i % size_t(g.rowsPerPage)) * g.L, f, comment);
    }
    out.PrintFooter();
    if (!out.end()) Raise(kPrinterError, QStringLiteral("Skrivarfel"));
}

void PreparePdf(QPdfWriter& pdf, const QString& title) {
    pdf.setResolution(600);
    pdf.setPageLayout(QPageLayout(QPageSize(QPageSize::A4), QPageLayout::Portrait, QMarginsF()));
    pdf.setTitle(title);
    pdf.setCreator(QStringLiteral("Fenmo32"));
}

void PrintFileListToPdf(const QString& folder, const QString& path, const QPageSize& pageSize) {
    // Made in memory first: the PDF writer neither reports a failed write
    // nor leaves a half file alone. A list is small.
    QBuffer pdfBytes;
    pdfBytes.open(QIODevice::WriteOnly);
    {
        QPdfWriter pdf(&pdfBytes);
        PreparePdf(pdf, folder);
        if (pageSize.isValid()) pdf.setPageSize(pageSize);
        PrintFileList(pdf, folder, 20, 20, 20, 20);
    }
    const QByteArray& bytes = pdfBytes.data();
    const QFileInfo target(path);
    if (target.exists() && !target.isFile()) {
        // A device or a pipe: nothing a rename could replace.
        QFile out(path);
        if (!out.open(QIODevice::WriteOnly) || out.write(bytes) != bytes.size() || !out.flush())
            throw FileError(out, path);
        return;
    }
    QSaveFile out(path);
    if (!out.open(QIODevice::WriteOnly) || out.write(bytes) != bytes.size() || !out.commit())
        throw FileError(out, path);
}
