#include "common/code2error.h"
#include "common/dates.h"
#include "common/errorreport.h"
#include "support/testhome.h"

namespace {
QString S(const char* s) { return QString::fromUtf8(s); }
}  // namespace

TEST(ErrorReport, TextHasEightTraceLinesAndATracedFailureIsReportedLoggedAndAborts) {
    ClearCallTrace();
    TraceEnter(S("Form_Load()"));
    TraceEnter(S("cmbMaskiner_Click()"));
    const QStringList lines = ErrorReportText(6, S("Spill")).split(S("\r\n"));
    ASSERT_EQ(lines.size(), 16);  // no line end after the last line
    const QString none = GeneralTime(QTime(0, 0)) + S(" - ");
    EXPECT_EQ(lines.mid(0, 14), (QStringList{S("Ett fel uppstod."), S("Beskrivning: Spill"), S("Felnummer: 6"), QString(),
                                             S("Information:"), GeneralDate(CallTrace()[1].EnteredAt.toLocalTime()) + S(" - cmbMaskiner_Click()"),
                                             GeneralDate(CallTrace()[2].EnteredAt.toLocalTime()) + S(" - Form_Load()"), none, none, none,
                                             none, none, none, QString()}));
    EXPECT_TRUE(lines[14].startsWith(S("Om detta fel är återkommande, var god kontakta Harnvik AB")));
    EXPECT_EQ(lines[15], S("(Klicka på Avbryt för att tving programmet att stängas av)."));

    // A traced failure is reported, logged and aborts its owner only.
    TestHome h;
    ClearCallTrace();
    QString shown;
    int aborts = 0;
    SetErrorDialog([&](const QString& t) { shown = t; return true; });
    int otherAborts = 0;
    const std::function<void()> mine = [&] { ++aborts; }, other = [&] { ++otherAborts; };
    const ErrorOwner outer(&other);
    bool after = false;
    bool ok = true;
    {
        const ErrorOwner owner(&mine);
        ok = Traced(S("cmdSend_Click()"), [&] {
            Raise(Err::FileNotFound);
            after = true;
        });
    }
    EXPECT_FALSE(ok);
    EXPECT_FALSE(after);
    EXPECT_EQ(aborts, 1);
    EXPECT_EQ(otherAborts, 0);
    EXPECT_TRUE(shown.contains(S("Felnummer: 53")));
    EXPECT_TRUE(shown.contains(S(" - cmdSend_Click()")));
    const QByteArray log = h.read(S("error.log"));
    EXPECT_TRUE(log.startsWith("Ett fel uppstod.\r\nBeskrivning: Det gick inte att hitta filen\r\n"));
    EXPECT_TRUE(log.endsWith("stängas av).\r\n") || log.endsWith("st\xe4ngas av).\r\n"));

    EXPECT_TRUE(Traced(S("Status()"), [] {}));
    EXPECT_EQ(aborts, 1);
    SetErrorDialog({});
}

TEST(Code2Error, TextsFromErrorsIni) {
    TestHome h;
    EXPECT_EQ(Code2Error(S("04")), S("Okänt fel."));  // no errors.ini at all
    h.write(S("errors.ini"), "[Errors]\r\ne04=Checksummefel\\nS\xe4nd igen\r\ne0A=X\r\n");
    EXPECT_EQ(Code2Error(S("04")), S("Checksummefel\r\nSänd igen"));
    EXPECT_EQ(Code2Error(S("0a")), S("X"));
    EXPECT_EQ(Code2Error(S("99")), S("Okänt fel."));
    EXPECT_EQ(CallTrace()[1].ProcName, S("Code2Error()"));
}
