// "Olika" opened: the library's program text beside the machine's copy.
#include "app/frm_difference.h"
#include "controls/diffview.h"
#include "library/linediff.h"
#include "windowfixture.h"

#include <QLabel>
#include <QPushButton>

TEST(Difference, ShowsTheLibraryProgramBesideTheMachinesCopyAtItsFirstDifference) {
    const QByteArray library = "(KOMMENTAR)%O1\r\nG0 X0\r\nG1 X5\r\nG1 Y5\r\nM30\r\n%";
    const struct {
        QByteArray machine;
        QString label;
        int row;                 // the row shown first, -1 for none
        bool previous, next;     // the buttons enabled there
    } cases[] = {
        {"O1\nG0 X0\nG1 X6\nG1 Y5\nM30\n", "1 rad skiljer sig mellan biblioteket och Fräs A.", 2, false, false},
        {"O1\nG1 X5\nG1 Y5\nM31\n", "2 rader skiljer sig mellan biblioteket och Fräs A.", 1, false, true},
        {"O1\r\nG0 X0\r\nG1 X5\r\nG1 Y5\r\nM30", "Inga rader skiljer sig; programmen skiljer sig bara i radslut.", -1,
         false, false},
        {QByteArray(kDiffMaxBytes + 1, 'x'),
         "Programmen är för stora, eller skiljer sig på för många rader, för att visas rad för rad.", -1, false, false},
    };
    TestHome home;
    home.write("O1.NC", library);
    for (const auto& c : cases) {
        frm_difference d("O1", home.file("O1.NC"), "Fräs A", c.machine);
        const auto* view = d.findChild<DiffView*>("grdDiff");
        EXPECT_EQ(d.findChild<QLabel*>("lblDiff")->text(), c.label);
        EXPECT_EQ(view->currentIndex().isValid() ? view->currentIndex().row() : -1, c.row) << c.label.toStdString();
        EXPECT_EQ(d.findChild<QPushButton*>("cmdPrevious")->isEnabled(), c.previous);
        EXPECT_EQ(d.findChild<QPushButton*>("cmdNext")->isEnabled(), c.next);
    }
    // The comment is the library's own, not a difference; the next one is
    // found past the first, and the way back leads to it again.
    frm_difference d("O1", home.file("O1.NC"), "Fräs A", cases[1].machine);
    auto* view = d.findChild<DiffView*>("grdDiff");
    ASSERT_EQ(view->rows().size(), 5);
    EXPECT_EQ(view->rows()[0].before, "O1");
    d.findChild<QPushButton*>("cmdNext")->click();
    EXPECT_EQ(view->rows()[view->currentIndex().row()].before, "M30");
    EXPECT_FALSE(d.findChild<QPushButton*>("cmdNext")->isEnabled());
    d.findChild<QPushButton*>("cmdPrevious")->click();
    EXPECT_EQ(view->currentIndex().row(), 1);
}
