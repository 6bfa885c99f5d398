// Node List (dialog 138): the panels a search found, to pick the one to connect to. The
// button at the top shows the current search target and starts a new search (through the
// Network Data Search dialog); the search runs on a worker thread while the buttons are
// disabled, so the window keeps painting; cancelling the search's input keeps the list.
// The first row is selected. Execute, or a double click, takes the selected node; without
// a selection nothing happens.
#pragma once

#include <QDialog>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QPushButton;
class QThread;
class QTreeWidget;

namespace kz::ui {

class CNodeListDlg : public QDialog {
    Q_OBJECT
  public:
    static constexpr int kSearch = 1026;
    static constexpr int kList = 1015;
    static constexpr int kExecute = 1027;
    static constexpr int kCancel = 1029;

    // The search: (port, target caption or empty for the local network) -> node addresses.
    using SearchFunction = std::function<std::vector<std::string>(int, const std::string&)>;

    // nodes: the addresses found before the dialog opens; addStatusLine receives the
    // search's status lines (may be empty).
    CNodeListDlg(std::vector<std::string> nodes, std::function<void(const QString&)> addStatusLine,
                 QWidget* parent = nullptr);
    ~CNodeListDlg() override;

    // After OK: the chosen node's address (empty for the "not found" row) and port 8000.
    std::string Address() const { return m_csAddress; }
    int Port() const { return m_nPort; }

    // Replaces the library search (lan::SearchNodes), e.g. for a test.
    void SetSearchFunction(SearchFunction search) { m_search = std::move(search); }
    // True while a search runs.
    bool Searching() const { return m_pThread != nullptr; }

    // Refused while a search runs: the search's result has to come back to this dialog.
    void reject() override;

  signals:
    // A search has ended and the list shows its result.
    void searchFinished();

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    void FillList();
    void OnExecute();
    void OnNewSearch();
    void OnSearchDone();
    void SetButtonsEnabled(bool enable);
    void AddStatusLine(int id);

    std::vector<std::string> m_nodes;
    std::function<void(const QString&)> m_addStatusLine;
    SearchFunction m_search;
    QPushButton* m_pSearch;
    QTreeWidget* m_pList;
    QPushButton* m_pExecute;
    QPushButton* m_pCancel;
    QThread* m_pThread = nullptr;
    std::shared_ptr<std::vector<std::string>> m_found;
    std::string m_csAddress;
    int m_nPort = 8000;
    bool m_bPlaced = false;
};

}  // namespace kz::ui
