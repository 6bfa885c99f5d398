// Network Data Search (dialog 139): the address and port of one panel to search for. An
// empty address means the PC's own network; an empty port means 8000. OK refuses a port
// outside 1024 to 65535 with a message and the focus back in the port field.
#pragma once

#include <QDialog>
#include <string>

class QLineEdit;

namespace kz::ui {

class CNetworkSearchDlg : public QDialog {
    Q_OBJECT
  public:
    static constexpr int kAddress = 1024;
    static constexpr int kPort = 1025;
    static constexpr int kOk = 1028;
    static constexpr int kCancel = 1029;

    explicit CNetworkSearchDlg(QWidget* parent = nullptr);

    // After OK: the dotted address (empty: the local network) and the port.
    std::string Address() const { return m_csAddress; }
    int Port() const { return m_nPort; }

  private:
    void OnOk();

    QLineEdit* m_pAddress;
    QLineEdit* m_pPort;
    std::string m_csAddress;
    int m_nPort = 8000;
};

}  // namespace kz::ui
