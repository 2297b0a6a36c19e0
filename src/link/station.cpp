#include "link/station.h"
#include "common/dates.h"
#include "common/errorreport.h"
#include "common/log.h"
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include "link/incomingprogram.h"
#include "link/listenserver.h"
#include "link/outgoing.h"
#include "library/programfile.h"
#include <QTcpSocket>

namespace {
constexpr qint64 kReadBuffer = 1 << 20;
}  // namespace

Station::Station(OperatorPanel& panel, SerialPort* port, QObject* parent)
    : QObject(parent), Comm(port), panel_(panel) {
    SerialLink.Kind = 1;
    NetLink.Kind = 0;
    if (Comm) {
        Comm->setParent(this);
        connect(Comm, &SerialPort::commEvent, this, &Station::Comm_OnComm);
    }
    for (QTimer* t : {&CtsTimer, &SendTimer, &RecTimer, &SvarTimer, &NetTimer, &TimeoutTimer}) {
        t->setParent(this);
        t->setTimerType(Qt::PreciseTimer);
    }
    NetTimer.setInterval(4000);
    connect(&CtsTimer, &QTimer::timeout, this, &Station::CtsTimer_Timer);
    connect(&SendTimer, &QTimer::timeout, this, &Station::SendTimer_Timer);
    connect(&RecTimer, &QTimer::timeout, this, &Station::RecTimer_Timer);
    connect(&SvarTimer, &QTimer::timeout, this, &Station::SvarTimer_Timer);
    connect(&NetTimer, &QTimer::timeout, this, &Station::NetTimer_Timer);
    connect(&TimeoutTimer, &QTimer::timeout, this, &Station::TimeoutTimer_Timer);
    ApplyGeneralSettings(General);
    // An error report stops whatever transfer is running.
    SetAbortHook([this] { Aborted = true; });

    comsock = new QTcpSocket(this);
    MasterSock = new QTcpSocket(this);
    listensock = new ListenServer(this);
    // A program arriving faster than it is written waits in the network, not here.
    for (QTcpSocket* s : {comsock, MasterSock}) s->setReadBufferSize(kReadBuffer);
    connect(comsock, &QTcpSocket::readyRead, this, &Station::comsock_DataArrival);
    connect(comsock, &QTcpSocket::errorOccurred, this, &Station::comsock_Error);
    connect(comsock, &QTcpSocket::bytesWritten, this, [this] { FeedSocket(comsock); });
    connect(listensock, &ListenServer::connectionRequest, this, &Station::listensock_ConnectionRequest);
    connect(MasterSock, &QTcpSocket::readyRead, this, &Station::MasterSock_DataArrival);
    connect(MasterSock, &QTcpSocket::bytesWritten, this, [this] { FeedSocket(MasterSock); });
    connect(comsock, &QTcpSocket::disconnected, this, [this] { NetDisconnected(comsock); });
    connect(MasterSock, &QTcpSocket::disconnected, this, [this] { NetDisconnected(MasterSock); });
}

Station::~Station() { SetAbortHook({}); }

void Station::ApplyGeneralSettings(const GeneralSettings& g) {
    General = g;
    LogTraffic = g.Debug;
    TimeoutTimer.setInterval(g.GeneralTimeout);
    SvarTimer.setInterval(g.SvarTimeout);
    RecTimer.setInterval(g.RecTimeout);
    SendTimer.setInterval(g.SendTimeout);
    CtsTimer.setInterval(g.CtsTimeout);
}

void Station::Status(const QString& text, bool processEvents) {
    Traced(QStringLiteral("Status()"), [&] {
        panel_.setStatus(text);
        if (processEvents) QCoreApplication::processEvents();
    });
}

void Station::ShowPilar(const QString& text, const QStringList& pattern) {
    Traced(QStringLiteral("ShowPilar()"), [&] { panel_.showPilar(text, pattern); });
}

void Station::HidePilar() {
    Traced(QStringLiteral("HidePilar()"), [&] { panel_.hidePilar(); });
}

void Station::cmdAbort_Click() {
    Traced(QStringLiteral("cmdAbort_Click()"), [&] {
        for (QTimer* t : {&TimeoutTimer, &RecTimer, &SendTimer, &SvarTimer, &CtsTimer}) t->stop();
        Aborted = true;
        for (LinkState* l : {&NetLink, &SerialLink}) {
            l->Phase = 0;
            l->OutBuffer.clear();
        }
        // A message under way is dropped (a program's temporary file with it)
        // and the rest of it passed over: none of it is a message of its own.
        for (QTcpSocket* s : {comsock, MasterSock, static_cast<QTcpSocket*>(nullptr)}) {
            const Reception r = ReceptionOf(s);
            const Pass pass = r.in.isEmpty() ? r.skip : Pass::ToPercent;
            DropMessage(r);
            r.skip = pass;
        }
        if (Comm) Comm->clearInput();
        // A document fetch ends here too: the machine's next store must not
        // land in the document folder.
        TargetFolder.clear();
        HidePilar();
        Status(QString());
    });
}

void Station::CtsTimer_Timer() {
    Aborted = true;
    cmdAbort_Click();
    SerialLink.AbortReason = QStringLiteral("CTS timeout");
    Status(QStringLiteral("CTS timeout. Funktionen avbruten."));
    HidePilar();
}

void Station::SendTimer_Timer() {
    cmdAbort_Click();
    Status(QStringLiteral("Sändning timeout. Sändningen avbruten."));
    HidePilar();
}

void Station::RecTimer_Timer() {
    cmdAbort_Click();
    Status(QStringLiteral("Kommando timeout."));
    HidePilar();
}

void Station::SvarTimer_Timer() {
    Traced(QStringLiteral("DirTimer_Timer()"), [&] {
        SvarTimer.stop();
        cmdAbort_Click();
        SerialLink.AbortReason = QStringLiteral("Inget svar från maskinen");
        Status(QStringLiteral("Inget svar från maskinen (timeout)."));
        Aborted = true;
    });
}

void Station::NetTimer_Timer() {
    Aborted = true;
    cmdAbort_Click();
    Status(QStringLiteral("Nätverkstimeout. Funktionen avbruten."));
    HidePilar();
}

// Bounds a fetch's wait for the program with the machine's receive time-out.
void Station::TimeoutTimer_Timer() {
    cmdAbort_Click();
    Status(QStringLiteral("Inget svar från maskinen (timeout)."));
    HidePilar();
}

void Station::Arm(QTimer& timer) {
    if (timer.interval() > 0) timer.start();
    else timer.stop();
}

bool Station::WaitFor(const std::function<bool()>& done) {
    while (!done() && !Aborted) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    return done();
}

void Station::WaitMs(int ms) {
    QTimer timer;
    timer.setSingleShot(true);
    timer.setTimerType(Qt::PreciseTimer);
    bool expired = false;
    connect(&timer, &QTimer::timeout, [&] { expired = true; });
    timer.start(ms);
    while (!expired) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

QString NowStamp() {
    QString s = GeneralDateNow();
    for (const QChar c : {QLatin1Char(':'), QLatin1Char('-'), QLatin1Char('/'), QLatin1Char(' ')}) s.remove(c);
    return s;
}
