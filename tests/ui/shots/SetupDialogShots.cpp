#include <QAbstractButton>
#include <QLineEdit>
#include <QTreeWidget>

#include "Shots.h"
#include "UiTestSupport.h"
#include "ui/UiText.h"
#include "ui/dialogs/AboutDlg.h"
#include "ui/dialogs/NetworkSearchDlg.h"
#include "ui/dialogs/NodeListDlg.h"
#include "ui/dialogs/PasswordDlg.h"
#include "ui/dialogs/PowerResetDlg.h"
#include "ui/dialogs/TransferSetupDlg.h"

namespace kz::shots {

using namespace kz::ui;

std::vector<Shot> SetupDialogShots() {
    return {
        // The sample settings: serial, COM3 mapped to a USB adapter.
        {"transfer-setup-sio", [] { return new CTransferSetupDlg; }},
        // The device list as a small device tree describes it: a USB adapter with maker,
        // product and serial number, one that tells only its product, and a plain port.
        {"transfer-setup-devices",
         [] {
             static const test::TempDir root;
             static const bool made = (uitest::MakeSerialDeviceTree(root), true);
             (void)made;
             return new CTransferSetupDlg(nullptr, root.str());
         }},
        {"transfer-setup-ethernet",
         [] {
             auto* dlg = new CTransferSetupDlg;
             FindControl<QAbstractButton>(dlg, CTransferSetupDlg::kEthernet)->click();
             return dlg;
         }},
        {"password",
         [] {
             auto* dlg = new CPasswordDlg;
             FindControl<QLineEdit>(dlg, CPasswordDlg::kEdit)->setText("secret");
             return dlg;
         }},
        {"power-reset-wait", [] { return new CPowerResetDlg([] {}); }},
        {"node-list",
         [] {
             auto* dlg = new CNodeListDlg({"192.168.1.20", "192.168.1.31"}, {});
             auto* list = FindControl<QTreeWidget>(dlg, CNodeListDlg::kList);
             list->topLevelItem(0)->setSelected(true);
             return dlg;
         }},
        {"node-list-none", [] { return new CNodeListDlg({}, {}); }},
        {"network-search",
         [] {
             auto* dlg = new CNetworkSearchDlg;
             FindControl<QLineEdit>(dlg, CNetworkSearchDlg::kAddress)->setText("192.9.201.3");
             return dlg;
         }},
        {"about", [] { return new CAboutDlg; }},
    };
}

}  // namespace kz::shots
