#include "connection/TDialSession.h"

#include "connection/ConnectionManager.h"
#include "connection/TDialThread.h"
#include "platform/system/SingleInstance.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>
#include <QTimer>

namespace sp {

namespace {

// Held by whoever dials on the machine root, for the length of the dial.
constexpr std::string_view kMachineDialName = "ZentoraSkyportalDial";

} // namespace

TDialSession::TDialSession(std::string_view modem, const std::string& entryName, std::vector<std::string>& apns,
                           IDialObserver* observer, IConnectionQuestion* question)
    : FThread(TThread::Create<TDialThread>())
    , FMachineDial(std::make_unique<TNamedMutex>(kMachineDialName))
{
    FThread->ModemName = std::string(modem);
    FThread->EntryName = entryName;
    FThread->APNList = &apns;
    FThread->Observer = observer;
    FThread->Question = question;
}

TDialSession::~TDialSession()
{
    if (!FStarted)
        return;
    FThread->WaitFor();
    ClearDial();
}

bool TDialSession::OnlyDialOfTheMachine() const
{
    return FMachineDial && FMachineDial->Valid() && !FMachineDial->AlreadyExists();
}

void TDialSession::Start()
{
    RegisterDial(FThread);
    FStarted = true;
    FThread->Start();
}

void TDialSession::Wait()
{
    TDialThread& thread = *FThread;
    QCoreApplication* app = QCoreApplication::instance();
    if (app != nullptr && QThread::currentThread() == app->thread()) {
        // The wait sleeps in the event loop, so each synchronous notification
        // of the dial thread is answered the moment it is posted; the
        // thread's end posts an event too, and a timer of one round tests the
        // flag at least that often whatever happens.
        QTimer round;
        round.start(ConnectionRoundLength());
        while (!thread.TerminatedFlag())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        return;
    }
    while (!thread.TerminatedFlag())
        (void)thread.TerminatedEvent().WaitFor(ConnectionRoundLength());
}

bool TDialSession::Ended() const
{
    return FThread->TerminatedFlag();
}

HRASCONN TDialSession::Finish()
{
    DrainNotifier();
    // The dial is over, whatever its front end still shows.
    FMachineDial.reset();
    return static_cast<HRASCONN>(FThread->ReturnValue());
}

TDialState& TDialSession::State()
{
    return FThread->State;
}

void TDialSession::Cancel()
{
    FThread->State.SetCancelled(true);
}

std::string TDialSession::EntryName() const
{
    return FThread->EntryName;
}

HRASCONN TDialSession::Handle() const
{
    return FThread->hConn.load();
}

} // namespace sp
