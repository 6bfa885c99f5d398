// The folder browser of the file selection dialog: Qt's own folder chooser, titled
// "Please choose a folder.", opened at an initial folder.
//
// Thread-safety: GUI thread only.
#pragma once

#include <cstddef>
#include <string>

class QWidget;

namespace kz::ui {

class CFolderBrowser {
  public:
    // Folder paths this long or longer are not taken (the chosen folder stays as it was).
    static constexpr std::size_t kMaxFolderPath = 260;
    static constexpr int kOk = 1;
    static constexpr int kCancel = 2;

    // owner: the window the browser is modal to; initialFolder: where it opens (bytes).
    CFolderBrowser(QWidget* owner, std::string initialFolder);

    // Runs the browser modally. kOk when the user chose a folder (Folder() holds it unless
    // its path was too long), kCancel otherwise.
    int DoModal();

    // The chosen folder (bytes, without a trailing '/'); empty until one was taken.
    const std::string& Folder() const { return m_csFolder; }

  private:
    QWidget* m_pOwner;
    std::string m_csInitial;
    std::string m_csFolder;
};

}  // namespace kz::ui
