#include "ui/dialogs/NetworkSearchDlg.h"
#include "ui/DialogLayout.h"

#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

#include "config/MessageIds.h"
#include "lan/NetworkSearch.h"
#include "ui/UiText.h"

namespace kz::ui {

namespace {

constexpr int kCaption = 20318;
constexpr int kExplain = 20319;
constexpr int kExplainEmpty = 20320;
constexpr int kExample = 20321;
constexpr int kPortLabel = 20322;
constexpr int kOkText = 20314;
constexpr int kCancelText = 20310;
constexpr int kIntegerRange = 61714;
constexpr int kDefaultPort = 8000;

// The text as the search reads it: blanks trimmed at both ends, cut at the first character
// that is neither a digit nor '.'.
QString TrimmedAndCut(const QString& text) {
    const QString trimmed = text.trimmed();
    qsizetype end = 0;
    while (end < trimmed.size()) {
        const char16_t c = trimmed[end].unicode();
        if (!((c >= u'0' && c <= u'9') || c == u'.')) {
            break;
        }
        ++end;
    }
    return trimmed.left(end);
}

QLabel* WrappedLabel(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setWordWrap(true);
    return label;
}

}  // namespace

CNetworkSearchDlg::CNetworkSearchDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle(Text(kCaption));
    m_pAddress = new QLineEdit(this);
    SetControlId(m_pAddress, kAddress);
    m_pPort = new QLineEdit(QString::number(kDefaultPort), this);
    SetControlId(m_pPort, kPort);
    const int digit = m_pAddress->fontMetrics().horizontalAdvance(QLatin1Char('0'));
    m_pAddress->setMinimumWidth(digit * 18);
    m_pPort->setMaximumWidth(digit * 10);

    auto* ok = new QPushButton(Text(kOkText), this);
    SetControlId(ok, kOk);
    ok->setDefault(true);
    auto* cancel = new QPushButton(Text(kCancelText), this);
    SetControlId(cancel, kCancel);
    connect(ok, &QPushButton::clicked, this, &CNetworkSearchDlg::OnOk);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);

    auto* form = new QFormLayout;
    form->addRow(Text(msg::kIpAddressColumn), m_pAddress);
    form->addRow(Text(kPortLabel), m_pPort);
    QHBoxLayout* buttons = ButtonRow({ok, cancel});

    auto* explain = WrappedLabel(Text(kExplain) + QLatin1Char('\n') + Text(kExplainEmpty), this);
    explain->setMinimumWidth(digit * 52);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(explain);
    layout->addWidget(WrappedLabel(Text(kExample), this));
    layout->addLayout(form);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    m_pAddress->setFocus();
    FinishDialog(this);
}

void CNetworkSearchDlg::OnOk() {
    m_csAddress = lan::NormalizeAddress(ToBytes(m_pAddress->text()));
    if (!m_csAddress.empty()) {
        m_pAddress->setText(QString::fromStdString(m_csAddress));
    }

    const QString port = TrimmedAndCut(m_pPort->text());
    if (port.isEmpty()) {
        m_nPort = kDefaultPort;
        accept();
        return;
    }
    const std::optional<int> parsed = lan::ParsePort(ToBytes(port));
    if (!parsed) {
        QMessageBox::warning(
            this, Text(msg::kAppTitle),
            Text(kIntegerRange)
                .arg(QString::number(lan::kMinUserPort), QString::number(lan::kMaxUserPort)));
        m_pPort->setFocus();
        m_pPort->selectAll();
        return;
    }
    m_nPort = *parsed;
    m_pPort->setText(port);
    accept();
}

}  // namespace kz::ui
