#include "ui/dialogs/TransferSetupDlg.h"
#include "ui/DialogLayout.h"

#include <QButtonGroup>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpressionValidator>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "config/MessageIds.h"
#include "config/Settings.h"
#include "platform/SerialPorts.h"
#include "ui/UiText.h"

namespace kz::ui {

namespace {

constexpr int kCaption = 20300;
constexpr int kSioText = 20301;
constexpr int kEthernetText = 20302;
constexpr int kComPortLabel = 20303;
constexpr int kBaudRateLabel = 20304;
constexpr int kWriteTimeoutLabel = 20305;
constexpr int kReadTimeoutLabel = 20306;
constexpr int kRetryLabel = 20307;
constexpr int kSecondsText = 20308;
constexpr int kSetText = 20309;
constexpr int kCancelText = 20310;
constexpr int kDeviceLabel = 20311;
constexpr int kLinkGroup = 20325;
constexpr int kSerialGroup = 20326;
constexpr int kDevicesLabel = 20414;
constexpr int kRefreshText = 20415;
constexpr int kDeviceColumn = 20416;
constexpr int kMakerColumn = 20417;
constexpr int kProductColumn = 20418;
constexpr int kSerialColumn = 20419;
constexpr int kNoDevices = 20420;
constexpr int kColumnGap = 16;  // pixels between a column's text and the next column

constexpr int kPorts = 9;
constexpr int kMaxTimeout = 65535;
constexpr int kMaxRetry = 99;

QLineEdit* NumberEdit(QWidget* parent, int id) {
    auto* edit = new QLineEdit(parent);
    SetControlId(edit, id);
    // Digits only; ten of them still fit a 64-bit number when read back.
    edit->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), edit));
    edit->setMaxLength(10);
    edit->setMaximumWidth(edit->fontMetrics().horizontalAdvance(QLatin1Char('0')) * 12);
    return edit;
}

// The edit's number; text that is no number counts as 0.
long long NumberOf(const QLineEdit* edit) {
    bool ok = false;
    const long long value = edit->text().trimmed().toLongLong(&ok);
    return ok ? value : 0;
}

}  // namespace

