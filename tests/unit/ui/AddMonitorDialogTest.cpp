// The add-to-monitor dialog as the operator uses it: typed item IDs and counted runs into
// the local monitor list of the main window, and the browse tree filled as it is opened.
#include "ui/AddMonitorDialog.h"
#include "WidgetSuite.h"
#include "plc/HitachiLocation.h"
#include "ui/AddressRun.h"
#include "ui/ConfigDialog.h"
#include "ui/MonitorList.h"

#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTreeWidget>

#include <tuple>

namespace dravon {
namespace {

TEST(AddressText, BranchPathsAndRunTexts) {
    // clang-format off
    const std::pair<const char*, const char*> paths[] = {
        {"/", ""}, {"/PLC1/", "PLC1."}, {"/Sys/", "Sys."}, {"/PLC1/WR/", "PLC1.WR"},
        {"/PLC1/WR/WR0xxx/", "PLC1.WR0"}, {"/PLC1/WR/WR0xxx/WR01xx/", "PLC1.WR01"}, {"/PLC1/WR/WR0XXX/", "PLC1.WR0"},
        // The memory types X and WX keep their names.
        {"/PLC1/X/", "PLC1.X"}, {"/PLC1/WX/", "PLC1.WX"}, {"/PLC1/X/X0xxxx/", "PLC1.X0"},
    };
    // clang-format on
    for (const auto& [path, address] : paths) EXPECT_EQ(BranchPathToAddress(path), address) << path;

    // The address field, the count field; the item ID read, whether a count was read, the count.
    // clang-format off
    const std::tuple<const char*, const char*, std::string, bool, long long> runs[] = {
        // The dialog's table has more runs.
        {"plc1.wr0/20", "0", "plc1.wr0", true, 20}, {" plc1.wr0 / 20 ", "", "plc1.wr0", true, 20},
        {"plc1.wr100", " +7 ", "plc1.wr100", true, 7}, {"plc1.wr0/-3", "0", "plc1.wr0", true, 1},
        {"plc1.wr0/x", "0", "plc1.wr0", true, 1},
        {"plc1.wr0/99999999999999999999", "0", "plc1.wr0", true, 1},
        {"plc1.wr0", "0", "plc1.wr0", false, 1}, {"plc1.wr0", "-2", "plc1.wr0", false, 1},
        {"plc1.wr0", "4294967297", "plc1.wr0", false, 1}, // no number a count field can hold
        {"plc1.wr0", "5x", "plc1.wr0", false, 1},
    };
    // clang-format on
    for (const auto& [address, countField, itemId, counted, count] : runs) {
        const TAddressRun run = ParseAddressRun(address, countField, TfrmAddMonitorVar::MaxCount);
        EXPECT_EQ(std::tuple(run.ItemId, run.Counted, run.Count), std::tuple(itemId, counted, count))
            << address << " | " << countField;
    }
}

class AddMonitorDialogTest : public test::TWindowTest {
protected:
    AddMonitorDialogTest() : Plc(AddPlc()), Dialog(Window->AddMonitorDialog()) {
        Window->Refresh();
        Dialog.ShowErrorMessage = [this](const QString& text) { Errors << text; };
    }
    // Types the address and the count and presses Add.
    bool Add(const QString& address, const QString& count) {
        Dialog.AddressEdit()->setText(address);
        Dialog.CountEdit()->setText(count);
        return Dialog.AddEnteredLocations();
    }
    QString LocalCaptions() const { return Captions(Window->LocalList()); }
    void ClearLocalList() {
        Window->Tree()->setCurrentItem(Window->LocalMonitorNode());
        Window->LocalList()->selectAll();
        Window->DeleteSelectedLocal();
    }
    static QTreeWidgetItem* Child(QTreeWidgetItem* node, const QString& text) {
        for (int i = 0; node && i < node->childCount(); ++i)
            if (node->child(i)->text(0) == text) return node->child(i);
        return nullptr;
    }

