#include "common/apperror.h"
#include "common/ini.h"
#include "config/machines.h"
#include "common/convert.h"
#include "config/setupform.h"
#include "support/testhome.h"

#include <gtest/gtest.h>

namespace {

const char* kIni = "Fenmo32.INI";

// Every field in load order; $P, $D and $T stand for the default folders.
QString Dump(const MachineSettings& m) {
    const QString n = QString::number(m.Typ) + '|' + m.IP + '|' + m.Port + '|' + m.RecPath + '|' + m.SendPath +
                      '|' + m.DocPath + '|' + m.Deleted + '|' + m.RootPath + '|' + QString::number(m.ComPort) +
                      '|' + m.BaudRate + '|' + m.Settings + '|' + m.Extension + '|' +
                      QString::number(m.RecTimeout) + '|' + m.Modell + '|' + QString::number(m.Conversion) +
                      '|' + QString::number(m.GetDir) + '|' + QString::number(m.EOB);
    return QString(n)
        .replace(DefaultDocumentFolder(), "$D")
        .replace(DefaultTrashFolder(), "$T")
        .replace(DefaultProgramFolder(), "$P");
}

// Loads slot 1 over fields that differ from anything a definition gives;
// returns the error number (0 when it loaded).
int Load(MachineSettings& ms) {
    ms = MachineSettings{99, "old-ip", "old-port", "old-root", "old-rec", "old-send", "old-deleted", "old-doc", 77,
                         "old-baud", "old-settings", "old-model", 55, true, "old-ext", 123, false};
    try {
        LoadMachineSettings(ms, 1);
    } catch (const AppError& e) {
        return e.number();
    }
    return 0;
}

const QString kOld = "99|old-ip|old-port|old-rec|old-send|old-doc|old-deleted|old-root|77|old-baud|old-settings|"
                     "old-ext|123|old-model|1|0|55";

}  // namespace

TEST(MachineSettingsTest, DefaultsAndWhereABadValueStopsTheLoad) {
    TestHome home;
    home.write("maskiner/BAD.dat", "[Maskin]\r\nConversion=ja\r\n");
    struct Case {
        QByteArray keys;
        int error;
        QString dump;
    };
    const Case cases[] = {
        {"Namn=Fräs\r\n", 0, "1|||$P|$P|$D|$T|$P|1|9600|,e,7,1||4000|?|0|1|0"},
        // Without RootPath the root is the send folder just read; EOB 2 is kept (no line end).
        {"SendPath=/data/send\r\nTyp=0\r\nEOB=2\r\nGetDir=0\r\nRecTimeout=1e3\r\n", 0,
         "0|||$P|/data/send|$D|$T|/data/send|1|9600|,e,7,1||1000|?|0|0|2"},
        // ComPort comes after the folders and before BaudRate.
        {"Typ=2\r\nIP=10.0.0.5\r\nSendPath=/s\r\nRootPath=/r\r\nComPort=300\r\nBaudRate=19200\r\nModell=TC\r\n",
         Err::Overflow, "2|10.0.0.5||$P|/s|$D|$T|/r|77|old-baud|old-settings|old-ext|123|old-model|1|0|55"},
        {"Typ=x\r\nIP=10.0.0.6\r\n", Err::TypeMismatch, kOld},
        {"EOB=-1\r\nGetDir=True\r\nModell=?\r\n", Err::Overflow, "1|||$P|$P|$D|$T|$P|1|9600|,e,7,1||4000|?|0|1|55"},
        {"GetDir=kanske\r\nEOB=1\r\n", Err::TypeMismatch, "1|||$P|$P|$D|$T|$P|1|9600|,e,7,1||4000|?|0|0|55"},
        // A bad Conversion in the model file stops before GetDir.
        {"Modell=BAD\r\nGetDir=True\r\n", Err::TypeMismatch, "1|||$P|$P|$D|$T|$P|1|9600|,e,7,1||4000|BAD|1|0|55"},
        {"RecTimeout=3000000000\r\nModell=X\r\n", Err::Overflow,
         "1|||$P|$P|$D|$T|$P|1|9600|,e,7,1||123|old-model|1|0|55"}};
    for (const Case& c : cases) {
        home.write(kIni, "[Maskin 1]\r\n" + c.keys);
        MachineSettings ms;
        EXPECT_EQ(Load(ms), c.error) << c.keys.constData();
        EXPECT_EQ(Dump(ms), c.dump) << c.keys.constData();
    }
}

