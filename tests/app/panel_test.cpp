// The window as the station's operator panel: status bar, activity
// indicator, the machine's list, and the error dialog.
#include "link/arrows.h"
#include "windowfixture.h"

#include <gmock/gmock.h>

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

TEST(Panel, StatusBarActivityIndicatorBoxesAndTheMachinesList) {
    WindowHome h;
    h.ini({});
    frm_main& w = h.open();
    h.station().Status("Väntar på svar...");
    w.setPanel(4, "DSR");
    EXPECT_EQ(h.child<QLabel>("Panel1")->text(), "Väntar på svar...");
    EXPECT_EQ(w.panelText(4), "DSR");

    auto* frame = h.child<QWidget>("frameXfer");
    h.station().ShowPilar("Sänder: \"O1\"...", SendArrows());
    EXPECT_TRUE(frame->isVisible());
    EXPECT_TRUE(w.xferTimer().isActive());
    EXPECT_EQ(h.child<QLineEdit>("txtXfer")->text(), "Sänder: \"O1\"...");
    h.station().HidePilar();
    EXPECT_FALSE(frame->isVisible());
    EXPECT_FALSE(w.xferTimer().isActive());

    // The station's questions and the helpers' own messages reach the boxes.
    h.ui.answers.enqueue(OperatorPanel::Answer::No);
    EXPECT_EQ(w.message("Skriva över?", "Fenmo32", MsgIcon::Question, OperatorPanel::Buttons::YesNoCancel),
              OperatorPanel::Answer::No);
    ShowMessage("Fel vid skrivning till INI-fil...", "Fenmo32", MsgIcon::Exclamation);
    ASSERT_EQ(h.ui.shown.size(), 2);
    EXPECT_EQ(h.ui.shown[1].text, "Fel vid skrivning till INI-fil...");
    EXPECT_EQ(h.ui.shown[1].icon, MsgIcon::Exclamation);

    // The machine's list: sorted, selected, rows removed.
    auto* list = h.child<QAbstractItemView>("RemoteFilesLV");
    auto* rec = h.child<QPushButton>("cmdRec");
    auto* del = h.child<QPushButton>("cmdDel");
    auto* dir = h.child<QPushButton>("cmdDir");
    w.fillRemoteList({{"O200", "1000"}, {"O100", "012"}, {"\xC5T1", "-"}});
    EXPECT_EQ(w.remoteNames(), (QStringList{"O200", "O100", "ÅT1"}));

    // Sizes are the machine's blocks, by value; anything else as the machine sent it.
    ClickHeader(list, 1);
    EXPECT_EQ(Column(list, 1), (QStringList{"-", "12 block", "1000 block"}));
    ClickHeader(list, 1);
    EXPECT_EQ(Column(list, 1), (QStringList{"1000 block", "12 block", "-"}));

    ClickHeader(list, 0);
    EXPECT_EQ(Column(list, 0).mid(0, 2), (QStringList{"O100", "O200"}));
    ClickHeader(list, 0);
    EXPECT_EQ(Column(list, 0).mid(1), (QStringList{"O200", "O100"}));

    EXPECT_FALSE(rec->isEnabled());
    ASSERT_TRUE(ClickRow(list, "O100"));
    EXPECT_TRUE(rec->isEnabled());
    EXPECT_TRUE(del->isEnabled());
    EXPECT_EQ(w.remoteSelection(), QStringList{"O100"});

    rec->setEnabled(false);
    Key(list, Qt::Key_A, Qt::ControlModifier);
    EXPECT_EQ(w.remoteSelection().size(), 3);
    EXPECT_TRUE(rec->isEnabled());

    dir->setEnabled(false);
    w.RemoteFilesLV_GotFocus();
    EXPECT_TRUE(dir->isEnabled());

    w.removeRemoteItem("O200");
    EXPECT_EQ(w.remoteNames(), (QStringList{"ÅT1", "O100"}));
    EXPECT_EQ(Column(list, 1), (QStringList{"-", "12 block"}));
    w.fillRemoteList({});
    EXPECT_EQ(list->model()->rowCount(), 0);
}

TEST(ErrorDialogDeathTest, CancelEndsAtOnceWithoutTheLog) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    WindowHome h;
    h.ini({});
    h.open();
    EXPECT_EXIT(
        {
            Hooks().message = [](const QString&, const QString&, MsgIcon, OperatorPanel::Buttons) {
                return OperatorPanel::Answer::Cancel;
            };
            Traced("X()", [] { throw AppError(6); });
            std::fprintf(stderr, "went on\n");
        },
        ::testing::ExitedWithCode(EXIT_FAILURE), ::testing::Not(::testing::HasSubstr("went on")));
    EXPECT_FALSE(h.home.exists("error.log"));
}
