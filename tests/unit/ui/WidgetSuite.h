// The one way the widget tests are built: a QApplication per suite and the main window (with its dialogs)
// over a test context whose PLCs attach to stand-in drivers.
#pragma once

#include "plc/HitachiPLC.h"
#include "plc/PLCCollection.h"
#include "support/FakeDriverPool.h"
#include "support/FakeHostResolver.h"
#include "support/QtApplication.h"
#include "support/TestContext.h"
#include "ui/MainWindow.h"
#include "ui/MonitorList.h"

#include <QApplication>

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace dravon::test {

using TWidgetSuite = TQtSuite<QApplication>;

class TWindowTest : public TWidgetSuite {
protected:
    TWindowTest() {
        T.Context.Resolver = &Resolver;
        T.Context.PLCs = &PLCs;
        PLCs.SetDriverPool(&Pool);
        Window = std::make_unique<TfrmMain>(T.Context, Positions);
        T.Log.AddView(Window.get());
    }
    ~TWindowTest() override {
        T.Log.RemoveView(Window.get());
        Window.reset();
    }
    // A PLC on loopback, so that no stand-in driver points at the default host either.
    THitachiPLC& AddPlc(const char* name = nullptr, int drvType = DriverTcp, const char* host = "127.0.0.1") {
        THitachiPLC& plc = PLCs.AddPLC();
        if (name) plc.Name = name;
        plc.SetHost(host);
        plc.SetConnection(drvType, drvType == DriverSerial ? ProtocolStandard
                                   : drvType               ? ProtocolEthernet
                                                           : 0);
        return plc;
    }
    // The location an OPC item would hold: resolved and referenced.
    THitachiLocation& Use(const std::string& itemId) {
        THitachiLocation* location = PLCs.ResolveItemId(itemId).Location;
        EXPECT_NE(location, nullptr) << itemId;
        location->AddRef();
        return *location;
    }
    // The first column of a list's rows, one blank between them.
    static QString Captions(const TMonitorList* list) {
        QStringList captions;
        for (int i = 0; list && i < list->RowCount(); ++i) captions << list->Row(i)->text(0);
        return captions.join(' ');
    }

    TTestContext T;
    TFakeHostResolver Resolver;
    TFakeDriverPool Pool;
    TPLCCollection PLCs{T.Context};
    TPositions Positions;
    std::unique_ptr<TfrmMain> Window;
    QStringList Errors; // the dialogs' error boxes
};

} // namespace dravon::test
