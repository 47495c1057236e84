// The add-to-monitor dialog as the operator uses it: typed item IDs and counted runs into
// the local monitor list of the main window, and the browse tree filled as it is opened.
#include "ui/AddMonitorDialog.h"
#include "plc/HitachiLocation.h"
#include "plc/HitachiPLC.h"
#include "plc/PLCCollection.h"
#include "support/FakeDriverPool.h"
#include "support/FakeHostResolver.h"
#include "support/TestContext.h"
#include "ui/ConfigDialog.h"
#include "ui/MainWindow.h"
#include "ui/MonitorList.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include <memory>

namespace dravon {
namespace {

TEST(BranchPathToAddress, PathsGiveTheAddressTheyStandFor) {
    EXPECT_EQ(BranchPathToAddress("/"), "");
    EXPECT_EQ(BranchPathToAddress("/PLC1/"), "PLC1.");
    EXPECT_EQ(BranchPathToAddress("/Sys/"), "Sys.");
    EXPECT_EQ(BranchPathToAddress("/PLC1/WR/"), "PLC1.WR");
    EXPECT_EQ(BranchPathToAddress("/PLC1/WR/WR0xxx/"), "PLC1.WR0");
    EXPECT_EQ(BranchPathToAddress("/PLC1/WR/WR0xxx/WR01xx/"), "PLC1.WR01");
    EXPECT_EQ(BranchPathToAddress("/PLC1/WR/WR0XXX/"), "PLC1.WR0");
    // The memory types X and WX keep their names.
    EXPECT_EQ(BranchPathToAddress("/PLC1/X/"), "PLC1.X");
    EXPECT_EQ(BranchPathToAddress("/PLC1/WX/"), "PLC1.WX");
    EXPECT_EQ(BranchPathToAddress("/PLC1/X/X0xxxx/"), "PLC1.X0");
}

class AddMonitorDialogTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        static int argc = 1;
        static char name[] = "dravon-ui-test";
        static char* argv[] = {name, nullptr};
        if (!QApplication::instance()) App() = std::make_unique<QApplication>(argc, argv);
    }
    static void TearDownTestSuite() { App().reset(); }
    static std::unique_ptr<QApplication>& App() {
        static std::unique_ptr<QApplication> app;
        return app;
    }

    AddMonitorDialogTest() {
        T.Context.Resolver = &Resolver;
        T.Context.PLCs = &PLCs;
        PLCs.SetDriverPool(&Pool);
        THitachiPLC& plc = PLCs.AddPLC();
        plc.SetHost("127.0.0.1");
        plc.SetConnection(2, ProtocolEthernet);
        Plc = &plc;
        Window = std::make_unique<TfrmMain>(T.Context, Positions);
        Window->Refresh();
        Dialog = &Window->AddMonitorDialog();
        Dialog->ShowErrorMessage = [this](const QString& text) { Messages << text; };
    }
    ~AddMonitorDialogTest() override { Window.reset(); }

    // Types the address and the count and presses Add.
    bool Add(const QString& address, const QString& count) {
        Dialog->AddressEdit()->setText(address);
        Dialog->CountEdit()->setText(count);
        return Dialog->AddEnteredLocations();
    }
    QStringList LocalCaptions() const {
        QStringList captions;
        for (int i = 0; i < Window->LocalList()->RowCount(); ++i)
            captions << Window->LocalList()->Row(i)->text(0);
        return captions;
    }
    static QStringList Captions(const QString& plc, const QString& type,
                                std::initializer_list<const char*> numbers) {
        QStringList captions;
        for (const char* n : numbers) captions << plc + "." + type + n;
        return captions;
    }
    QTreeWidgetItem* Child(QTreeWidgetItem* node, const QString& text) const {
        for (int i = 0; node && i < node->childCount(); ++i)
            if (node->child(i)->text(0) == text) return node->child(i);
        return nullptr;
    }

    test::TTestContext T;
    test::TFakeHostResolver Resolver;
    test::TFakeDriverPool Pool;
    TPLCCollection PLCs{T.Context};
    TPositions Positions;
    THitachiPLC* Plc = nullptr;
    std::unique_ptr<TfrmMain> Window;
    TfrmAddMonitorVar* Dialog = nullptr;
    QStringList Messages;
};

