#include "ui/dialogs/FileDialogSupport.h"

#include <QComboBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>

#include "config/Settings.h"
#include "ops/memory/MemImageFile.h"
#include "ops/memory/StartFlow.h"
#include "ui/DialogLayout.h"
#include "ui/UiText.h"

namespace kz::ui {

namespace {

constexpr int kRecentFiles = 5;

QLineEdit* AddField(QWidget* parent, QGridLayout* grid, int row, int textId, int controlId) {
    auto* edit = new QLineEdit(parent);
    ShowReadOnly(edit);
    SetControlId(edit, controlId);
    auto* label = new QLabel(Text(textId), parent);
    label->setBuddy(edit);
    grid->addWidget(label, row, 0);
    grid->addWidget(edit, row, 1, 1, 3);
    return edit;
}

}  // namespace

QPushButton* MakeButton(QWidget* parent, int textId, int controlId) {
    auto* button = new QPushButton(Text(textId), parent);
    SetControlId(button, controlId);
    return button;
}

void FillRecentFiles(QComboBox* combo, RecentKind kind) {
    CSettings settings;
    for (int n = 1; n <= kRecentFiles; ++n) {
        std::string path;
        if (!settings.GetRecentFile(n, path)) {
            break;
        }
        const QFileInfo info(QFile::decodeName(path.c_str()));
        const bool folder = info.isDir() || (!info.exists() && !info.fileName().contains('.'));
        if (kind == RecentKind::Any || folder == (kind == RecentKind::Folders)) {
            combo->addItem(DisplayText(path));
        }
    }
    combo->setCurrentIndex(-1);
    combo->clearEditText();
}

std::string WorkFolder() {
    std::string folder = CSettings().GetWorkPath();
    if (folder.empty() || folder.back() != '/') {
        folder += '/';
    }
    return folder;
}

std::optional<std::string> BrowseImageFile(QWidget* parent, const QString& caption,
                                           const std::string& folder) {
    // Qt's own dialog: the same on every desktop, and a test can drive it.
    QFileDialog dialog(parent, caption, DisplayText(folder.empty() ? WorkFolder() : folder));
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setOption(QFileDialog::ReadOnly, false);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setFilter(dialog.filter() & ~QDir::CaseSensitive);
    dialog.setNameFilter(Text(txt::kImageFilter));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return std::nullopt;
    }
    return ToBytes(dialog.selectedFiles().constFirst());
}

void MakeCommentEdit(QLineEdit* edit) {
    edit->setMaxLength(static_cast<int>(kCommentLimit));
    QObject::connect(edit, &QLineEdit::textEdited, edit, [edit](const QString& text) {
        const std::string bytes = ToBytes(text);
        const std::string limited = LimitComment(bytes);
        if (limited.size() != bytes.size()) {
            const int cursor = edit->cursorPosition();
            const QString cut = QString::fromUtf8(limited.data(), qsizetype(limited.size()));
            edit->setText(cut);
            edit->setCursorPosition(std::min(cursor, int(cut.size())));
        }
    });
}

std::optional<std::string> ImageComment(const std::string& path) {
    MemImageFile image;
    if (path.empty() || !image.LoadHeader(path)) {
        return std::nullopt;
    }
    return image.GetImageComment();
}

IdentityFields AddIdentityFields(QWidget* parent, QGridLayout* grid, int row) {
    IdentityFields f;
    f.coreId = AddField(parent, grid, row++, txt::kCoreId, ctl::kCoreId);
    f.model = AddField(parent, grid, row++, txt::kModel, ctl::kModel);
    f.ioCode = AddField(parent, grid, row++, txt::kIoCode, ctl::kIoCode);
    f.comment = AddField(parent, grid, row++, txt::kComment, ctl::kComment);
    f.feprom = new QListWidget(parent);
    f.sram = new QListWidget(parent);
    SetControlId(f.feprom, ctl::kFeprom);
    SetControlId(f.sram, ctl::kSram);
    grid->addWidget(new QLabel(Text(txt::kFeprom), parent), row, 0, 1, 2);
    grid->addWidget(new QLabel(Text(txt::kSram), parent), row++, 2, 1, 2);
    grid->addWidget(f.feprom, row, 0, 1, 2);
    grid->addWidget(f.sram, row, 2, 1, 2);
    for (QListWidget* list : {f.feprom, f.sram}) {
        ShowReadOnly(list);
        list->setMinimumWidth(list->fontMetrics().horizontalAdvance(
                                  QStringLiteral("Address=00000000 , Size=00000000")) +
                              24);
        list->setMaximumHeight(list->fontMetrics().height() * 6);
    }
    return f;
}

void FillList(QListWidget* list, const std::vector<std::string>& lines) {
    list->clear();
    for (const std::string& line : lines) {
        list->addItem(DisplayText(line));
    }
}

}  // namespace kz::ui
