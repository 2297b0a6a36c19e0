#include "app/consolepanel.h"
#include "app/verb_session.h"

#include <gtest/gtest.h>

using Answer = OperatorPanel::Answer;
using Buttons = OperatorPanel::Buttons;
using Kind = ConsolePanel::Event::Kind;

TEST(ConsolePanel, PrintsWhatTheStationShowsSafelyAndAnswersByTheCommandLine) {
    QString out;
    auto sink = [&out](const QString& text) { out += text; };
    ConsolePanel panel(ConsolePanel::Policy::No, sink);

    // A repeated status is printed once; the abort routine's empty one not at all.
    panel.setStatus("Ansluter...");
    panel.setStatus("Ansluter...");
    panel.setStatus(QString());
    panel.setStatus("Ansluter...");
    panel.setStatus("Fillista klar.");
    panel.showPilar("Hämtar: \"O1\"...", {});
    EXPECT_EQ(out, "Ansluter...\nFillista klar.\nHämtar: \"O1\"...\n");
    EXPECT_EQ(panel.count(Kind::Status, 0), 5);

    out.clear();
    EXPECT_EQ(panel.message("Överföringsfel: \r\nProgrammet finns inte.", "Fel", MsgIcon::Critical, Buttons::Ok),
              Answer::Ok);
    EXPECT_EQ(out, "Fel: Överföringsfel:\nProgrammet finns inte.\n");
    EXPECT_EQ(panel.journal().last().text, "Överföringsfel:\nProgrammet finns inte.");

    // Overwrite questions follow --no; the delete question follows the command
    // once it is confirmed, never the overwrite answer.
    out.clear();
    const QString overwrite = "Filen finns redan. Skriva över?";
    const QString sure = "Är du säker på att du vill radera filen \"O1\"?";
    EXPECT_EQ(panel.message(overwrite, AppTitle(), MsgIcon::Question, Buttons::YesNoCancel), Answer::No);
    EXPECT_EQ(panel.message(sure, "Radera", MsgIcon::Exclamation, Buttons::YesNo), Answer::No);
    panel.setConfirmed(true);
    EXPECT_EQ(panel.message(sure, "Radera", MsgIcon::Exclamation, Buttons::YesNo), Answer::Yes);
    EXPECT_EQ(panel.message(overwrite, AppTitle(), MsgIcon::Question, Buttons::YesNoCancel), Answer::No);
    EXPECT_EQ(out, overwrite + " Nej\n" + sure + " Nej\n" + sure + " Ja\n" + overwrite + " Nej\n");
    EXPECT_EQ(panel.count(Kind::Question, 0), 4);
    EXPECT_EQ(panel.count(Kind::Message, 0), 1);
    EXPECT_FALSE(panel.input("Ange fil att hämta:", "Manuell hämtning", {}).has_value());

    // The machine's list as the station fills and trims it (8-bit names).
    panel.fillRemoteList({{"O1001", "2"}, {"\xC5" "1", "0"}});
    panel.removeRemoteItem("Å1");
    ASSERT_EQ(panel.remoteList().size(), 1);
    EXPECT_EQ(panel.remoteList()[0].name, QByteArray("O1001"));
    EXPECT_EQ(panel.count(Kind::Fill, 0), 1);
    EXPECT_EQ(panel.count(Kind::Removed, 0), 1);

    // Progress is rewritten in place, only where it has a writer.
    out.clear();
    QString progress;
    panel.setProgress(1, 3);  // not a terminal: nothing
    panel.setProgressWriter([&progress](const QString& text) { progress += text; });
    panel.setProgress(2, 3);
    panel.setProgress(0, 0);
    EXPECT_EQ(progress, "\r2 av 3\x1b[K\r\x1b[K");
    EXPECT_TRUE(out.isEmpty());

    // What a machine or a file sent cannot steer the terminal.
    const QString name = QString("O1\x1b]0;x\x07\x1b[2J\r") + QChar(0x9b);  // a title, a bell, a clear screen, CSI
    struct Case {
        std::function<void()> show;
        QString printed;
    };
    const Case cases[] = {
        {[&] { panel.setStatus("Sändning klar ('" + name + "')"); }, "Sändning klar ('O1<1B>]0;x<07><1B>[2J<0D><9B>')\n"},
        {[&] { panel.showPilar("Hämtar: \"" + name + "\"...", {}); }, "Hämtar: \"O1<1B>]0;x<07><1B>[2J<0D><9B>\"...\n"},
        {[&] { panel.message("Överföringsfel: \r\n" + name, "Fel", MsgIcon::Critical, OperatorPanel::Buttons::Ok); },
         "Fel: Överföringsfel:\nO1<1B>]0;x<07><1B>[2J\n<9B>\n"},
        {[&] { panel.say("Kontroll: \"G0\x1b[8m\" / \"G1\""); }, "Kontroll: \"G0<1B>[8m\" / \"G1\"\n"},
    };
    for (const Case& c : cases) {
        out.clear();
        c.show();
        EXPECT_EQ(out, c.printed);
    }
    // dir: one line a program, name and size apart by the one tab.
    EXPECT_EQ(VerbLine({"O1\tX\nO2", "2"}), "O1<09>X<0A>O2\t2");
}