TEST_F(AddMonitorDialogTest, CountedRunsNumberInTheMemoryTypesDigits) {
    // The count field 0 leaves the count in the address: 20 words, numbered in hexadecimal.
    EXPECT_TRUE(Add("plc1.wr0/20", "0"));
    QStringList expected;
    for (int i = 0; i < 20; ++i) expected << QString("PLC1.WR%1").arg(i, 4, 16, QChar('0')).toUpper();
    EXPECT_EQ(LocalCaptions(), expected);
    EXPECT_EQ(LocalCaptions().last(), "PLC1.WR0013");
    for (int i = 0; i < Window->LocalList()->RowCount(); ++i)
        EXPECT_EQ(Window->LocalList()->Row(i)->Location()->RefCount, 1);
    EXPECT_TRUE(Messages.isEmpty());
}

TEST_F(AddMonitorDialogTest, TheCountFieldWinsOverTheAddressCount) {
    EXPECT_TRUE(Add("plc1.wr100", "5"));
    EXPECT_EQ(LocalCaptions(), Captions("PLC1", "WR", {"0100", "0101", "0102", "0103", "0104"}));
    // With a count in the field the text after "/" is no number: just the address.
    EXPECT_TRUE(Add("plc1.wr200/20", "1"));
    EXPECT_EQ(LocalCaptions().size(), 6);
    EXPECT_TRUE(LocalCaptions().contains("PLC1.WR0200"));
    // An empty count field counts as 0.
    EXPECT_TRUE(Add("plc1.wr300/2", ""));
    EXPECT_EQ(LocalCaptions().size(), 8);
}

TEST_F(AddMonitorDialogTest, DecimalSubAddressesAndBitRunsSkipInvalidNumbers) {
    // CL numbers in decimal.
    EXPECT_TRUE(Add("plc1.cl0008/3", "0"));
    EXPECT_EQ(LocalCaptions(), Captions("PLC1", "CL", {"00008", "00009", "00010"}));
    Window->LocalList()->selectAll();
    Window->Tree()->setCurrentItem(Window->LocalMonitorNode());
    Window->DeleteSelectedLocal();
    // X: two decimal digits after the hexadecimal ones; X00195 goes on with X00200 and
    // never back to X00160.
    EXPECT_TRUE(Add("plc1.x00195/3", "0"));
    EXPECT_EQ(LocalCaptions(), Captions("PLC1", "X", {"00195", "00200", "00201"}));
}

TEST_F(AddMonitorDialogTest, RunsStopAtTheMemoryTypesLastAddress) {
    EXPECT_TRUE(Add("plc1.wrfffe/5", "0"));
    EXPECT_EQ(LocalCaptions(), Captions("PLC1", "WR", {"FFFE", "FFFF"}));
}

TEST_F(AddMonitorDialogTest, LongRunsAreLimitedShowProgressAndLockTheDialog) {
    Dialog->show();
    int calls = 0;
    bool locked = true;
    Dialog->ProgressObserver = [&](int handled) {
        ++calls;
        locked = locked && Dialog->Busy() && !Dialog->AddButton()->isEnabled() &&
                 !Dialog->OkButton()->isEnabled() && !Dialog->CloseButton()->isEnabled() &&
                 Dialog->AddressLabel()->text() == "Progress:" && Dialog->Progress()->isVisible() &&
                 !Dialog->AddressEdit()->isVisible() && Dialog->Progress()->maximum() == 1024 &&
                 Dialog->Progress()->value() == handled;
        // The dialog refuses to close meanwhile.
        if (handled == 100) Dialog->reject();
    };
    // The count field itself holds at most 1024; a count in the address is limited too.
    Dialog->CountEdit()->setText("5000");
    EXPECT_LE(Dialog->CountEdit()->text().toInt(), 1024);
    Dialog->CountEdit()->setText("0");
    Dialog->AddressEdit()->setText("plc1.wm0/5000");
    EXPECT_TRUE(Dialog->AddEnteredLocations());
    EXPECT_EQ(Window->LocalList()->RowCount(), 1024);
    EXPECT_EQ(LocalCaptions().last(), "PLC1.WM03FF");
    EXPECT_EQ(calls, 1024);
    EXPECT_TRUE(locked);
    EXPECT_TRUE(Dialog->isVisible());
    EXPECT_FALSE(Dialog->Busy());
    EXPECT_TRUE(Dialog->AddButton()->isEnabled());
    EXPECT_TRUE(Dialog->CloseButton()->isEnabled());
    EXPECT_EQ(Dialog->AddressLabel()->text(), "PLC address:");
    EXPECT_TRUE(Dialog->AddressEdit()->isVisible());
    EXPECT_FALSE(Dialog->Progress()->isVisible());
    EXPECT_TRUE(Window->LocalList()->updatesEnabled());

    // Ten locations or fewer: no progress.
    calls = 0;
    EXPECT_TRUE(Add("plc1.wr0", "10"));
    EXPECT_EQ(calls, 0);
    Dialog->CloseButton()->click();
    EXPECT_FALSE(Dialog->isVisible());
}

