#pragma once
// The printed file list of a folder: one row per file (name, program
// comment, size, date) on pages with the folder as header and page number
// and print time as footer. Geometry is worked out in twips.
#include <QFont>
#include <QString>
#include "library/localfilescan.h"
#include <vector>

class QPagedPaintDevice;
class QPdfWriter;

constexpr double kTwipsPerMm = 56.7;

// Where everything goes on a page of a given device, in twips from the
// printable area's top left corner.
struct FileListLayout {
    double left = 0, top = 0, right = 0, bottom = 0;  // margins
    double scaleWidth = 0, scaleHeight = 0;           // printable area
    double L = 0;  // row height
    double U = 0;  // usable width
    double B = 0;  // page bottom
    double H = 0;  // where the rows of every page start
    double F = 0;  // footer height
    double headerLine = 0, footerLine = 0;  // text heights in those fonts
    double pixel = 1;  // one device pixel
    int rowsPerPage = 1;

    // Pages for files rows; an empty list still takes one.
    int pages(qsizetype files) const;
};

QFont ListFont();
QFont HeaderFont();
QFont FooterFont();

// Margins in whole millimetres.
FileListLayout MeasureFileList(QPagedPaintDevice& device, int left, int top, int right, int bottom);

// The comment cut at its end until it is at most width twips wide in fm.
class QFontMetricsF;
QString CutToWidth(const QString& text, const QFontMetricsF& fm, double width);

// The folder's files matching pattern (no folders), names trimmed of blanks,
// in the order a directory search gives them; nothing read from them yet.
std::vector<LocalFile> ListFiles(const QString& folder, const QString& pattern);

// Prints the list onto device, which must not have a painter yet. A file
// gone since the folder was listed is left out. Raises AppError when the
// device cannot be painted on, a page cannot be started or the job fails;
// the pages painted so far stay.
void PrintFileList(QPagedPaintDevice& device, const QString& folder, int left, int top, int right, int bottom);

// A4 upright without margins of its own (the list has its own), at a laser
// printer's resolution.
void PreparePdf(QPdfWriter& pdf, const QString& title);

// The list of folder as the PDF file path, 20 mm margins, on pages of
// pageSize (A4 when invalid). Only a complete file is put under path; a
// device (such as /dev/null) is written straight. Raises AppError with the
// reason.
class QPageSize;
void PrintFileListToPdf(const QString& folder, const QString& path, const QPageSize& pageSize);
