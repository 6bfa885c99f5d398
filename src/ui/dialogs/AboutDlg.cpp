#include "ui/dialogs/AboutDlg.h"
#include "ui/DialogLayout.h"

#include <QApplication>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStyle>
#include <cstdint>
#include <string_view>

#include "platform/File.h"
#include "platform/ProgramFolder.h"
#include "ui/UiText.h"

namespace kz::ui {

namespace {
constexpr int kCaption = 20323;
constexpr int kVersion = 20324;
constexpr int kOkText = 20314;
constexpr std::string_view kEndMark = "END_TEXT";
constexpr std::uint64_t kMaxHistoryBytes = 4 << 20;
}  // namespace

QString CAboutDlg::HistoryText(const std::string& path) {
    // A regular file of reasonable size only: a FIFO in its place would hang the dialog.
    std::string bytes;
    if (platform::ReadRegularFile(path, kMaxHistoryBytes, bytes) != platform::ReadOutcome::Read) {
        return {};
    }
    QString text;
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        std::size_t end = bytes.find('\n', pos);
        const std::size_t next = end == std::string::npos ? bytes.size() : end + 1;
        if (end == std::string::npos) {
            end = bytes.size();
        }
        std::string_view line(bytes.data() + pos, end - pos);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);  // a file written with CR LF line ends
        }
        if (line.starts_with(kEndMark)) {
            break;
        }
        text += DisplayText(line);
        text += QLatin1Char('\n');
        pos = next;
    }
    return text;
}

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle(Text(kCaption));
    auto* icon = new QLabel(this);
    const QIcon appIcon = QApplication::windowIcon().isNull()
                              ? style()->standardIcon(QStyle::SP_ComputerIcon)
                              : QApplication::windowIcon();
    icon->setPixmap(appIcon.pixmap(32, 32));
    auto* version = new QLabel(Text(kVersion), this);
    auto* ok = new QPushButton(Text(kOkText), this);
    SetControlId(ok, kOk);
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);

    auto* history = new QPlainTextEdit(this);
    SetControlId(history, kHistory);
    history->setReadOnly(true);
    history->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    history->setLineWrapMode(QPlainTextEdit::NoWrap);
    history->setPlainText(HistoryText(platform::ProgramFolder() + "HISTORY.TXT"));
    const QFontMetrics metrics = history->fontMetrics();
    history->setMinimumSize(metrics.horizontalAdvance(QLatin1Char('M')) * 40,
                            metrics.lineSpacing() * 10);

    auto* grid = new QGridLayout(this);
    grid->addWidget(icon, 0, 0, Qt::AlignTop);
    grid->addWidget(version, 0, 1);
    grid->addWidget(ok, 0, 2, Qt::AlignTop);
    grid->addWidget(history, 1, 0, 1, 3);
    grid->setColumnStretch(1, 1);
    FinishDialog(this);
}

}  // namespace kz::ui
