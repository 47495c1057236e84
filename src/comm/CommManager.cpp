#include "comm/CommManager.h"

#include "app/ServerContext.h"
#include "app/SessionLog.h"
#include "app/TextFormat.h"
#include "comm/CommDriver.h"
#include "comm/DriverFactory.h"
#include "plc/HitachiPLC.h"
#include "plc/PLCCollection.h"

namespace dravon {

TCommManager::TCommManager(TServerContext& context, TPLCCollection* plcs, IDriverFactory* factory)
    : Context_(context), PLCs_(plcs), Factory_(factory), Alive_(std::make_shared<TCommManager*>(this)) {
    Now = Context_.Clock->TickCount();
    Timer_ = Context_.Timers->CreateTimer();
    Timer_->OnTimer = [this] { OnTimerTick(); };
    Timer_->SetInterval(TimerInterval);
    Timer_->SetEnabled(true);
}

TCommManager::~TCommManager() {
    Timer_->SetEnabled(false);
    Timer_->OnTimer = nullptr;
    if (PLCs_ && PLCs_->DriverPool() == this) PLCs_->SetDriverPool(nullptr);
    Drivers_.clear();
}

void TCommManager::PostRunNow() {
    std::weak_ptr<TCommManager*> alive = Alive_;
    Context_.Loop->Post([alive] {
        if (auto manager = alive.lock()) (*manager)->OnTimerTick();
    });
}

void TCommManager::OnTimerTick() {
    RunAgain = false;
    RunCycle();
    if (RunAgain) RunCycle();
}

void TCommManager::RunCycle() {
    // Runs never overlap: the timer stays off until this run is over, also on an error.
    struct TReenable {
        ITimer& Timer;
        ~TReenable() { Timer.SetEnabled(true); }
    } reenable{*Timer_};
    Timer_->SetEnabled(false);
    if (!PLCs_) return;

    const std::uint32_t t = Context_.Clock->TickCount();
    Elapsed = static_cast<int>(TickDiff(t, Now));
    Now = t;
    CycleCount += 1;
    if (TickDiff(t, WindowStartTick) >= CycleWindow) {
        WindowStartTick = t;
        CyclesPerWindow = CycleCount;
        CycleCount = 0;
    }
    PLCs_->RefreshStatusTimes();
    for (int i = 0; i < PLCs_->Count(); ++i) ServicePLC(PLCs_->PLCByIndex(i));
}

void TCommManager::ResetPass(THitachiPLC& plc) {
    plc.PassSent = false;
    plc.PassStartTick = 0;
    plc.PassMessages = 0;
    plc.PassResponses = 0;
}

void TCommManager::RecordError(THitachiPLC& plc, TCommDriver& driver, int code, bool& recorded) {
    recorded = false;
    if (plc.ErrorResponseTick < driver.LastResponseTick) {
        plc.ErrorResponseTick = driver.LastResponseTick;
        plc.LastErrorCode = code;
        plc.LastErrorAt = Context_.Clock->Now();
        recorded = true;
    }
}

void TCommManager::TimeOutCheck(THitachiPLC& plc, TCommDriver& driver) {
    const long long timeOut = plc.TimeOut;
    const std::uint32_t now = Now;
    bool silence = false;
    bool firstContact = false;
    if (driver.IsSerial()) {
        silence = TickDiff(now, plc.LastGoodTick) > timeOut + 5000;
        firstContact = TickDiff(now, driver.FirstSendTick) > timeOut + 2000 || plc.LastGoodTick != 0;
    } else {
        silence = TickDiff(now, driver.LastResponseTick) > timeOut + 2000;
        firstContact = TickDiff(now, driver.FirstSendTick) > timeOut + 2000 || driver.LastResponseTick != 0;
    }
    const bool notBusy = !driver.Busy && driver.SentOnce;
    const bool keepsPace = CyclesPerWindow > 3;
    // BusyClearTick 0 means no BUSY was ever handled; read as a tick it would hold back
    // every time-out during the first seconds of the tick counter.
    const bool noRecentBusy =
        driver.BusyClearTick == 0 || TickDiff(now, driver.BusyClearTick) > timeOut + 5000;
    if (silence && notBusy && firstContact && keepsPace && noRecentBusy && driver.LinkAllowsTimeOut(plc)) {
        plc.SetTimedOut(true);
        plc.MarkAllTimedOut();
    }
}

void TCommManager::ServicePLC(THitachiPLC& plc) {
    const TDateTime nowDate = Context_.Clock->Now();
    const std::uint32_t now = Now;

    plc.RefreshStatusTimes(nowDate);

    TCommDriver* driverPtr = plc.Driver;
    if (!driverPtr) {
        plc.Monitored.PurgeUnused();
        plc.MarkAllTimedOut();
        ResetPass(plc);
        return;
    }
    TCommDriver& driver = *driverPtr;

    if (driver.ReplyPending && TickDiff(now, driver.ReplyTick) > 50) driver.SendPendingReply();

    if (plc.LastStatus == 5) {
        plc.MarkAllTimedOut();
        bool recorded = false;
        RecordError(plc, driver, 5, recorded);
        if (recorded && !plc.BusyLogged) {
            plc.BusyLogged = true;
            Context_.Log->Add(
                FormatText("PLC %s sent BUSY response, timeout should be longer", {LogText(plc.Name)}), true);
        }
    }

    // While a driver has no owner, every PLC of that driver that is visited reduces it.
    if (driver.CurrentPLC == &plc || driver.CurrentPLC == nullptr) driver.Wait -= Elapsed;
    if (driver.Wait > 0) return;

    const int count = plc.Monitored.Count();
    if (count == 0) {
        if (driver.CurrentPLC == &plc) driver.CurrentPLC = nullptr;
        ResetPass(plc);
        return;
    }

    if (!driver.Answered) {
        // The unanswered request is given up; its locations keep their flags.
        driver.ReadList.clear();
        driver.WriteList.clear();
    }

    if (plc.Responded) {
        plc.SetTimedOut(false);
        driver.MissCount = 0;
    } else {
        driver.RequestUnanswered();
        TimeOutCheck(plc, driver);
    }

    if (plc.LastStatus != 0 && plc.LastStatus != 5) {
        bool recorded = false;
        RecordError(plc, driver, plc.LastStatus, recorded);
    }

    if (plc.LastResponseTime > plc.MaxResponseTime) {
        plc.MaxResponseTime = plc.LastResponseTime;
        plc.MaxResponseAt = nowDate;
    }
    plc.LastResponseAt = driver.LastResponseAt;

    if (driver.Busy) {
        driver.Busy = false;
        driver.BusyClearTick = now;
        if (driver.IsUdp()) {
            plc.LastErrorCode = 5;
            plc.LastErrorAt = nowDate;
            if (!plc.BusyLogged) {
                plc.BusyLogged = true;
                Context_.Log->Add(
                    FormatText("BUSY responses detected on UDP port on PLC %s", {LogText(plc.Name)}), true);
            }
        } else if (!plc.BusyLogged) {
            plc.BusyLogged = true;
            Context_.Log->Add(
                FormatText("PLC %s sent BUSY response, timeout should be longer", {LogText(plc.Name)}), true);
        }
    }

    if (driver.CurrentPLC && driver.CurrentPLC != &plc) return;

    // The PLC gives the driver up after each pass, after an unanswered request and after
    // the first request of a pass, so that the other PLCs of the driver get their turn.
    if (driver.CurrentPLC == &plc && (!plc.Responded || plc.ReadPos + 1 >= count || plc.ReadPos <= 0)) {
        driver.CurrentPLC = nullptr;
        RunAgain = true;
        return;
    }

    driver.CurrentPLC = &plc;
    int start = 0;
    if (!plc.WriteMode) {
        if (plc.HasPendingWrites() && !plc.RetryPending) {
            plc.WriteMode = true;
            start = 0;
        } else {
            start = plc.ReadPos + 1;
        }
    } else {
        start = plc.WritePos + 1;
        if (start < 0 || start >= count) {
            plc.WriteMode = false;
            start = plc.ReadPos + 1;
        }
    }

    if (!plc.WriteMode && (start < 0 || start >= count)) {
        plc.EndOfPass(now, plc.RetryPending);
        plc.PassSent = false;
        start = 0;
    }

    plc.SavedReadPos = plc.ReadPos;
    plc.SavedWritePos = plc.WritePos;
    if (!plc.RetryPending) plc.BusyRetryCount = 0;

    FillRequest(plc, driver, start);
    plc.RetryPending = false;
}

void TCommManager::FillRequest(THitachiPLC& plc, TCommDriver& driver, int start) {
    // The walk may follow a purge: take the count again.
    const int count = plc.Monitored.Count();
    for (int i = start; i < count; ++i) {
        THitachiLocation& location = plc.Monitored.Item(i);
        // The two halves of a double word travel in one request.
        const bool lowHalf = location.LowLink && !location.IsDoubleWord;
        bool more = false;
        if (!plc.WriteMode) {
            plc.ReadPos = i;
            if (lowHalf && driver.FreeReadSlots() < 2) {
                plc.ReadPos = i - 1;
            } else {
                TCommDriver::TAddResult added = driver.AddRead(location);
                more = added.MoreRoom;
                if (added.Refused) plc.ReadPos = i - 1;
            }
            if ((!more || i == count - 1) && driver.ReadCount() > 0) {
                plc.PassSent = true;
                driver.SendRead(plc);
                return;
            }
        } else {
            plc.WritePos = i;
            if (lowHalf && driver.FreeWriteSlots() < 2) {
                plc.WritePos = i - 1;
            } else {
                more = driver.AddWrite(location);
            }
            if ((!more || i == count - 1) && driver.WriteCount() > 0) {
                plc.PassSent = true;
                driver.SendWrite(plc);
                return;
            }
        }
        if (!more) return;
    }
}

void TCommManager::MarkIdleDrivers() {
    if (PLCs_) {
        for (int i = 0; i < PLCs_->Count(); ++i) {
            THitachiPLC& plc = PLCs_->PLCByIndex(i);
            if (plc.Driver) plc.Driver->Idle = true;
        }
        for (int i = 0; i < PLCs_->Count(); ++i) {
            THitachiPLC& plc = PLCs_->PLCByIndex(i);
            if (plc.Driver && plc.Monitored.Count() > 0) plc.Driver->Idle = false;
        }
    }
    for (auto& driver : Drivers_) driver->CloseIfIdle();
}

TCommDriver* TCommManager::GetDriver(int kind, const std::string& address, int protocol, int comNumber,
                                     int port) {
    TCommDriver* result = nullptr;
    for (auto& driver : Drivers_) {
        const TDriverLink& link = driver->Link();
        if (link.Kind != kind || driver->Protocol != protocol) continue;
        bool match = false;
        switch (kind) {
        case DriverUdp:
            match = link.Address == address && link.Port == port &&
                    link.UdpPortSame == Context_.Settings.UDPPortSame;
            break;
        case DriverTcp: match = link.Address == address && link.Port == port; break;
        case DriverSerial:
            match = link.ComNumber == comNumber;
            if (match) driver->ResetSerialState();
            break;
        default: break;
        }
        if (match) {
            driver->UserCount += 1;
            result = driver.get();
            break;
        }
    }
    if (!result) {
        if (kind < DriverUdp || kind > DriverSerial || !Factory_) return nullptr;
        TDriverLink link;
        link.Kind = kind;
        link.Protocol = protocol;
        if (kind == DriverSerial) {
            link.ComNumber = comNumber;
        } else {
            link.Address = address;
            link.Port = port;
            link.UdpPortSame = kind == DriverUdp && Context_.Settings.UDPPortSame;
        }
        std::unique_ptr<TCommDriver> created = Factory_->CreateDriver(Context_, link);
        if (!created) return nullptr;
        created->UserCount = 1;
        created->Manager = this;
        created->Protocol = static_cast<std::uint8_t>(protocol);
        if (kind != DriverSerial && protocol != ProtocolEthernet) {
            // Serial-format frames over Ethernet stay ASCII and never try the binary switch.
            created->BinaryState = 1;
            created->BinaryMode = false;
        }
        result = created.get();
        Drivers_.push_back(std::move(created));
    }
    result->CurrentPLC = nullptr; // a pass in progress on a shared driver restarts
    return result;
}

void TCommManager::LeaveDriver(TCommDriver& driver, THitachiPLC& plc) { driver.LeavePLC(plc); }

void TCommManager::FreeUnusedDrivers() {
    for (std::size_t i = Drivers_.size(); i-- > 0;) {
        if (Drivers_[i]->UserCount <= 0) Drivers_.erase(Drivers_.begin() + static_cast<std::ptrdiff_t>(i));
    }
}

TDriverDescription TCommManager::DescribeDriver(const TCommDriver& driver) const {
    TDriverDescription description;
    description.Kind = driver.DrvType;
    description.Protocol = driver.Protocol;
    description.SentOnce = driver.SentOnce;
    description.BinaryMode = driver.BinaryMode;
    description.DetectedBaudText = driver.DetectedBaudText();
    return description;
}

} // namespace dravon
