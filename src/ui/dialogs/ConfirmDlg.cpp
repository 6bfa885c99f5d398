#include "ui/dialogs/ConfirmDlg.h"
#include "ui/DialogLayout.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "ui/UiText.h"
#include "ui/dialogs/FileDialogSupport.h"

namespace kz::ui {

CConfirmDlg::CConfirmDlg(const ModelInfo& info, QWidget* parent) : QDialog(parent) {
    setWindowTitle(Text(info.captionId != 0 ? info.captionId : txt::kModelInfoCaption));

    auto* message = new QLabel(DisplayText(info.message), this);
    message->setWordWrap(true);
    SetControlId(message, kMessage);
    auto* grid = new QGridLayout;
    const IdentityFields f = AddIdentityFields(this, grid, 0);
    f.coreId->setText(DisplayText(info.coreIdDisplay));
    f.model->setText(DisplayText(info.modelName));
    f.ioCode->setText(DisplayText(info.ioCode));
    f.comment->setText(DisplayText(info.comment));
    FillList(f.feprom, info.fepromList);
    FillList(f.sram, info.sramList);

    QPushButton* ok = MakeButton(this, txt::kOk, ctl::kOk);
    QPushButton* cancel = MakeButton(this, txt::kCancel, ctl::kCancel);
    ok->setDefault(true);
    cancel->setAutoDefault(false);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    QHBoxLayout* buttons = ButtonRow({ok, cancel});

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(message);
    layout->addLayout(grid);
    layout->addLayout(buttons);
    ok->setFocus();
    FinishDialog(this);
}

}  // namespace kz::ui
