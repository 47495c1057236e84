// clang-format off
#include "com/ComWindows.h"
// clang-format on
#include "win/ComSide.h"

#include "com/ComRegistration.h"
#include "com/ComServer.h"
#include "server/OPCServer.h"

namespace dravon {

namespace {

class TComSide : public IComSide {
public:
    TComSide() { Initialized_ = SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)); }
    ~TComSide() override {
        Stop();
        if (Initialized_) CoUninitialize();
    }
    TComSide(const TComSide&) = delete;
    TComSide& operator=(const TComSide&) = delete;

    ICategoryRegistrar* Categories() override { return &Categories_; }

    bool Start(TOPCServer& opc, std::function<void()> lastClientGone) override {
        if (!opc.Factory() || !opc.Connections()) return false;
        Server_ =
            std::make_unique<com::TComServer>(*opc.Factory(), *opc.Connections(), std::move(lastClientGone));
        return SUCCEEDED(Server_->RegisterClassObject());
    }

    void Stop() override {
        if (Server_) Server_->Stop();
        Server_.reset();
    }

private:
    bool Initialized_ = false;
    com::TCatRegister Categories_;
    std::unique_ptr<com::TComServer> Server_;
};

} // namespace

std::unique_ptr<IComSide> CreateComSide() { return std::make_unique<TComSide>(); }

} // namespace dravon
