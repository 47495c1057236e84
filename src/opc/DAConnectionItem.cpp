#include "opc/DAConnectionItem.h"

#include "opc/DA2.h"

namespace dravon {

void TDAConnectionItem::Link(TDA2& server) {
    Unlink();
    Server_ = &server;
    server.Connections_ = &List_;
    server.ConnectionItem_ = this;
}

void TDAConnectionItem::Unlink() {
    if (!Server_) return;
    Server_->Connections_ = nullptr;
    Server_->ConnectionItem_ = nullptr;
    Server_ = nullptr;
}

} // namespace dravon
