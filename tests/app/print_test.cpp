// The printed file list: into a PDF, read back with poppler's tools.
#include "print/filelistprint.h"
#include "windowfixture.h"

#include <QAction>
#include <QBuffer>
#include <QFontMetricsF>
#include <QImage>
#include <QPdfWriter>
#include <QPrinter>
#include <QProcess>
#include <QRegularExpression>

namespace {

QString Tool(const QString& program, const QStringList& args) {
    QProcess p;
    p.start(program, args);
    EXPECT_TRUE(p.waitForFinished(60000)) << program.toStdString();
    EXPECT_EQ(p.exitCode(), 0) << program.toStdString() << ": " << p.readAllStandardError().toStdString();
    return QString::fromUtf8(p.readAllStandardOutput());
}

// pdftotext ends every page, an empty one too, with a form feed.
int Pages(const QString& pdf) { return Tool("pdftotext", {pdf, "-"}).count(QLatin1Char('\f')); }

QString PageText(const QString& pdf, int page) {
    const QString n = QString::number(page);
    return Tool("pdftotext", {"-f", n, "-l", n, "-layout", pdf, "-"});
}

// Where rows go by the rule, worked out from the fonts on an A4 page at the
// PDF's resolution: rows start 2 header lines below the top margin, and a
// row must end one row and the 3 footer lines above the bottom margin.
struct Rows {
    double left, U, H, L;
    int perPage;
};
Rows RowsOnA4(int top) {
    QBuffer none;
    QPdfWriter w(&none);
    PreparePdf(w, "");
    const double twips = 1440.0 / w.resolution(), mm = 56.7;
    const double L = QFontMetricsF(ListFont(), &w).lineSpacing();
    const double H = std::round(top * mm) + 2 * QFontMetricsF(HeaderFont(), &w).lineSpacing();
    const double bottom = w.height() * twips - std::round(20 * mm) - 3 * QFontMetricsF(FooterFont(), &w).lineSpacing();
    const double left = std::round(20 * mm);
    return {left, w.width() * twips - 2 * left, H, L, int(std::floor((bottom - L - H) / L))};
}

// A folder of programs O0001.NC ... with a program comment each.
struct Folder {
    TestHome home;
    QString path = home.file("lista");
    QString pdf = home.file("lista.pdf");

    void programs(int from, int to) const {
        for (int i = from; i <= to; ++i)
            home.write(QString("lista/O%1.NC").arg(i, 4, 10, QChar('0')),
                       QString("%O%1(DETALJ %1)\r\nG0 X0\r\n%").arg(i).toLatin1());
    }
    void print(int top = 20) const {
        QDir().mkpath(path);
        QPdfWriter writer(pdf);
        PreparePdf(writer, path);
        PrintFileList(writer, path, 20, top, 20, 20);
    }
};

// Removes a file as the printing starts, after the folder was listed.
struct VanishingPdf : QPdfWriter {
    using QPdfWriter::QPdfWriter;
    QString victim;
    QPaintEngine* paintEngine() const override {
        QFile::remove(victim);
        return QPdfWriter::paintEngine();
    }
};

}  // namespace

TEST(PrintList, LongCommentEndsBeforeTheSizeColumnAndAVanishedFileIsLeftOut) {
    Folder f;
    QString comment;
    for (int i = 0; comment.size() < 300; ++i) comment += QString("ord%1 ").arg(i, 3, 10, QChar('0'));
    comment.truncate(300);
    const QString changed = QFileInfo(f.home.write("lista/O1.NC", "%O1(" + comment.toLatin1() + ")\r\nG0\r\n%"))
                                .lastModified().toString("yyyy-MM-dd HH:mm:ss");
    {
        VanishingPdf writer(f.pdf);
        writer.victim = f.home.write("lista/O2.NC", "%O2(BORTA)\r\n%");
        PreparePdf(writer, f.path);
        PrintFileList(writer, f.path, 20, 20, 20, 20);
    }
    const QString text = PageText(f.pdf, 1);
    EXPECT_TRUE(text.contains("O1.NC  ") && text.contains("ord000 ord001")) << text.toStdString();
    EXPECT_TRUE(text.contains(changed + "\n")) << text.toStdString();
    EXPECT_FALSE(text.contains(comment.right(12))) << text.toStdString();
    EXPECT_FALSE(text.contains("O2.NC") || text.contains("1970")) << text.toStdString();
    // Every word of the comment lies left of where the longest size could start.
    const QString boxes = Tool("pdftotext", {"-bbox", f.pdf, "-"});
    const QRegularExpression word("xMax=\"([0-9.]+)\"[^>]*>ord\\d");
    double right = 0;
    int words = 0;
    for (auto it = word.globalMatch(boxes); it.hasNext(); ++words) right = std::max(right, it.next().captured(1).toDouble());
    EXPECT_GE(words, 3);
    const Rows g = RowsOnA4(20);
    EXPECT_LE(right * 20, g.left + 0.60 * g.U + 1);  // points to twips
}