CTransferSetupDlg::CTransferSetupDlg(QWidget* parent, std::string deviceRoot)
    : QDialog(parent), m_csDeviceRoot(std::move(deviceRoot)) {
    setWindowTitle(Text(kCaption));

    m_pSio = new QRadioButton(Text(kSioText), this);
    SetControlId(m_pSio, kSio);
    m_pEthernet = new QRadioButton(Text(kEthernetText), this);
    SetControlId(m_pEthernet, kEthernet);
    auto* radios = new QButtonGroup(this);
    radios->addButton(m_pSio);
    radios->addButton(m_pEthernet);

    m_pComPort = new QComboBox(this);
    SetControlId(m_pComPort, kComPort);
    for (int port = 1; port <= kPorts; ++port) {
        m_pComPort->addItem(QStringLiteral("COM%1").arg(port));
    }
    m_pDevice = new QComboBox(this);
    m_pDevice->setObjectName(QString::fromLatin1(kDeviceName));
    m_pDevice->setEditable(true);
    m_pDevice->setInsertPolicy(QComboBox::NoInsert);
    m_pDevice->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    m_pDevice->setMinimumContentsLength(36);
    m_pDeviceList = new QTreeWidget(this);
    m_pDeviceList->setObjectName(QString::fromLatin1(kDeviceListName));
    m_pDeviceList->setRootIsDecorated(false);
    m_pDeviceList->setHeaderLabels(
        {Text(kDeviceColumn), Text(kMakerColumn), Text(kProductColumn), Text(kSerialColumn)});
    m_pDeviceList->setMinimumHeight(m_pDeviceList->fontMetrics().lineSpacing() * 6);
    m_pRefresh = new QPushButton(Text(kRefreshText), this);
    m_pRefresh->setObjectName(QString::fromLatin1(kRefreshName));
    connect(m_pRefresh, &QPushButton::clicked, this, &CTransferSetupDlg::RefreshDevices);
    connect(m_pDeviceList, &QTreeWidget::itemClicked, this, [this](QTreeWidgetItem* item) {
        const QString path = item->data(0, Qt::UserRole).toString();
        if (!path.isEmpty()) {
            m_pDevice->setEditText(path);
        }
    });
    RefreshDevices();
    m_pBaudRate = new QComboBox(this);
    SetControlId(m_pBaudRate, kBaudRate);
    m_pBaudRate->addItems({QStringLiteral("9600"), QStringLiteral("19200"), QStringLiteral("38400"),
                           QStringLiteral("115200")});
    m_pWriteTimeout = NumberEdit(this, kWriteTimeout);
    m_pReadTimeout = NumberEdit(this, kReadTimeout);
    m_pRetry = NumberEdit(this, kRetry);

    m_pSet = new QPushButton(Text(kSetText), this);
    SetControlId(m_pSet, kSet);
    m_pCancel = new QPushButton(Text(kCancelText), this);
    SetControlId(m_pCancel, kCancel);

    auto* link = new QGroupBox(Text(kLinkGroup), this);
    auto* linkLayout = new QHBoxLayout(link);
    linkLayout->addWidget(m_pSio);
    linkLayout->addWidget(m_pEthernet);
    linkLayout->addStretch();

    auto* serial = new QGroupBox(Text(kSerialGroup), this);
    auto* grid = new QGridLayout(serial);
    int row = 0;
    auto addRow = [&](int label, QWidget* field, int unit = 0) {
        grid->addWidget(new QLabel(Text(label), serial), row, 0);
        grid->addWidget(field, row, 1, 1, unit != 0 ? 1 : 2);
        if (unit != 0) {
            grid->addWidget(new QLabel(Text(unit), serial), row, 2);
        }
        ++row;
    };
    addRow(kComPortLabel, m_pComPort);
    addRow(kDeviceLabel, m_pDevice);
    addRow(kBaudRateLabel, m_pBaudRate);
    addRow(kWriteTimeoutLabel, m_pWriteTimeout, kSecondsText);
    addRow(kReadTimeoutLabel, m_pReadTimeout, kSecondsText);
    addRow(kRetryLabel, m_pRetry);
    auto* devicesHead = new QHBoxLayout;
    devicesHead->addWidget(new QLabel(Text(kDevicesLabel), serial), 1);
    devicesHead->addWidget(m_pRefresh);
    grid->addLayout(devicesHead, row++, 0, 1, 3);
    grid->addWidget(m_pDeviceList, row++, 0, 1, 3);
    grid->setColumnStretch(2, 1);
    m_pComPort->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    m_pBaudRate->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    grid->setAlignment(m_pComPort, Qt::AlignLeft);
    grid->setAlignment(m_pBaudRate, Qt::AlignLeft);
    grid->setAlignment(m_pWriteTimeout, Qt::AlignLeft);
    grid->setAlignment(m_pReadTimeout, Qt::AlignLeft);
    grid->setAlignment(m_pRetry, Qt::AlignLeft);

    QHBoxLayout* buttons = ButtonRow({m_pSet, m_pCancel});

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(link);
    layout->addWidget(serial);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);

    // Enter belongs to the focus chain: no button may take it as its default.
    for (QPushButton* button : {m_pSet, m_pCancel, m_pRefresh}) {
        button->setAutoDefault(false);
        button->setDefault(false);
    }
    for (QWidget* w : std::initializer_list<QWidget*>{
             m_pSio, m_pEthernet, m_pComPort, m_pDevice, m_pDevice->lineEdit(), m_pBaudRate,
             m_pWriteTimeout, m_pReadTimeout, m_pRetry, m_pSet, m_pCancel, m_pDeviceList,
             m_pRefresh}) {
        w->installEventFilter(this);
    }

    connect(m_pSio, &QRadioButton::clicked, this, &CTransferSetupDlg::OnSio);
    connect(m_pEthernet, &QRadioButton::clicked, this, &CTransferSetupDlg::OnEthernet);
    connect(m_pSet, &QPushButton::clicked, this, &CTransferSetupDlg::OnSet);
    connect(m_pCancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(m_pComPort, &QComboBox::activated, this, &CTransferSetupDlg::OnComPortChanged);

    m_nCommType = CSettings().GetCommType();
    if (m_nCommType == 1) {
        m_pEthernet->setChecked(true);
        EnableSerialFields(false);
    } else {
        m_pSio->setChecked(true);
        FillSerialFields();
    }
    FinishDialog(this);
}

