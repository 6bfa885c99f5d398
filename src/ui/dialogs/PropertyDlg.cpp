#include "ui/dialogs/PropertyDlg.h"
#include "ui/DialogLayout.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>

#include "config/ModelDefs.h"
#include "ops/memory/ModelConfirm.h"
#include "ui/UiText.h"
#include "ui/dialogs/FileDialogSupport.h"

namespace kz::ui {

CPropertyDlg::CPropertyDlg(const MemImageFile& image, QWidget* parent) : QDialog(parent) {
    setWindowTitle(Text(txt::kPropertyCaption));

    const CModelDefs defs;
    const ImageProperties p = GetImageProperties(image, defs);
    auto* grid = new QGridLayout;
    const IdentityFields f = AddIdentityFields(this, grid, 0);
    f.coreId->setText(DisplayText(p.coreId));
    f.model->setText(DisplayText(p.modelName));
    f.ioCode->setText(DisplayText(p.ioCode));
    f.comment->setText(DisplayText(p.comment));
    FillList(f.feprom, p.fepromList);
    FillList(f.sram, p.sramList);

    QPushButton* ok = MakeButton(this, txt::kOk, ctl::kOk);
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    QHBoxLayout* buttons = ButtonRow({ok});
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(grid);
    layout->addLayout(buttons);
    ok->setFocus();
    FinishDialog(this);
}

}  // namespace kz::ui
