#include "server/Communication.h"

#include "app/TextFormat.h"
#include "comm/CommManager.h"
#include "plc/PLCCollection.h"
#include "server/ServerCore.h"

namespace dravon {

namespace {

template <typename F> std::function<void()> Guarded(const std::shared_ptr<TCommunication*>& alive, F action) {
    std::weak_ptr<TCommunication*> token = alive;
    return [token, action] {
        if (auto self = token.lock()) action(**self);
    };
}

} // namespace

TCommunication::TCommunication(TServerCore& core, ITransportFactory& transports, IHostResolver* resolver)
    : Core_(core), Alive_(std::make_shared<TCommunication*>(this)) {
    TServerContext& context = core.Context();
    context.Transports = &transports;
    if (resolver) context.Resolver = resolver;
    core.LoadPlcListHooks.push_back(Guarded(Alive_, [](TCommunication& c) { c.Load(); }));
    core.TickHooks.push_back(Guarded(Alive_, [](TCommunication& c) { c.Refresh(); }));
    core.DestroyCommunicationHooks.push_back(Guarded(Alive_, [](TCommunication& c) { c.Destroy(); }));
    core.FreePlcListHooks.push_back(Guarded(Alive_, [](TCommunication& c) { c.Free(); }));
}

TCommunication::~TCommunication() {
    Destroy();
    Free();
    TServerContext& context = Core_.Context();
    context.Transports = nullptr;
}

void TCommunication::Load() {
    TServerContext& context = Core_.Context();
    if (!PLCs_) PLCs_ = std::make_unique<TPLCCollection>(context);
    if (!Manager_) Manager_ = std::make_unique<TCommManager>(context, PLCs_.get(), &Factory_);
    context.PLCs = PLCs_.get();
    PLCs_->SetDriverPool(Manager_.get());
    PLCs_->LoadPLCList();
}

void TCommunication::Refresh() {
    if (Manager_) Manager_->MarkIdleDrivers();
}

void TCommunication::Destroy() {
    if (PLCs_ && Manager_) {
        // Writes the clients were told had succeeded end here unsent: the log names them.
        for (int i = 0; i < PLCs_->Count(); ++i) {
            const THitachiPLC& plc = PLCs_->PLCByIndex(i);
            int pending = 0;
            for (int k = 0; k < plc.Monitored.Count(); ++k)
                pending += plc.Monitored.Item(k).WritePending ? 1 : 0;
            if (pending > 0)
                Core_.Log().Add(FormatText("%s writes to PLC %s were not sent",
                                           {std::to_string(pending), LogText(plc.Name)}),
                                false);
        }
    }
    if (PLCs_) PLCs_->SetDriverPool(nullptr);
    Manager_.reset();
}

void TCommunication::Free() {
    TServerContext& context = Core_.Context();
    if (context.PLCs == PLCs_.get()) context.PLCs = nullptr;
    PLCs_.reset();
}

} // namespace dravon
