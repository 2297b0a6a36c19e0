#include "common/apperror.h"
#include "common/ini.h"
#include "config/machines.h"
#include "support/testhome.h"

#include <gtest/gtest.h>

namespace {

const char* kIni = "Fenmo32.INI";

// A struct whose every field differs from anything a definition gives.
MachineSettings Prefilled() {
    MachineSettings ms;
    ms.Typ = 99;
    ms.IP = "old-ip";
    ms.Port = "old-port";
    ms.RootPath = "old-root";
    ms.RecPath = "old-rec";
    ms.SendPath = "old-send";
    ms.Deleted = "old-deleted";
    ms.DocPath = "old-doc";
    ms.ComPort = 77;
    ms.BaudRate = "old-baud";
    ms.Settings = "old-settings";
    ms.Modell = "old-model";
    ms.EOB = 55;
    ms.Conversion = true;
    ms.Extension = "old-ext";
    ms.RecTimeout = 123;
    ms.GetDir = false;
    return ms;
}

// Loads slot 1 and returns the error number (0 when it loaded).
int Load(MachineSettings& ms) {
    try {
        LoadMachineSettings(ms, 1);
    } catch (const AppError& e) {
        return e.number();
    }
    return 0;
}

}  // namespace

TEST(MachineSettingsTest, MissingKeysGiveTheMainWindowDefaults) {
    TestHome home;
    home.write(kIni, "[Maskin 1]\r\nNamn=Fräs\r\n");
    MachineSettings ms = Prefilled();
    ASSERT_EQ(Load(ms), 0);
    EXPECT_EQ(ms.Typ, 1);
    EXPECT_EQ(ms.IP, "");
    EXPECT_EQ(ms.Port, "");
    EXPECT_EQ(ms.RecPath, DefaultProgramFolder());
    EXPECT_EQ(ms.SendPath, DefaultProgramFolder());
    EXPECT_EQ(ms.RootPath, DefaultProgramFolder());
    EXPECT_EQ(ms.DocPath, DefaultDocumentFolder());
    EXPECT_EQ(ms.Deleted, DefaultTrashFolder());
    EXPECT_EQ(ms.ComPort, 1);
    EXPECT_EQ(ms.BaudRate, "9600");
    EXPECT_EQ(ms.Settings, ",e,7,1");
    EXPECT_EQ(ms.Extension, "");
    EXPECT_EQ(ms.RecTimeout, 4000);
    EXPECT_EQ(ms.Modell, "?");
    EXPECT_FALSE(ms.Conversion);
    EXPECT_TRUE(ms.GetDir);
    EXPECT_EQ(ms.EOB, 0);
#ifndef Q_OS_WIN
    EXPECT_TRUE(DefaultProgramFolder().endsWith("/ncprog"));
    EXPECT_TRUE(DefaultDocumentFolder().endsWith("/ncprog/dokument"));
    EXPECT_TRUE(DefaultTrashFolder().endsWith("/ncprog/papperskorg"));
#endif

    // Without RootPath the root is the send folder just read.
    home.write(kIni, "[Maskin 1]\r\nSendPath=/data/send\r\nTyp=0\r\nEOB=2\r\n"
                     "GetDir=0\r\nRecTimeout=1e3\r\n");
    ASSERT_EQ(Load(ms), 0);
    EXPECT_EQ(ms.SendPath, "/data/send");
    EXPECT_EQ(ms.RootPath, "/data/send");
    EXPECT_EQ(ms.Typ, 0);
    EXPECT_EQ(ms.EOB, 2);  // accepted; the frame then gets no line end
    EXPECT_FALSE(ms.GetDir);
    EXPECT_EQ(ms.RecTimeout, 1000);
}

