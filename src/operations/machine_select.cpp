// Applying the selected machine: its settings, folders, documents and port.
#include "common/apperror.h"
#include "common/errorreport.h"
#include "common/ini.h"
#include "config/machines.h"
#include "link/station.h"

bool Station::cmbMaskiner_Click(int slot, const QString& name, bool withDirRequest) {
    bool applied = false;
    Traced(QStringLiteral("cmbMaskiner_Click()"), [&] {
        if (slot < 1) return;
        WriteIni(QStringLiteral("Program"), QStringLiteral("LastMachine"), name);
        LoadMachineSettings(Machine, slot);
        TimeoutTimer.setInterval(Machine.RecTimeout);
        if (Machine.Modell != QLatin1String("?")) panel_.setDocuments(ModelDocuments(Machine.Modell));
        panel_.setTreeFolders(Machine.RootPath, Machine.SendPath);
        panel_.showMachine(name, Machine.SendPath);
        if (Machine.Typ == 1 || Machine.Typ == 2) {
            if (Comm->isOpen()) Comm->close();
            Comm->setCommPort(Machine.ComPort);
            if (!Comm->setSettings(Machine.BaudRate + Machine.Settings))
                Raise(380, QStringLiteral("Ogiltigt egenskapsvärde"));
            if (!Comm->open()) {
                panel_.message(QStringLiteral("Kan inte öppna COM porten.\r\nKontrollera inställningarna."), AppTitle(),
                               MsgIcon::Critical, OperatorPanel::Buttons::Ok);
                return;
            }
        }
        applied = true;
        if (Machine.GetDir && withDirRequest) cmdDir_Click();
    });
    return applied;
}