TEST(MachineListTest, SlotsNamesAndAdding) {
    TestHome home;
    auto listed = [] {
        QString out;
        for (const MachineEntry& e : MachineList()) out += e.name + '@' + QString::number(e.slot) + ';';
        return out;
    };
    EXPECT_EQ(listed(), "");  // no settings file at all

    home.write(kIni, "[Program]\r\nLastMachine=B\r\n[Maskin 3]\r\nNamn=B\r\n"
                     "[Maskin 40]\r\nNamn=A\r\n[Maskin 41]\r\nNamn=\r\n");
    EXPECT_EQ(listed(), "B@3;A@40;");  // slot order, not sorted
    EXPECT_EQ(FindMachineSlot(MachineList(), "A"), 40);
    EXPECT_EQ(FindMachineSlot(MachineList(), "a"), -1);
    EXPECT_EQ(FindMachineSlot(MachineList(), "3"), -1);

    // The first free slot of 1..16 is filled; a name already in use gets a new slot.
    EXPECT_TRUE(AddMachineName("Svarv"));
    EXPECT_TRUE(AddMachineName("B"));
    EXPECT_EQ(listed(), "Svarv@1;B@2;B@3;A@40;");
    EXPECT_EQ(FindMachineSlot(MachineList(), "B"), 2);
    EXPECT_EQ(ReadIni("Program", "LastMachine", ""), "B");  // other keys untouched

    for (const char* bad : {"", "   ", "X\r\n[Maskin 5]\r\nNamn=Y", "X]"}) EXPECT_FALSE(AddMachineName(bad)) << bad;
    EXPECT_EQ(listed(), "Svarv@1;B@2;B@3;A@40;");

    QByteArray full;
    for (int n = 1; n <= 16; ++n) full += "[Maskin " + QByteArray::number(n) + "]\r\nNamn=M\r\n";
    home.write(kIni, full);
    EXPECT_FALSE(AddMachineName("Sjuttonde"));
    EXPECT_EQ(home.read(kIni), full);

    // A UTF-8 file stays UTF-8 when a machine is added; a Windows-1252 one reads as well.
    home.write(kIni, "[Maskin 2]\r\nNamn=Fr\xc3\xa4s\r\n");
    EXPECT_EQ(FindMachineSlot(MachineList(), QString::fromUtf8("Fräs")), 2);
    EXPECT_TRUE(AddMachineName(QString::fromUtf8("Svärd")));
    EXPECT_TRUE(home.read(kIni).contains("[Maskin 1]\r\nNamn=Sv\xc3\xa4rd"));
    EXPECT_EQ(listed(), QString::fromUtf8("Svärd@1;Fräs@2;"));
    home.write(kIni, "[Maskin 1]\r\nNamn=Fr\xe4s\r\n");
    EXPECT_EQ(listed(), QString::fromUtf8("Fräs@1;"));
}

TEST(ModelFileTest, NamesCaseConversionCapsAndDocuments) {
    TestHome home;
    auto caps = [](const QString& model) {
        const ModelCaps c = ReadModelCaps(model);
        return QString::number(c.Conversion) + QString::number(c.Network) + QString::number(c.Protokoll1) +
               QString::number(c.Protokoll2) + QString::number(c.OnlyLF);
    };
    auto docs = [](const QString& model) {
        QString out;
        for (const DocumentEntry& d : ModelDocuments(model)) out += d.caption + '=' + d.file + ';';
        return out;
    };
    // No model and no folder: every default.
    EXPECT_TRUE(ModelList().isEmpty());
    EXPECT_EQ(ListFileNames(home.file("maskiner"), "*.DAT"), "");
    EXPECT_FALSE(ModelConversion("?"));
    EXPECT_EQ(docs("?"), "");
    EXPECT_EQ(caps("?"), "01110");

    // Folder and extension in other case than the program spells them.
    home.write("Maskiner/TC-32B.DAT", "[Maskin]\r\nConversion=True\r\n[Dokument]\r\nDok1=Lista\r\n");
    home.write("Maskiner/GEN.TEST.DAT", "[Maskin]\r\nConversion=True\r\n");
    home.write("Maskiner/abc.dat", "");
    home.write("Maskiner/readme.txt", "");
    EXPECT_EQ(ListFileNames(home.file("Maskiner"), "*.DAT"), "abc\r\nGEN\r\nTC-32B\r\n");
    EXPECT_EQ(ModelList(), (QStringList{"abc", "GEN", "TC-32B"}));
    EXPECT_TRUE(ModelConversion("tc-32b"));
    EXPECT_EQ(ModelDocuments("TC-32B").size(), 1);

    // Listed as GEN, but the model GEN reads GEN.dat, not GEN.TEST.DAT.
    EXPECT_FALSE(ModelConversion("GEN"));
    home.write("Maskiner/GEN.dat", "[Maskin]\r\nConversion=False\r\n[Dokument]\r\nDok1=G\r\n");
    EXPECT_FALSE(ModelConversion("GEN"));
    EXPECT_EQ(ModelDocuments("GEN").size(), 1);
    // A file with nothing before its dot gives no model.
    home.write("Maskiner/.dat", "");
    EXPECT_EQ(ModelList(), (QStringList{"abc", "GEN", "GEN", "TC-32B"}));

    // A value that does not convert keeps its default; documents end at the first empty Dok.
    home.write("Maskiner/P1.dat",
               "[Maskin]\r\nConversion=True\r\nNetwork=False\r\nProtokoll2=0\r\nOnlyLF=-1\r\nProtokoll1=kanske\r\n"
               "[Dokument]\r\nDok1=Verktyg\r\nFil1=TOOLS.TXT\r\nDok2=Nollpunkter\r\nDok4=Aldrig\r\nFil4=NEVER\r\n");
    EXPECT_TRUE(ModelConversion("P1"));
    EXPECT_EQ(caps("P1"), "10101");
    EXPECT_EQ(docs("P1"), "Verktyg=TOOLS.TXT;Nollpunkter=;");

    home.write(kIni, "[Maskin 1]\r\nModell=P1\r\n");
    MachineSettings ms;
    LoadMachineSettings(ms, 1);
    EXPECT_TRUE(ms.Conversion);
}

TEST(SetupFormTest, AddressAndPortChecks) {
    for (const char* ok : {"192.168.0.10", "0.0.0.0", " 10.1.2.255"}) EXPECT_TRUE(IsValidIP(ok)) << ok;
    for (const char* bad : {"", "10.1.2", "10.1.2.256", "10.1.2.x", "10..1.2", "1.2.3.4.5"})
        EXPECT_FALSE(IsValidIP(bad)) << bad;
    EXPECT_TRUE(IsNumeric("1e3"));
    EXPECT_FALSE(IsNumeric("10000a"));
    EXPECT_FALSE(IsNumeric(""));
}