void CTransferSetupDlg::RefreshDevices() {
    const std::vector<platform::SerialPortInfo> devices =
        platform::DescribeSerialDevices(m_csDeviceRoot);
    const QString typed = m_pDevice->currentText();
    m_pDevice->clear();
    m_pDeviceList->clear();
    for (const platform::SerialPortInfo& device : devices) {
        const QString path = QString::fromStdString(device.path);
        auto* item =
            new QTreeWidgetItem({path, DisplayText(device.maker), DisplayText(device.product),
                                 DisplayText(device.serialNumber)});
        item->setData(0, Qt::UserRole, path);
        m_pDeviceList->addTopLevelItem(item);
        m_pDevice->addItem(path);
        QStringList said;
        for (const std::string* part : {&device.maker, &device.product, &device.serialNumber}) {
            if (!part->empty()) {
                said << DisplayText(*part);
            }
        }
        m_pDevice->setItemData(m_pDevice->count() - 1, said.join(QStringLiteral(" · ")),
                               Qt::ToolTipRole);
    }
    if (devices.empty()) {
        auto* none = new QTreeWidgetItem({Text(kNoDevices)});
        m_pDeviceList->addTopLevelItem(none);
        none->setFirstColumnSpanned(true);
    }
    // Every column whole: the dialog grows with the descriptions rather than cutting them.
    int width = 2 * m_pDeviceList->frameWidth() + 4;
    for (int column = 0; column < m_pDeviceList->columnCount(); ++column) {
        m_pDeviceList->resizeColumnToContents(column);
        m_pDeviceList->setColumnWidth(column, m_pDeviceList->columnWidth(column) + kColumnGap);
        width += m_pDeviceList->columnWidth(column);
    }
    m_pDeviceList->setMinimumWidth(width);
    m_pDevice->setEditText(typed);
}

void CTransferSetupDlg::FillSerialFields() {
    CSettings settings;
    const int port = settings.GetComPort();
    m_pComPort->setCurrentIndex(port >= 1 && port <= kPorts ? port - 1 : -1);
    m_pDevice->setEditText(QString::fromStdString(settings.GetSerialDeviceName(port)));
    m_pBaudRate->setCurrentIndex(settings.GetBaudIndex());
    m_pWriteTimeout->setText(QString::number(settings.GetWriteTimeout()));
    m_pReadTimeout->setText(QString::number(settings.GetReadTimeout()));
    m_pRetry->setText(QString::number(settings.GetRetry()));
}

void CTransferSetupDlg::EnableSerialFields(bool enable) {
    for (QWidget* w :
         std::initializer_list<QWidget*>{m_pComPort, m_pDevice, m_pBaudRate, m_pWriteTimeout,
                                         m_pReadTimeout, m_pRetry, m_pDeviceList, m_pRefresh}) {
        w->setEnabled(enable);
    }
}

void CTransferSetupDlg::OnSio() {
    m_nCommType = 0;
    EnableSerialFields(true);
    FillSerialFields();
}