TEST(MachineSettingsTest, BadValueStopsTheLoadAtThatField) {
    TestHome home;

    // ComPort comes after the folders and before BaudRate.
    home.write(kIni, "[Maskin 1]\r\nTyp=2\r\nIP=10.0.0.5\r\nSendPath=/s\r\nRootPath=/r\r\n"
                     "ComPort=300\r\nBaudRate=19200\r\nModell=TC-32B\r\n");
    MachineSettings ms = Prefilled();
    EXPECT_EQ(Load(ms), Err::Overflow);
    EXPECT_EQ(ms.Typ, 2);
    EXPECT_EQ(ms.IP, "10.0.0.5");
    EXPECT_EQ(ms.SendPath, "/s");
    EXPECT_EQ(ms.RootPath, "/r");
    EXPECT_EQ(ms.DocPath, DefaultDocumentFolder());
    EXPECT_EQ(ms.ComPort, 77);
    EXPECT_EQ(ms.BaudRate, "old-baud");
    EXPECT_EQ(ms.Settings, "old-settings");
    EXPECT_EQ(ms.Modell, "old-model");
    EXPECT_EQ(ms.RecTimeout, 123);
    EXPECT_TRUE(ms.Conversion);
    EXPECT_FALSE(ms.GetDir);
    EXPECT_EQ(ms.EOB, 55);

    // The very first field: nothing changes.
    home.write(kIni, "[Maskin 1]\r\nTyp=x\r\nIP=10.0.0.6\r\n");
    ms = Prefilled();
    EXPECT_EQ(Load(ms), Err::TypeMismatch);
    EXPECT_EQ(ms.Typ, 99);
    EXPECT_EQ(ms.IP, "old-ip");

    // The very last field: everything else is new.
    home.write(kIni, "[Maskin 1]\r\nEOB=-1\r\nGetDir=True\r\nModell=?\r\n");
    ms = Prefilled();
    EXPECT_EQ(Load(ms), Err::Overflow);
    EXPECT_EQ(ms.Modell, "?");
    EXPECT_FALSE(ms.Conversion);
    EXPECT_TRUE(ms.GetDir);
    EXPECT_EQ(ms.EOB, 55);

    // A Boolean holding a word other than True/False.
    home.write(kIni, "[Maskin 1]\r\nGetDir=kanske\r\nEOB=1\r\n");
    ms = Prefilled();
    EXPECT_EQ(Load(ms), Err::TypeMismatch);
    EXPECT_EQ(ms.Modell, "?");
    EXPECT_FALSE(ms.GetDir);
    EXPECT_EQ(ms.EOB, 55);

    // A bad Conversion in the model file stops before GetDir.
    home.write("maskiner/BAD.dat", "[Maskin]\r\nConversion=ja\r\n");
    home.write(kIni, "[Maskin 1]\r\nModell=BAD\r\nGetDir=True\r\n");
    ms = Prefilled();
    EXPECT_EQ(Load(ms), Err::TypeMismatch);
    EXPECT_EQ(ms.Modell, "BAD");
    EXPECT_TRUE(ms.Conversion);
    EXPECT_FALSE(ms.GetDir);

    // RecTimeout beyond 32 bits.
    home.write(kIni, "[Maskin 1]\r\nRecTimeout=3000000000\r\nModell=X\r\n");
    ms = Prefilled();
    EXPECT_EQ(Load(ms), Err::Overflow);
    EXPECT_EQ(ms.RecTimeout, 123);
    EXPECT_EQ(ms.Modell, "old-model");
}

TEST(MachineListTest, SlotsNamesAndAdding) {
    TestHome home;
    EXPECT_TRUE(MachineList().isEmpty());  // no settings file at all

    home.write(kIni, "[Program]\r\nLastMachine=B\r\n[Maskin 3]\r\nNamn=B\r\n"
                     "[Maskin 40]\r\nNamn=A\r\n[Maskin 41]\r\nNamn=\r\n");
    QList<MachineEntry> list = MachineList();
    ASSERT_EQ(list.size(), 2);
    EXPECT_EQ(list[0].name, "B");
    EXPECT_EQ(list[0].slot, 3);
    EXPECT_EQ(list[1].name, "A");  // slot order, not sorted
    EXPECT_EQ(list[1].slot, 40);
    EXPECT_EQ(FindMachineSlot(list, "A"), 40);
    EXPECT_EQ(FindMachineSlot(list, "a"), -1);
    EXPECT_EQ(FindMachineSlot(list, "3"), -1);

    // The first free slot of 1..16 is filled, never one above 16.
    EXPECT_TRUE(AddMachineName("Svarv"));
    EXPECT_EQ(ReadIni("Maskin 1", "Namn", ""), "Svarv");
    EXPECT_TRUE(AddMachineName("B"));  // same name as slot 3: a new slot
    EXPECT_EQ(ReadIni("Maskin 2", "Namn", ""), "B");
    list = MachineList();
    ASSERT_EQ(list.size(), 4);
    EXPECT_EQ(list[1].slot, 2);
    EXPECT_EQ(list[2].slot, 3);
    EXPECT_EQ(FindMachineSlot(list, "B"), 2);
    // Other keys of the settings file are untouched.
    EXPECT_EQ(ReadIni("Program", "LastMachine", ""), "B");

    EXPECT_FALSE(AddMachineName(""));
    EXPECT_FALSE(AddMachineName("   "));
    EXPECT_FALSE(AddMachineName("X\r\n[Maskin 5]\r\nNamn=Y"));
    EXPECT_EQ(ReadIni("Maskin 4", "Namn", ""), "");
    EXPECT_EQ(ReadIni("Maskin 5", "Namn", ""), "");

    QByteArray full;
    for (int n = 1; n <= 16; ++n) full += "[Maskin " + QByteArray::number(n) + "]\r\nNamn=M\r\n";
    home.write(kIni, full);
    EXPECT_FALSE(AddMachineName("Sjuttonde"));
    EXPECT_EQ(ReadIni("Maskin 17", "Namn", ""), "");
    EXPECT_EQ(home.read(kIni), full);
    EXPECT_EQ(MachineList().size(), 16);
}