    THitachiPLC& Plc;
    TfrmAddMonitorVar& Dialog;
};

TEST_F(AddMonitorDialogTest, TypedAddressesAndCountedRuns) {
    // The address and count typed; whether Add succeeds, the local list afterwards.
    const std::tuple<const char*, const char*, bool, const char*> cases[] = {
        {"plc1.wr100", "5", true, "PLC1.WR0100 PLC1.WR0101 PLC1.WR0102 PLC1.WR0103 PLC1.WR0104"},
        // With a count in the field the text after the address's "/" is no number: just the address.
        {"plc1.wr200/20", "1", true, "PLC1.WR0200"},
        {"plc1.wr300/2", "", true, "PLC1.WR0300 PLC1.WR0301"}, // an empty count field counts as 0
        // CL numbers in decimal.
        {"plc1.cl0008/3", "0", true, "PLC1.CL00008 PLC1.CL00009 PLC1.CL00010"},
        // X: two decimal digits after the hexadecimal ones; X00195 goes on with X00200.
        {"plc1.x00195/3", "0", true, "PLC1.X00195 PLC1.X00200 PLC1.X00201"},
        // clang-format off
        // More than ten: the busy run. Numbered in hexadecimal.
        {"plc1.wr8/12", "0", true, "PLC1.WR0008 PLC1.WR0009 PLC1.WR000A PLC1.WR000B PLC1.WR000C PLC1.WR000D PLC1.WR000E PLC1.WR000F PLC1.WR0010 PLC1.WR0011 PLC1.WR0012 PLC1.WR0013"},
        // clang-format on
        // Runs stop at the memory type's last address.
        {"plc1.wrfffe/5", "0", true, "PLC1.WRFFFE PLC1.WRFFFF"},
        // Variables are added once whatever the count.
        {"Sys.ServerUpTime/5", "0", true, "Sys.ServerUpTime"},
        {"plc1.NumberOfTimeouts", "3", true, "PLC1.NumberOfTimeouts"},
        // clang-format off
        {"nope.wr0", "1", false, ""}, {"plc1.zz0", "1", false, ""}, {"plc1.wr10000", "1", false, ""},
        {"plc1", "1", false, ""}, {"", "1", false, ""}, {"nope.wr0/5", "0", false, ""},
        // clang-format on
    };
    for (const auto& [address, count, added, rows] : cases) {
        SCOPED_TRACE(address);
        ClearLocalList();
        Errors.clear();
        EXPECT_EQ(Add(address, count), added);
        EXPECT_EQ(LocalCaptions(), rows);
        EXPECT_EQ(Errors, added ? QStringList{} : QStringList{"Unexisting address"});
    }
}

TEST_F(AddMonitorDialogTest, LongRunsAreLimitedShowProgressAndLockTheDialog) {
    Dialog.show();
    int calls = 0;
    bool locked = true;
    Dialog.ProgressObserver = [&](int handled) {
        ++calls;
        locked = locked && Dialog.Busy() && !Dialog.AddButton()->isEnabled() &&
                 !Dialog.OkButton()->isEnabled() && !Dialog.CloseButton()->isEnabled() &&
                 Dialog.AddressLabel()->text() == "Progress:" && Dialog.Progress()->isVisible() &&
                 !Dialog.AddressEdit()->isVisible() && Dialog.Progress()->maximum() == 1024 &&
                 Dialog.Progress()->value() == handled;
        // The dialog refuses to close meanwhile.
        if (handled == 100) Dialog.reject();
    };
    // The count field itself holds at most 1024; a count in the address is limited too.
    for (const char* count : {"1024", "5000"}) Dialog.CountEdit()->setText(count);
    EXPECT_EQ(Dialog.CountEdit()->text(), "1024");
    EXPECT_TRUE(Add("plc1.wm0/5000", "0"));
    EXPECT_EQ(
        std::tuple(Window->LocalList()->RowCount(), LocalCaptions().endsWith(" PLC1.WM03FF"), calls, locked),
        std::tuple(1024, true, 1024, true));
    // Unlocked again.
    EXPECT_TRUE(Dialog.isVisible() && !Dialog.Busy() && Dialog.AddButton()->isEnabled() &&
                Dialog.CloseButton()->isEnabled() && Dialog.AddressEdit()->isVisible() &&
                !Dialog.Progress()->isVisible() && Window->LocalList()->updatesEnabled() &&
                Dialog.AddressLabel()->text() == "PLC address:");

    // OK leaves the dialog open after an address that does not exist. Ten locations or fewer: no progress.
    Dialog.AddressEdit()->setText("nope.wr0");
    Dialog.OkButton()->click();
    EXPECT_EQ(std::pair(Dialog.isVisible(), Errors), std::pair(true, QStringList{"Unexisting address"}));
    calls = 0;
    EXPECT_TRUE(Add("plc1.wr0", "10"));
    EXPECT_EQ(calls, 0);
    Dialog.CloseButton()->click();
    EXPECT_FALSE(Dialog.isVisible());
}

TEST_F(AddMonitorDialogTest, AnExistingRowIsSelectedNotAddedTwice) {
    EXPECT_TRUE(Add("plc1.wr5", "1"));
    EXPECT_TRUE(Add("plc1.wr6", "1"));
    THitachiLocation* wr5 = PLCs.ResolveItemId("PLC1.WR0005").Location;
    Window->LocalList()->Row(1)->setSelected(true);
    EXPECT_TRUE(Add("PLC1.WR0005", "1"));
    EXPECT_EQ(std::pair(Window->LocalList()->RowCount(), wr5->RefCount), std::pair(2, 1));
    EXPECT_TRUE(wr5->DisplayRows[SlotLocal]->isSelected() && !Window->LocalList()->Row(1)->isSelected());
    // A run over existing rows adds only the new ones.
    EXPECT_TRUE(Add("plc1.wr4/4", "0"));
    EXPECT_EQ(LocalCaptions(), "PLC1.WR0004 PLC1.WR0005 PLC1.WR0006 PLC1.WR0007");
    EXPECT_EQ(wr5->RefCount, 1);
}

TEST_F(AddMonitorDialogTest, TheTreeIsFilledAsItIsOpened) {
    Dialog.show();
    ASSERT_EQ(Dialog.Tree()->topLevelItemCount(), 1);
    QTreeWidgetItem* root = Dialog.Tree()->topLevelItem(0);
    EXPECT_TRUE(root->isExpanded());
    ASSERT_EQ(root->childCount(), 2);
    QTreeWidgetItem* plc = root->child(1);
    // Not opened yet: one placeholder.
    ASSERT_EQ(plc->childCount(), 1);
    EXPECT_EQ(root->text(0) + " " + root->child(0)->text(0) + " " + plc->text(0) + " " +
                  plc->child(0)->text(0),
              "Dravon Sys PLC1 DUMMY");

    auto pick = [&](QTreeWidgetItem* node) {
        Dialog.Tree()->setCurrentItem(node);
        return Dialog.AddressEdit()->text();
    };
    EXPECT_EQ(pick(plc), "PLC1.");
    plc->setExpanded(true);
    ASSERT_EQ(plc->childCount(), 27);
    EXPECT_EQ(plc->child(0)->text(0), "Sys");
    QTreeWidgetItem* wr = Child(plc, "WR");
    ASSERT_NE(wr, nullptr);
    EXPECT_EQ(pick(wr), "PLC1.WR");
    wr->setExpanded(true);
    ASSERT_EQ(wr->childCount(), 16);
    QTreeWidgetItem* level = wr->child(0);
    EXPECT_EQ(level->text(0) + " " + pick(level), "WR0xxx PLC1.WR0");
    // Down to the leaves, the last digit.
    level->setExpanded(true);
    while (level->childCount() > 0 && level->child(0)->text(0).endsWith("x")) {
        level = level->child(0);
        level->setExpanded(true);
    }
    EXPECT_EQ(level->text(0), "WR000x");
    ASSERT_EQ(level->childCount(), 16);
    QTreeWidgetItem* leaf = level->child(5);
    EXPECT_EQ(leaf->text(0) + " " + pick(leaf), "WR0005 PLC1.WR0005");
    Dialog.CountEdit()->setText("1");
    emit Dialog.Tree()->itemDoubleClicked(leaf, 0);
    EXPECT_EQ(LocalCaptions(), "PLC1.WR0005");

    // Status variables are leaves of the PLC's Sys branch.
    QTreeWidgetItem* sys = plc->child(0);
    sys->setExpanded(true);
    ASSERT_GT(sys->childCount(), 1);
    EXPECT_TRUE(pick(sys->child(0)).startsWith("PLC1."));

    // The configuration's OK throws the tree away; the next showing rebuilds it. Without memory
    // browsing a PLC lists one range leaf per type.
    Dialog.done(QDialog::Accepted);
    Plc.Name = "Press";
    T.Context.Settings.AllowBrowsing = false;
    Window->ConfigDialog().ClearBrowseTree();
    EXPECT_EQ(Dialog.Tree()->topLevelItemCount(), 0);
    Dialog.show();
    ASSERT_EQ(Dialog.Tree()->topLevelItemCount(), 1);
    plc = Dialog.Tree()->topLevelItem(0)->child(1);
    EXPECT_EQ(plc->text(0), "Press");
    plc->setExpanded(true);
    QTreeWidgetItem* range = nullptr;
    for (int i = 0; i < plc->childCount(); ++i)
        if (plc->child(i)->text(0).startsWith("WR0")) range = plc->child(i);
    ASSERT_NE(range, nullptr);
    EXPECT_EQ(range->childCount(), 0);
    EXPECT_EQ(pick(range), "Press.WR0");
    Dialog.done(QDialog::Rejected);
}

} // namespace
} // namespace dravon
