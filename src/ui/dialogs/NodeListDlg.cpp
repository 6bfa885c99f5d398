#include "ui/dialogs/NodeListDlg.h"
#include "ui/DialogLayout.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QPushButton>
#include <QThread>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>

#include "config/MessageIds.h"
#include "lan/NetworkSearch.h"
#include "ui/UiText.h"
#include "ui/dialogs/NetworkSearchDlg.h"

namespace kz::ui {

namespace {
constexpr int kCaption = 20316;
constexpr int kExecuteText = 20317;
constexpr int kCancelText = 20310;
constexpr int kDefaultPort = 8000;
constexpr int kColumnWidth = 120;
}  // namespace

CNodeListDlg::CNodeListDlg(std::vector<std::string> nodes,
                           std::function<void(const QString&)> addStatusLine, QWidget* parent)
    : QDialog(parent),
      m_nodes(std::move(nodes)),
      m_addStatusLine(std::move(addStatusLine)),
      m_search([](int port, const std::string& target) { return lan::SearchNodes(port, target); }) {
    setWindowTitle(Text(kCaption));
    m_pSearch = new QPushButton(QString::fromStdString(lan::LocalNetworkCaption()), this);
    SetControlId(m_pSearch, kSearch);
    m_pList = new QTreeWidget(this);
    SetControlId(m_pList, kList);
    m_pList->setRootIsDecorated(false);
    m_pList->setSelectionMode(QAbstractItemView::SingleSelection);
    m_pList->setHeaderLabels({Text(msg::kIpAddressColumn), Text(msg::kSituationColumn)});
    m_pList->header()->setStretchLastSection(false);
    m_pExecute = new QPushButton(Text(kExecuteText), this);
    SetControlId(m_pExecute, kExecute);
    m_pCancel = new QPushButton(Text(kCancelText), this);
    SetControlId(m_pCancel, kCancel);

    connect(m_pSearch, &QPushButton::clicked, this, &CNodeListDlg::OnNewSearch);
    connect(m_pExecute, &QPushButton::clicked, this, &CNodeListDlg::OnExecute);
    connect(m_pList, &QTreeWidget::itemDoubleClicked, this, &CNodeListDlg::OnExecute);
    connect(m_pCancel, &QPushButton::clicked, this, &CNodeListDlg::reject);
    m_pExecute->setDefault(true);

    QHBoxLayout* buttons = ButtonRow({m_pExecute, m_pCancel});
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_pSearch);
    layout->addWidget(m_pList);
    layout->addLayout(buttons);
    FillList();
    FinishDialog(this);
}

CNodeListDlg::~CNodeListDlg() {
    // The search cannot be interrupted; its thread must end before the dialog goes.
    if (m_pThread != nullptr) {
        m_pThread->wait();
        delete m_pThread;
    }
}

void CNodeListDlg::FillList() {
    m_pList->clear();
    for (const std::string& node : m_nodes) {
        m_pList->addTopLevelItem(new QTreeWidgetItem({DisplayText(node), QString()}));
    }
    if (m_nodes.empty()) {
        m_pList->addTopLevelItem(new QTreeWidgetItem({QString(), Text(msg::kKzNotFound)}));
    }
    // The first row is selected, so that Execute (or Enter) takes it at once.
    m_pList->setCurrentItem(m_pList->topLevelItem(0));
    // 120 pixels each, wider where a text (a longer translation) would be cut.
    int width = 2 * m_pList->frameWidth() + 4;
    for (int column = 0; column < 2; ++column) {
        m_pList->resizeColumnToContents(column);
        m_pList->setColumnWidth(column, std::max(kColumnWidth, m_pList->columnWidth(column)));
        width += m_pList->columnWidth(column);
    }
    m_pList->setMinimumWidth(std::max(m_pList->minimumWidth(), width));
}

void CNodeListDlg::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    // The top-right corner on the top-right corner of the parent's window, once.
    if (!m_bPlaced && parentWidget() != nullptr) {
        m_bPlaced = true;
        const QWidget* owner = parentWidget();
        const QPoint topRight = owner->mapToGlobal(QPoint(owner->width(), 0));
        move(topRight.x() - frameGeometry().width(), topRight.y());
    }
}

void CNodeListDlg::OnExecute() {
    const QList<QTreeWidgetItem*> selected = m_pList->selectedItems();
    if (selected.isEmpty() || Searching()) {
        return;
    }
    m_csAddress = ToBytes(selected.front()->text(0));
    m_nPort = kDefaultPort;
    accept();
}

void CNodeListDlg::reject() {
    if (!Searching()) {
        QDialog::reject();
    }
}

void CNodeListDlg::AddStatusLine(int id) {
    if (m_addStatusLine) {
        m_addStatusLine(Text(id));
    }
}

void CNodeListDlg::SetButtonsEnabled(bool enable) {
    for (QWidget* w : std::initializer_list<QWidget*>{m_pSearch, m_pExecute, m_pCancel}) {
        w->setEnabled(enable);
    }
}

void CNodeListDlg::OnNewSearch() {
    if (Searching()) {
        return;
    }
    // Cancelling the new search keeps the panels found so far; they go only when the
    // search really starts.
    CNetworkSearchDlg input(this);
    if (input.exec() != QDialog::Accepted) {
        return;
    }
    m_pList->clear();
    m_nodes.clear();
    const int port = input.Port();
    std::string target;
    QString caption;
    if (!input.Address().empty()) {
        m_csAddress = input.Address();
        m_nPort = port;
        target = lan::SearchCaption(m_csAddress, m_nPort);
        caption = QString::fromStdString(target);
    } else {
        m_csAddress.clear();
        m_nPort = kDefaultPort;
        caption = QString::fromStdString(lan::LocalNetworkCaption());
    }
    m_pSearch->setText(caption);
    AddStatusLine(msg::kSearching);

    SetButtonsEnabled(false);
    auto found = std::make_shared<std::vector<std::string>>();
    m_found = found;
    m_pThread = QThread::create(
        [search = m_search, found, port, target] { *found = search(port, target); });
    connect(m_pThread, &QThread::finished, this, &CNodeListDlg::OnSearchDone);
    m_pThread->start();
}

void CNodeListDlg::OnSearchDone() {
    m_pThread->deleteLater();
    m_pThread = nullptr;
    m_nodes = std::move(*m_found);
    m_found.reset();
    AddStatusLine(msg::kSearchEnd);
    FillList();
    SetButtonsEnabled(true);
    emit searchFinished();
}

}  // namespace kz::ui
