// A client's view of the server: creates a server object through the class factory, adds
// a group and reaches its interfaces the way a COM client would. The PLC list has one PLC
// without a driver, so nothing ever leaves the process.
#pragma once

#include "opc/ComPtr.h"
#include "opc/DA2.h"
#include "opc/DA2ClassFactory.h"
#include "opc/HResult.h"
#include "opc/OPCDAConnectionCollection.h"
#include "opc/OPCInterfaces.h"
#include "plc/HitachiLocation.h"
#include "plc/HitachiPLC.h"
#include "plc/PLCCollection.h"
#include "support/TestContext.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace dravon::test {

class TOPCClientFixture : public ::testing::Test {
protected:
    TTestContext T;
    TPLCCollection PLCs{T.Context};
    THitachiPLC& PLC1 = PLCs.AddPLC();
    TOPCDAConnectionCollection Connections{(T.Context.PLCs = &PLCs, T.Context)};
    TComPtr<TDA2ClassFactory> Factory = MakeCom<TDA2ClassFactory>(T.Context, Connections);
    TComPtr<IOPCServer> Server;
    TComPtr<IUnknown> GroupUnknown;
    TComPtr<IOPCItemMgt> Items;
    OPCHANDLE GroupHandle = 0;
    std::uint32_t RevisedRate = 0;

    void SetUp() override {
        TComPtr<IUnknown> unknown;
        ASSERT_EQ(Factory->CreateInstance(nullptr, IOPCServer::Iid, unknown), S_OK);
        Server = InterfaceOf<IOPCServer>(unknown);
        ASSERT_TRUE(Server);
        ASSERT_EQ(Server->AddGroup("G1", 1, 1000, 77, nullptr, nullptr, 1033, GroupHandle, RevisedRate,
                                   IOPCItemMgt::Iid, GroupUnknown),
                  S_OK);
        Items = InterfaceOf<IOPCItemMgt>(GroupUnknown);
        ASSERT_TRUE(Items);
    }

    static TOPCItemDef Def(const std::string& id, VARTYPE type = VT_EMPTY, OPCHANDLE client = 0,
                           bool active = true) {
        TOPCItemDef def;
        def.ItemID = id;
        def.RequestedDataType = type;
        def.ClientHandle = client;
        def.Active = active ? 1 : 0;
        return def;
    }

    // Adds one item that must succeed; returns its server handle.
    OPCHANDLE Add(const std::string& id, VARTYPE type = VT_EMPTY, OPCHANDLE client = 0, bool active = true) {
        std::vector<TOPCItemResult> results;
        std::vector<HRESULT> errors;
        EXPECT_EQ(Items->AddItems({Def(id, type, client, active)}, results, errors), S_OK) << id;
        return results.empty() ? 0xFFFFFFFFu : results[0].ServerHandle;
    }

    THitachiLocation* Word(std::uint32_t address) { return PLC1.FindLocation(10, address, false); }
};

} // namespace dravon::test
