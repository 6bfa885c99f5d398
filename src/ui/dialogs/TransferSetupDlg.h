// Transfer Setup (dialog 130): the link (serial or LAN) and the serial line settings,
// stored in KZMNT.INI by SET. On this platform a COM port number stands for a device
// (section PORTS); the dialog shows the device of the chosen port and lets the user pick
// one of the serial devices present or type any other (a pseudo-terminal, say). A list
// shows each device present with its adapter's maker, product and serial number; choosing
// a row takes its device, and Refresh lists the devices again (an adapter plugged in
// while the dialog is open).
//
// Enter moves the focus through the fields and never stores or closes; Escape and Cancel
// close without storing.
#pragma once

#include <QDialog>
#include <string>

class QComboBox;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QTreeWidget;

namespace kz::ui {

class CTransferSetupDlg : public QDialog {
    Q_OBJECT
  public:
    // Control ids.
    static constexpr int kSio = 1025;
    static constexpr int kEthernet = 1026;
    static constexpr int kComPort = 1006;
    static constexpr int kBaudRate = 1007;
    static constexpr int kWriteTimeout = 1008;
    static constexpr int kReadTimeout = 1009;
    static constexpr int kRetry = 1010;
    static constexpr int kSet = 1011;
    static constexpr int kCancel = 2;
    // Object name of the device combo box (it has no resource id).
    static constexpr const char* kDeviceName = "serialDevice";
    // Object names of the device list and its Refresh button.
    static constexpr const char* kDeviceListName = "serialDeviceList";
    static constexpr const char* kRefreshName = "serialDeviceRefresh";

    // deviceRoot: the file system root the devices are looked up below ("/" normally; a
    // prepared tree in a test).
    explicit CTransferSetupDlg(QWidget* parent = nullptr, std::string deviceRoot = "/");

    // Lists the serial devices present again, in the list and in the device box.
    void RefreshDevices();

  protected:
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void OnSio();
    void OnEthernet();
    void OnSet();
    void OnComPortChanged(int index);
    // Fills the serial fields from the settings.
    void FillSerialFields();
    void EnableSerialFields(bool enable);
    // The next field for Enter.
    void MoveFocusOnEnter();
    // Tells the user why a setting was not saved; true when id is 0 (nothing to tell).
    bool ReportSaveError(int id);

    std::string m_csDeviceRoot;
    int m_nCommType = 0;  // 0 serial, 1 LAN
    QRadioButton* m_pSio;
    QRadioButton* m_pEthernet;
    QComboBox* m_pComPort;
    QComboBox* m_pDevice;
    QTreeWidget* m_pDeviceList;
    QPushButton* m_pRefresh;
    QComboBox* m_pBaudRate;
    QLineEdit* m_pWriteTimeout;
    QLineEdit* m_pReadTimeout;
    QLineEdit* m_pRetry;
    QPushButton* m_pSet;
    QPushButton* m_pCancel;
};

}  // namespace kz::ui
