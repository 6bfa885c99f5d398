#include "ui/dialogs/RestoreWarningDlg.h"
#include "ui/DialogLayout.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QStyle>

#include "ui/UiIds.h"
#include "ui/UiText.h"
#include "ui/dialogs/FileDialogSupport.h"

namespace kz::ui {

CRestoreWarningDlg::CRestoreWarningDlg(QWidget* parent, const QString& safetyBackup)
    : QDialog(parent) {
    setWindowTitle(Text(txt::kRestoreWarningCaption));

    auto* icon = new QLabel(this);
    const int size = style()->pixelMetric(QStyle::PM_MessageBoxIconSize, nullptr, this);
    icon->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxWarning).pixmap(size, size));
    icon->setAlignment(Qt::AlignTop);
    auto* text = new QLabel(Text(txt::kRestoreWarning), this);
    // The text's own line breaks set the width, so no language's line is split.

    QPushButton* ok = MakeButton(this, txt::kOk, kOkButton);
    QPushButton* cancel = MakeButton(this, txt::kCancel, kCancelButton);
    ok->setDefault(true);
    cancel->setAutoDefault(false);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);

    auto* top = new QHBoxLayout;
    top->addWidget(icon);
    top->addWidget(text, 1);
    QHBoxLayout* buttons = ButtonRow({ok, cancel});
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    if (!safetyBackup.isEmpty()) {
        auto* note = new QLabel(
            Text(txt::kSafetyBackupNote).replace(QStringLiteral("%s"), safetyBackup), this);
        note->setTextFormat(Qt::PlainText);
        note->setWordWrap(true);
        note->setTextInteractionFlags(Qt::TextSelectableByMouse);
        SetControlId(note, kSafetyBackup);
        layout->addWidget(note);
    }
    layout->addLayout(buttons);
    FinishDialog(this);
}

}  // namespace kz::ui