TEST(MachineListTest, NonAsciiNamesInUtf8AndAnsiFiles) {
    TestHome home;
    home.write(kIni, "[Maskin 2]\r\nNamn=Fr\xc3\xa4s\r\n");
    QList<MachineEntry> list = MachineList();
    ASSERT_EQ(list.size(), 1);
    EXPECT_EQ(list[0].name, QString::fromUtf8("Fräs"));
    EXPECT_EQ(FindMachineSlot(list, QString::fromUtf8("Fräs")), 2);
    // A UTF-8 file stays UTF-8 when a machine is added.
    EXPECT_TRUE(AddMachineName(QString::fromUtf8("Svärd")));
    EXPECT_TRUE(home.read(kIni).contains("Namn=Sv\xc3\xa4rd"));
    EXPECT_EQ(MachineList().size(), 2);

    home.write(kIni, "[Maskin 1]\r\nNamn=Fr\xe4s\r\n");  // Windows-1252
    list = MachineList();
    ASSERT_EQ(list.size(), 1);
    EXPECT_EQ(list[0].name, QString::fromUtf8("Fräs"));
}

TEST(ModelFileTest, ConversionCapsAndDocuments) {
    TestHome home;
    // No model: every default.
    EXPECT_FALSE(ModelConversion("?"));
    EXPECT_TRUE(ModelDocuments("?").isEmpty());
    ModelCaps caps = ReadModelCaps("?");
    EXPECT_FALSE(caps.Conversion);
    EXPECT_TRUE(caps.Network);
    EXPECT_TRUE(caps.Protokoll1);
    EXPECT_TRUE(caps.Protokoll2);
    EXPECT_FALSE(caps.OnlyLF);

    home.write("maskiner/P1.dat",
               "[Maskin]\r\nConversion=True\r\nNetwork=False\r\nProtokoll2=0\r\nOnlyLF=-1\r\n"
               "Protokoll1=kanske\r\n"
               "[Dokument]\r\nDok1=Verktyg\r\nFil1=TOOLS.TXT\r\nDok2=Nollpunkter\r\n"
               "Dok4=Aldrig\r\nFil4=NEVER\r\n");
    EXPECT_TRUE(ModelConversion("P1"));
    caps = ReadModelCaps("P1");
    EXPECT_TRUE(caps.Conversion);
    EXPECT_FALSE(caps.Network);
    EXPECT_TRUE(caps.Protokoll1);  // does not convert: default kept
    EXPECT_FALSE(caps.Protokoll2);
    EXPECT_TRUE(caps.OnlyLF);

    const QList<DocumentEntry> docs = ModelDocuments("P1");
    ASSERT_EQ(docs.size(), 2);
    EXPECT_EQ(docs[0].caption, "Verktyg");
    EXPECT_EQ(docs[0].file, "TOOLS.TXT");
    EXPECT_EQ(docs[1].caption, "Nollpunkter");
    EXPECT_EQ(docs[1].file, "");

    // A machine picks up the model's Conversion.
    home.write(kIni, "[Maskin 1]\r\nModell=P1\r\n");
    MachineSettings ms;
    LoadMachineSettings(ms, 1);
    EXPECT_TRUE(ms.Conversion);
}

TEST(ModelFileTest, NamesAndCaseOfModelFiles) {
    TestHome home;
    EXPECT_TRUE(ModelList().isEmpty());  // no folder
    EXPECT_EQ(ListFileNames(home.file("maskiner"), "*.DAT"), "");

    // Folder and extension in other case than the program spells them.
    home.write("Maskiner/TC-32B.DAT", "[Maskin]\r\nConversion=True\r\n[Dokument]\r\nDok1=Lista\r\n");
    home.write("Maskiner/GEN.TEST.DAT", "[Maskin]\r\nConversion=True\r\n");
    home.write("Maskiner/abc.dat", "");
    home.write("Maskiner/readme.txt", "");
    EXPECT_EQ(ListFileNames(home.file("Maskiner"), "*.DAT"), "abc\r\nGEN\r\nTC-32B\r\n");
    EXPECT_EQ(ModelList(), (QStringList{"abc", "GEN", "TC-32B"}));
    EXPECT_TRUE(ModelConversion("TC-32B"));
    EXPECT_TRUE(ModelConversion("tc-32b"));
    ASSERT_EQ(ModelDocuments("TC-32B").size(), 1);

    // Listed as GEN, but the model GEN reads GEN.dat, not GEN.TEST.DAT.
    EXPECT_FALSE(ModelConversion("GEN"));
    home.write("Maskiner/GEN.dat", "[Maskin]\r\nConversion=False\r\n[Dokument]\r\nDok1=G\r\n");
    EXPECT_FALSE(ModelConversion("GEN"));
    EXPECT_EQ(ModelDocuments("GEN").size(), 1);
    EXPECT_EQ(ModelList(), (QStringList{"abc", "GEN", "GEN", "TC-32B"}));

    // A file with nothing before its dot gives no model.
    home.write("Maskiner/.dat", "");
    EXPECT_EQ(ModelList().size(), 4);
}