TEST(PrintList, EmptyThenExactlyFullPagesAndBandsRunAcrossPages) {
    Folder f;
    // An odd number of rows a page, so that shading restarted on each page would show.
    int top = 20;
    while (RowsOnA4(top).perPage % 2 == 0) ++top;
    const Rows g = RowsOnA4(top);
    const int k = g.perPage;
    ASSERT_GT(k, 20);
    // The empty folder still gets its page with header and footer.
    f.print(top);
    EXPECT_EQ(Pages(f.pdf), 1);
    const QString first = PageText(f.pdf, 1);
    for (const QString& part : {f.path, QString("Sida - 1 / 1"), QString("Utskrivet : ")})
        EXPECT_TRUE(first.contains(part)) << first.toStdString();

    f.programs(1, 2 * k);
    f.print(top);
    EXPECT_EQ(Pages(f.pdf), 2);  // no third, empty page
    const QString second = PageText(f.pdf, 2);
    EXPECT_TRUE(second.contains(QString("O%1.NC").arg(k + 1, 4, 10, QChar('0'))));
    EXPECT_TRUE(second.contains(QString("DETALJ %1").arg(2 * k)));
    EXPECT_FALSE(second.contains(QString("O%1.NC").arg(k, 4, 10, QChar('0'))));

    // Row k + 1 opens page 2 with the shade its number gives it.
    const int dpi = 72;
    Tool("pdftoppm", {"-f", "2", "-l", "2", "-r", QString::number(dpi), "-singlefile", f.pdf, f.home.file("p2")});
    const QImage page(f.home.file("p2.ppm"));
    ASSERT_FALSE(page.isNull());
    auto shade = [&](int row) {
        const double x = g.left + 0.20 * g.U, y = g.H + (row + 0.5) * g.L;
        return page.pixelColor(int(x * dpi / 1440), int(y * dpi / 1440));
    };
    EXPECT_EQ(shade(0), QColor(Qt::white));
    EXPECT_EQ(shade(1), QColor(208, 208, 208));

    f.programs(2 * k + 1, 2 * k + 1);
    f.print(top);
    EXPECT_TRUE(PageText(f.pdf, 3).contains("Sida - 3 / 3"));
}

TEST(PrintList, MenuPrintsTheSelectedFolderAfterTheDialog) {
    WindowHome h;
    h.ini(h.machine(1, "Fräs"));
    h.open();
    const QString pdf = h.home.file("ut.pdf");
    int asked = 0;
    bool ok = false;
    Hooks().printDialog = [&](QPrinter& printer) {
        ++asked;
        printer.setOutputFormat(QPrinter::PdfFormat);
        printer.setOutputFileName(pdf);
        return ok;
    };
    QAction* entry = h.w().findChild<QAction*>("mnuArkivPrintLista");
    ASSERT_NE(entry, nullptr);
    entry->trigger();
    EXPECT_EQ(asked, 1);
    EXPECT_FALSE(QFileInfo::exists(pdf));  // cancelled

    ok = true;
    entry->trigger();
    ASSERT_EQ(Pages(pdf), 1);
    const QString text = PageText(pdf, 1);
    EXPECT_TRUE(text.contains(h.send)) << text.toStdString();

    // A write that fails is reported, not left as a cut file.
    Hooks().printDialog = [&](QPrinter& printer) {
        printer.setOutputFileName("/dev/full");
        return true;
    };
    entry->trigger();
    ASSERT_EQ(h.ui.reports(), 1);
    EXPECT_TRUE(h.ui.shown.last().text.contains("Disken är full")) << h.ui.shown.last().text.toStdString();
}
