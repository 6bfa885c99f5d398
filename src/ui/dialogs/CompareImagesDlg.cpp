#include "ui/dialogs/CompareImagesDlg.h"

#include <QApplication>
#include <QClipboard>
#include <QFontDatabase>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

#include "ops/memory/ImageDiff.h"
#include "ui/DialogLayout.h"
#include "ui/UiIds.h"
#include "ui/UiText.h"
#include "ui/dialogs/FileDialogSupport.h"

namespace kz::ui {

CCompareImagesDlg::CCompareImagesDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle(Text(txt::kCompareCaption));
    auto* grid = new QGridLayout;
    auto addRow = [&](int row, int labelId, int editId, int browseId) {
        auto* edit = new QLineEdit(this);
        edit->setMinimumWidth(420);
        SetControlId(edit, editId);
        QPushButton* browse = MakeButton(this, txt::kBrowser, browseId);
        browse->setAutoDefault(false);
        connect(browse, &QPushButton::clicked, this, [this, edit] {
            if (const std::optional<std::string> path =
                    BrowseImageFile(this, Text(txt::kCompareCaption))) {
                edit->setText(DisplayText(*path));
            }
        });
        grid->addWidget(new QLabel(Text(labelId), this), row, 0);
        grid->addWidget(edit, row, 1);
        grid->addWidget(browse, row, 2);
        return edit;
    };
    first_ = addRow(0, txt::kCompareFirst, kFirst, kBrowseFirst);
    second_ = addRow(1, txt::kCompareSecond, kSecond, kBrowseSecond);

    result_ = new QListWidget(this);
    SetControlId(result_, kResult);
    result_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    result_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    result_->setMinimumSize(560, 240);
    result_->setContextMenuPolicy(Qt::ActionsContextMenu);
    auto* copy = new QAction(Text(txt::kCopy), result_);
    copy->setShortcut(QKeySequence::Copy);
    copy->setShortcutContext(Qt::WidgetShortcut);
    connect(copy, &QAction::triggered, this, [this] {
        QStringList lines;
        for (QListWidgetItem* item : result_->selectedItems()) {
            lines << item->text();
        }
        if (!lines.isEmpty()) {
            QApplication::clipboard()->setText(lines.join(QLatin1Char('\n')) + QLatin1Char('\n'));
        }
    });
    result_->addAction(copy);

    QPushButton* compare = MakeButton(this, txt::kCompareButton, kCompare);
    compare->setDefault(true);
    connect(compare, &QPushButton::clicked, this, &CCompareImagesDlg::Compare);
    QPushButton* close = MakeButton(this, txt::kClose, kClose);
    close->setAutoDefault(false);
    connect(close, &QPushButton::clicked, this, &QDialog::accept);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(grid);
    layout->addWidget(result_, 1);
    layout->addLayout(ButtonRow({compare, close}));
}

void CCompareImagesDlg::Compare() {
    result_->clear();
    const std::string first = ToBytes(first_->text());
    const std::string second = ToBytes(second_->text());
    if (first.empty() || second.empty()) {
        return;
    }
    const ImageComparison comparison = CompareImages(first, second);
    if (comparison.unreadable != 0) {
        result_->addItem(DisplayText(comparison.reason));
        return;
    }
    for (const std::string& line : ComparisonLines(comparison)) {
        result_->addItem(DisplayText(line));
    }
}

QStringList CCompareImagesDlg::Lines() const {
    QStringList lines;
    for (int row = 0; row < result_->count(); ++row) {
        lines << result_->item(row)->text();
    }
    return lines;
}

}  // namespace kz::ui
