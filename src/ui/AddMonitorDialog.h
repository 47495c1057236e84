// TfrmAddMonitorVar ("Add to monitor list"): puts locations into the local monitor list of
// the main window, typed as an item ID (optionally a counted run, "plc1.wr0/20") or picked
// from a tree that browses the address space through the same browser OPC clients use.
#pragma once

#include "opc/ComPtr.h"

#include <QDialog>

#include <functional>
#include <memory>
#include <string>

class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

namespace dravon {

struct TServerContext;
class TDA2;
class TfrmMain;
class TOPCDAConnectionCollection;

// The address a branch path stands for: "/PLC1/" gives "PLC1.", "/PLC1/WR/WR0xxx/" gives
// "PLC1.WR0" (the digit placeholders "x" dropped), the root gives an empty text.
std::string BranchPathToAddress(const std::string& path);

class TfrmAddMonitorVar : public QDialog {
    Q_OBJECT
public:
    static constexpr int MaxCount = 1024;
    // Runs longer than this show their progress and lock the buttons.
    static constexpr int ProgressAbove = 10;
    static constexpr const char* UnexistingAddress = "Unexisting address";
    static constexpr const char* PlaceholderText = "DUMMY";

    TfrmAddMonitorVar(TServerContext& context, TfrmMain& mainWindow, QWidget* parent = nullptr);
    ~TfrmAddMonitorVar() override;

    // "Add to monitor list" of the main window: address field cleared, dialog shown modally.
    void Execute();
    // Forgets the tree; the next showing builds it again from the PLC list.
    void ClearBrowseTree();
    // Adds what the address and count fields name; true when something was added or found.
    bool AddEnteredLocations();

    // Error boxes go through here; tests collect the texts.
    std::function<void(const QString&)> ShowErrorMessage;
    // Called with the number handled so far while a long run is added (tests watch the lock).
    std::function<void(int)> ProgressObserver;

    QTreeWidget* Tree() const { return tvView_; }
    QLineEdit* AddressEdit() const { return edEdit_; }
    QLineEdit* CountEdit() const { return edAmount_; }
    QProgressBar* Progress() const { return pbProgress_; }
    QLabel* AddressLabel() const { return lbAddress_; }
    QPushButton* OkButton() const { return btOK_; }
    QPushButton* CloseButton() const { return btClose_; }
    QPushButton* AddButton() const { return btAdd_; }
    bool Busy() const { return Busy_ != 0; }
    // Fills a branch node that has not been opened yet (what expanding it does).
    void PopulateBrowseNode(QTreeWidgetItem* node);

    void reject() override;

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void EnsureBrowser();
    void SelectionChanged();
    void SetBusy(int count);
    void ClearBusy();

    TServerContext& Context_;
    TfrmMain& Main_;
    // The browser's server object lives in a connection list of its own: the dialog is no
    // client, and must neither be counted nor logged as one.
    std::unique_ptr<TServerContext> BrowseContext_;
    std::unique_ptr<TOPCDAConnectionCollection> BrowseConnections_;
    TComPtr<TDA2> BrowseServer_;
    QTreeWidget* tvView_ = nullptr;
    QLabel* lbAddress_ = nullptr;
    QLineEdit* edEdit_ = nullptr;
    QLineEdit* edAmount_ = nullptr;
    QProgressBar* pbProgress_ = nullptr;
    QPushButton* btOK_ = nullptr;
    QPushButton* btClose_ = nullptr;
    QPushButton* btAdd_ = nullptr;
    std::uint8_t Busy_ = 0;
};

} // namespace dravon