TEST_F(AddMonitorDialogTest, AnExistingRowIsSelectedNotAddedTwice) {
    EXPECT_TRUE(Add("plc1.wr5", "1"));
    EXPECT_TRUE(Add("plc1.wr6", "1"));
    THitachiLocation* wr5 = PLCs.ResolveItemId("PLC1.WR0005").Location;
    ASSERT_NE(wr5, nullptr);
    Window->LocalList()->Row(1)->setSelected(true);
    EXPECT_TRUE(Add("PLC1.WR0005", "1"));
    EXPECT_EQ(Window->LocalList()->RowCount(), 2);
    EXPECT_EQ(wr5->RefCount, 1);
    EXPECT_TRUE(wr5->DisplayRows[SlotLocal]->isSelected());
    EXPECT_FALSE(Window->LocalList()->Row(1)->isSelected());
    // A run over existing rows adds only the new ones.
    EXPECT_TRUE(Add("plc1.wr4/4", "0"));
    EXPECT_EQ(LocalCaptions(), Captions("PLC1", "WR", {"0004", "0005", "0006", "0007"}));
    EXPECT_EQ(wr5->RefCount, 1);
}

TEST_F(AddMonitorDialogTest, UnexistingAddresses) {
    for (const char* text : {"nope.wr0", "plc1.zz0", "plc1.wr10000", "plc1", ""}) {
        Messages.clear();
        EXPECT_FALSE(Add(text, "1")) << text;
        EXPECT_EQ(Messages, QStringList{"Unexisting address"}) << text;
    }
    Messages.clear();
    EXPECT_FALSE(Add("nope.wr0/5", "0"));
    EXPECT_EQ(Messages, QStringList{"Unexisting address"});
    EXPECT_EQ(Window->LocalList()->RowCount(), 0);
}

TEST_F(AddMonitorDialogTest, VariablesAreAddedOnceWhateverTheCount) {
    EXPECT_TRUE(Add("Sys.ServerUpTime/5", "0"));
    EXPECT_TRUE(Add("plc1.NumberOfTimeouts", "3"));
    EXPECT_EQ(Window->LocalList()->RowCount(), 2);
}

