#include "app/consolepanel.h"

#include <gtest/gtest.h>

using Answer = OperatorPanel::Answer;
using Buttons = OperatorPanel::Buttons;
using Kind = ConsolePanel::Event::Kind;

TEST(ConsolePanel, PrintsWhatTheStationShowsAndAnswersByTheCommandLine) {
    QString out;
    auto sink = [&out](const QString& text) { out += text; };
    ConsolePanel panel(ConsolePanel::Policy::No, sink);

    // A repeated status is printed once; the abort routine's empty one not at all.
    panel.setStatus(QStringLiteral("Ansluter..."));
    panel.setStatus(QStringLiteral("Ansluter..."));
    panel.setStatus(QString());
    panel.setStatus(QStringLiteral("Ansluter..."));
    panel.setStatus(QStringLiteral("Fillista klar."));
    panel.showPilar(QStringLiteral("Hämtar: \"O1\"..."), {});
    EXPECT_EQ(out, QStringLiteral("Ansluter...\nFillista klar.\nHämtar: \"O1\"...\n"));
    EXPECT_EQ(panel.count(Kind::Status, 0), 5);

    out.clear();
    EXPECT_EQ(panel.message(QStringLiteral("Överföringsfel: \r\nProgrammet finns inte."), QStringLiteral("Fel"),
                            MsgIcon::Critical, Buttons::Ok),
              Answer::Ok);
    EXPECT_EQ(out, QStringLiteral("Fel: Överföringsfel:\nProgrammet finns inte.\n"));
    EXPECT_EQ(panel.journal().last().text, QStringLiteral("Överföringsfel:\nProgrammet finns inte."));

    // Overwrite questions follow --no; the delete question follows the command
    // once it is confirmed, never the overwrite answer.
    out.clear();
    const QString overwrite = QStringLiteral("Filen finns redan. Skriva över?");
    const QString sure = QStringLiteral("Är du säker på att du vill radera filen \"O1\"?");
    EXPECT_EQ(panel.message(overwrite, AppTitle(), MsgIcon::Question, Buttons::YesNoCancel), Answer::No);
    EXPECT_EQ(panel.message(sure, QStringLiteral("Radera"), MsgIcon::Exclamation, Buttons::YesNo), Answer::No);
    panel.setConfirmed(true);
    EXPECT_EQ(panel.message(sure, QStringLiteral("Radera"), MsgIcon::Exclamation, Buttons::YesNo), Answer::Yes);
    EXPECT_EQ(panel.message(overwrite, AppTitle(), MsgIcon::Question, Buttons::YesNoCancel), Answer::No);
    EXPECT_EQ(out, overwrite + QStringLiteral(" Nej\n") + sure + QStringLiteral(" Nej\n") + sure +
                       QStringLiteral(" Ja\n") + overwrite + QStringLiteral(" Nej\n"));
    EXPECT_EQ(panel.count(Kind::Question, 0), 4);
    EXPECT_EQ(panel.count(Kind::Message, 0), 1);
    EXPECT_FALSE(panel.input(QStringLiteral("Ange fil att hämta:"), QStringLiteral("Manuell hämtning"), {}).has_value());

    // The machine's list as the station fills and trims it (8-bit names).
    panel.fillRemoteList({{"O1001", "2"}, {"\xC5" "1", "0"}});
    EXPECT_EQ(panel.remoteNames(), (QStringList{QStringLiteral("O1001"), QStringLiteral("Å1")}));
    panel.removeRemoteItem(QStringLiteral("Å1"));
    EXPECT_EQ(panel.remoteNames(), QStringList{QStringLiteral("O1001")});
    EXPECT_EQ(panel.count(Kind::Fill, 0), 1);
    EXPECT_EQ(panel.count(Kind::Removed, 0), 1);
}
