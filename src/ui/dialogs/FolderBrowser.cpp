#include "ui/dialogs/FolderBrowser.h"

#include <QFileDialog>

#include "ui/UiText.h"
#include "ui/dialogs/FileDialogSupport.h"

namespace kz::ui {

CFolderBrowser::CFolderBrowser(QWidget* owner, std::string initialFolder)
    : m_pOwner(owner), m_csInitial(std::move(initialFolder)) {}

int CFolderBrowser::DoModal() {
    QFileDialog dialog(m_pOwner, Text(txt::kFolderBrowserTitle), DisplayText(m_csInitial));
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setOption(QFileDialog::ShowDirsOnly);
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
        return kCancel;
    }
    std::string folder = ToBytes(dialog.selectedFiles().constFirst());
    while (folder.size() > 1 && folder.back() == '/') {
        folder.pop_back();
    }
    if (folder.size() < kMaxFolderPath) {
        m_csFolder = std::move(folder);
    }
    return kOk;
}

}  // namespace kz::ui