void CTransferSetupDlg::OnEthernet() {
    m_nCommType = 1;
    EnableSerialFields(false);
}

void CTransferSetupDlg::OnComPortChanged(int index) {
    m_pDevice->setEditText(QString::fromStdString(CSettings().GetSerialDeviceName(index + 1)));
}

bool CTransferSetupDlg::ReportSaveError(int id) {
    QMessageBox::warning(this, Text(msg::kAppTitle), Text(id != 0 ? id : CSettings::kSaveFailed));
    return false;
}

void CTransferSetupDlg::OnSet() {
    CSettings settings;
    // Without the file every setter would only change memory and the user's choice would
    // be gone with this dialog.
    if (!settings.CreateIfMissing()) {
        ReportSaveError(settings.SaveError());
        return;
    }
    if (m_pEthernet->isChecked()) {
        if (!settings.SetCommType(1)) {
            ReportSaveError(settings.SaveError());
            return;
        }
        accept();
        return;
    }
    if (!settings.SetCommType(0)) {
        ReportSaveError(settings.SaveError());
        return;
    }
    // A port beyond the list (set in the file by hand) shows no selection; it is kept
    // rather than stored as port 0, which no device stands for.
    const int port =
        m_pComPort->currentIndex() >= 0 ? m_pComPort->currentIndex() + 1 : settings.GetComPort();
    const int baud = m_pBaudRate->currentIndex();
    const long long writeTimeout = NumberOf(m_pWriteTimeout);
    const long long readTimeout = NumberOf(m_pReadTimeout);
    const long long retry = NumberOf(m_pRetry);
    const struct {
        long long value;
        long long max;
        QLineEdit* edit;
    } checks[] = {{writeTimeout, kMaxTimeout, m_pWriteTimeout},
                  {readTimeout, kMaxTimeout, m_pReadTimeout},
                  {retry, kMaxRetry, m_pRetry}};
    for (const auto& check : checks) {
        if (check.value < 0 || check.value > check.max) {
            QMessageBox::warning(this, Text(msg::kAppTitle), Text(msg::kValueOutOfRange));
            check.edit->setFocus();
            check.edit->selectAll();
            return;
        }
    }
    const bool stored = settings.SetComPort(port) && settings.SetBaudIndex(baud) &&
                        settings.SetWriteTimeout(static_cast<int>(writeTimeout)) &&
                        settings.SetReadTimeout(static_cast<int>(readTimeout)) &&
                        settings.SetRetry(static_cast<int>(retry));
    if (!stored) {
        ReportSaveError(settings.SaveError());
        return;
    }
    // The device is written only when the user chose another one than the port has now,
    // so that the default names do not fill section PORTS.
    const std::string device = ToBytes(m_pDevice->currentText().trimmed());
    if (!device.empty() && device != settings.GetSerialDeviceName(port) &&
        !settings.SetSerialDeviceName(port, device)) {
        ReportSaveError(settings.SaveError());
        return;
    }
    accept();
}

void CTransferSetupDlg::MoveFocusOnEnter() {
    const QWidget* focus = focusWidget();
    QWidget* const chain[] = {m_pComPort,     m_pBaudRate, m_pWriteTimeout,
                              m_pReadTimeout, m_pRetry,    m_pSet};
    QWidget* next = m_pComPort;
    if (focus != nullptr && (focus == m_pDevice || m_pDevice->isAncestorOf(focus))) {
        next = m_pBaudRate;
    } else {
        for (std::size_t i = 0; i + 1 < std::size(chain); ++i) {
            if (focus == chain[i]) {
                next = chain[i + 1];
                break;
            }
        }
    }
    next->setFocus(Qt::TabFocusReason);
}

bool CTransferSetupDlg::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            MoveFocusOnEnter();
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void CTransferSetupDlg::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        MoveFocusOnEnter();
        return;
    }
    QDialog::keyPressEvent(event);
}

}  // namespace kz::ui
