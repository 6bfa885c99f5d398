#include "ui/dialogs/HistoryDlg.h"

#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "config/MessageIds.h"
#include "ops/History.h"
#include "ui/DialogLayout.h"
#include "ui/UiIds.h"
#include "ui/UiText.h"
#include "ui/dialogs/FileDialogSupport.h"

namespace kz::ui {

CHistoryDlg::CHistoryDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle(Text(txt::kHistoryCaption));
    const std::vector<std::vector<std::string>> rows = HistoryRows(ReadHistory(HistoryPath()), 0);

    table_ = new QTreeWidget(this);
    SetControlId(table_, kTable);
    table_->setRootIsDecorated(false);
    table_->setUniformRowHeights(true);
    table_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    table_->setMinimumSize(720, 300);
    auto* empty = new QLabel(Text(msg::kHistoryNone), this);
    SetControlId(empty, kEmpty);
    if (!rows.empty()) {
        QStringList head;
        for (const std::string& cell : rows.front()) {
            head << DisplayText(cell);
        }
        table_->setHeaderLabels(head);
        QList<QTreeWidgetItem*> items;
        for (std::size_t i = 1; i < rows.size(); ++i) {
            QStringList cells;
            for (const std::string& cell : rows[i]) {
                cells << DisplayText(cell);
            }
            items << new QTreeWidgetItem(cells);
        }
        table_->addTopLevelItems(items);
        for (int column = 0; column < table_->columnCount(); ++column) {
            table_->resizeColumnToContents(column);
        }
        table_->scrollToItem(items.back());
    }
    table_->setVisible(!rows.empty());
    empty->setVisible(rows.empty());

    QPushButton* close = MakeButton(this, txt::kClose, kClose);
    close->setDefault(true);
    connect(close, &QPushButton::clicked, this, &QDialog::accept);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(empty);
    layout->addWidget(table_, 1);
    layout->addLayout(ButtonRow({close}));
}

QStringList CHistoryDlg::Rows() const {
    QStringList rows;
    for (int i = 0; i < table_->topLevelItemCount(); ++i) {
        QStringList cells;
        const QTreeWidgetItem* item = table_->topLevelItem(i);
        for (int column = 0; column < item->columnCount(); ++column) {
            cells << item->text(column);
        }
        rows << cells.join(QLatin1Char('\t'));
    }
    return rows;
}

}  // namespace kz::ui
