// Applying the selected machine: its settings, folders, documents and port.
#include "common/apperror.h"
#include "common/errorreport.h"
#include "common/ini.h"
#include "config/machines.h"
#include "station/station.h"
#include "operations/operations.h"

bool Station::cmbMaskiner_Click(int slot, const QString& name, bool withDirRequest) {
    bool applied = false;
    Traced(QStringLiteral("cmbMaskiner_Click()"), [&] {
        if (slot < 1) return;
        WriteIni(QStringLiteral("Program"), QStringLiteral("LastMachine"), name);
        applied = ApplyMachine(slot, name);
        if (!applied && PortFailure.isEmpty()) return;
        if (!applied) {
            panel_.message(QStringLiteral("Kan inte öppna COM porten.\r\nKontrollera inställningarna.\r\n") + PortFailure,
                           AppTitle(), MsgIcon::Critical, OperatorPanel::Buttons::Ok);
            return;
        }
        if (Machine.GetDir && withDirRequest && (Machine.Typ == 0 || HeldBy.isEmpty()))
            Submit(JobKind::List, QStringLiteral("fönster ") + CurrentUser(), [this](JobRun&) { return cmdDir_Click(*this); });
    });
    return applied;
}

bool Station::ApplyMachine(int slot, const QString& name) {
    bool applied = false;
    PortFailure.clear();
    Guarded([&] {
        // What the previous machine had under way is its own, not this one's;
        // a program going out on its line stops, told, before its port closes.
        if (sender_.sending()) {
            const QString name = SerialLink.FileName;
            cmdAbort_Click();
            Status(QStringLiteral("Sändning avbruten (") + name + QStringLiteral(")."));
        }
        exchanges_.end(Exchange::State::Ended);
        rx_.newLine();
        sender_.newLine();
        ++line_;
        remote_.clear();
        LoadMachineSettings(Machine, slot);
        MachineName = name;
        // A window timer takes 0 to 65535 ms; anything else is an invalid property value.
        if (Machine.RecTimeout < 0 || Machine.RecTimeout > 65535) Raise(380);
        TimeoutTimer.setInterval(Machine.RecTimeout);
        if (Machine.Modell != QLatin1String("?")) panel_.setDocuments(ModelDocuments(Machine.Modell));
        panel_.setTreeFolders(Machine.RootPath, Machine.SendPath);
        panel_.showMachine(name, Machine.SendPath);
        const bool serial = Machine.Typ >= 1 && Machine.Typ <= 3;
        if (serial && Comm && !HeldBy.isEmpty()) {
            if (Comm->isOpen()) Comm->close();
            Status(HeldBy);
        } else if (serial && Comm) {
            if (Machine.ComPort < 1) Raise(8002);
            if (Comm->isOpen()) Comm->close();
            Comm->setCommPort(Machine.ComPort);
            // Lines with modem lines stop within the UART's FIFO when the machine drops CTS.
            // ISO tape paces itself by DC1/DC3 unless it uses CTS.
            Comm->setHardwareFlowControl(!General.IgnoreCts &&
                                         (Machine.Typ != 3 || Machine.Handskakning == QLatin1String("CTS")));
            if (!Comm->setSettings(Machine.BaudRate + Machine.Settings))
                Raise(380);
            if (!Comm->open()) {
                PortFailure = Comm->errorString();
                if (PortFailure.isEmpty()) PortFailure = QStringLiteral("okänt fel");
                return;
            }
        }
        applied = true;
    });
    return applied;
}