TEST_F(AddMonitorDialogTest, TheTreeIsFilledAsItIsOpened) {
    Dialog->show();
    ASSERT_EQ(Dialog->Tree()->topLevelItemCount(), 1);
    QTreeWidgetItem* root = Dialog->Tree()->topLevelItem(0);
    EXPECT_EQ(root->text(0), "Dravon");
    EXPECT_TRUE(root->isExpanded());
    ASSERT_EQ(root->childCount(), 2);
    EXPECT_EQ(root->child(0)->text(0), "Sys");
    QTreeWidgetItem* plc = root->child(1);
    EXPECT_EQ(plc->text(0), "PLC1");
    // Not opened yet: one placeholder.
    ASSERT_EQ(plc->childCount(), 1);
    EXPECT_EQ(plc->child(0)->text(0), "DUMMY");

    Dialog->Tree()->setCurrentItem(plc);
    EXPECT_EQ(Dialog->AddressEdit()->text(), "PLC1.");
    plc->setExpanded(true);
    ASSERT_EQ(plc->childCount(), 27);
    EXPECT_EQ(plc->child(0)->text(0), "Sys");
    QTreeWidgetItem* wr = Child(plc, "WR");
    ASSERT_NE(wr, nullptr);
    Dialog->Tree()->setCurrentItem(wr);
    EXPECT_EQ(Dialog->AddressEdit()->text(), "PLC1.WR");
    wr->setExpanded(true);
    ASSERT_EQ(wr->childCount(), 16);
    QTreeWidgetItem* level = wr->child(0);
    EXPECT_EQ(level->text(0), "WR0xxx");
    Dialog->Tree()->setCurrentItem(level);
    EXPECT_EQ(Dialog->AddressEdit()->text(), "PLC1.WR0");
    // Down to the leaves, the last digit.
    level->setExpanded(true);
    while (level->childCount() > 0 && level->child(0)->text(0).endsWith("x")) {
        level = level->child(0);
        level->setExpanded(true);
    }
    EXPECT_EQ(level->text(0), "WR000x");
    ASSERT_EQ(level->childCount(), 16);
    QTreeWidgetItem* leaf = level->child(5);
    EXPECT_EQ(leaf->text(0), "WR0005");
    Dialog->Tree()->setCurrentItem(leaf);
    EXPECT_EQ(Dialog->AddressEdit()->text(), "PLC1.WR0005");
    Dialog->CountEdit()->setText("1");
    emit Dialog->Tree()->itemDoubleClicked(leaf, 0);
    EXPECT_EQ(LocalCaptions(), QStringList{"PLC1.WR0005"});

    // Status variables are leaves of the PLC's Sys branch.
    QTreeWidgetItem* sys = plc->child(0);
    sys->setExpanded(true);
    ASSERT_GT(sys->childCount(), 1);
    Dialog->Tree()->setCurrentItem(sys->child(0));
    EXPECT_TRUE(Dialog->AddressEdit()->text().startsWith("PLC1."));

    // The configuration's OK throws the tree away; the next showing rebuilds it.
    Dialog->done(QDialog::Accepted);
    Plc->Name = "Press";
    Dialog->ClearBrowseTree();
    EXPECT_EQ(Dialog->Tree()->topLevelItemCount(), 0);
    Dialog->show();
    ASSERT_EQ(Dialog->Tree()->topLevelItemCount(), 1);
    EXPECT_EQ(Dialog->Tree()->topLevelItem(0)->child(1)->text(0), "Press");
    Dialog->done(QDialog::Rejected);
}

TEST_F(AddMonitorDialogTest, WithoutMemoryBrowsingAPlcListsOneRangeLeafPerType) {
    T.Context.Settings.AllowBrowsing = false;
    Dialog->show();
    QTreeWidgetItem* plc = Dialog->Tree()->topLevelItem(0)->child(1);
    plc->setExpanded(true);
    QTreeWidgetItem* wr = nullptr;
    for (int i = 0; i < plc->childCount(); ++i)
        if (plc->child(i)->text(0).startsWith("WR0")) wr = plc->child(i);
    ASSERT_NE(wr, nullptr);
    EXPECT_EQ(wr->childCount(), 0);
    Dialog->Tree()->setCurrentItem(wr);
    EXPECT_EQ(Dialog->AddressEdit()->text(), "PLC1.WR0");
    Dialog->done(QDialog::Rejected);
}

TEST_F(AddMonitorDialogTest, TheMainWindowsAddActionOpensTheDialogWithAnEmptyAddress) {
    Dialog->AddressEdit()->setText("plc1.wr0");
    bool opened = false;
    QTimer::singleShot(0, Dialog, [&] {
        opened = Dialog->isVisible();
        EXPECT_EQ(Dialog->AddressEdit()->text(), "");
        EXPECT_EQ(Dialog->CountEdit()->text(), "1");
        Dialog->AddressEdit()->setText("plc1.wr7");
        Dialog->OkButton()->click();
    });
    Window->Action("acAddMonLocation")->trigger();
    EXPECT_TRUE(opened);
    EXPECT_FALSE(Dialog->isVisible());
    EXPECT_EQ(LocalCaptions(), QStringList{"PLC1.WR0007"});
}

TEST_F(AddMonitorDialogTest, TheConfigurationsOkClearsTheTree) {
    Dialog->show();
    Dialog->done(QDialog::Rejected);
    ASSERT_EQ(Dialog->Tree()->topLevelItemCount(), 1);
    Window->ConfigDialog().ClearBrowseTree();
    EXPECT_EQ(Dialog->Tree()->topLevelItemCount(), 0);
}

} // namespace
} // namespace dravon
