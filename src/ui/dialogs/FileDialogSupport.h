// Pieces shared by the file selection, comment, model-information and property dialogs:
// their string ids, the recent-file list, the image file-open dialog, the comment edit and
// the grid that shows an image's or a panel's identity and memory areas.
//
// Thread-safety: GUI thread only (Qt widgets).
#pragma once

#include <QString>
#include <optional>
#include <string>
#include <vector>

class QComboBox;
class QGridLayout;
class QLineEdit;
class QListWidget;
class QPushButton;
class QWidget;

namespace kz::ui {

// String ids of these dialogs.
namespace txt {
inline constexpr int kOk = 20200;
inline constexpr int kCancel = 20201;
inline constexpr int kBrowser = 20202;
inline constexpr int kAutoFileName = 20203;
inline constexpr int kComment = 20204;
inline constexpr int kFileName = 20205;
inline constexpr int kCoreId = 20206;
inline constexpr int kModel = 20207;
inline constexpr int kIoCode = 20208;
inline constexpr int kFeprom = 20209;
inline constexpr int kSram = 20210;
inline constexpr int kPropertyCaption = 20211;
inline constexpr int kCommentEditCaption = 20212;
inline constexpr int kModelInfoCaption = 20213;
inline constexpr int kRestoreWarningCaption = 20214;
inline constexpr int kFolderBrowserTitle = 20215;
inline constexpr int kRestoreWarning = 20216;
inline constexpr int kCommentNotWritten = 20217;
inline constexpr int kImageFilter = 20218;
// Existing texts of the file selection dialog.
inline constexpr int kFileSelectionCaption = 5014;
inline constexpr int kFolderSelectionCaption = 5015;
inline constexpr int kFileNameLabel = 5016;
inline constexpr int kFolderNameLabel = 5017;
}  // namespace txt

// Control ids shared by several dialogs.
namespace ctl {
inline constexpr int kOk = 1;
inline constexpr int kCancel = 2;
inline constexpr int kFeprom = 1015;
inline constexpr int kSram = 1016;
inline constexpr int kCoreId = 1017;
inline constexpr int kModel = 1018;  // the comment edit in dialogs 133 and 143
inline constexpr int kIoCode = 1019;
inline constexpr int kComment = 1020;
}  // namespace ctl

// A push button with its string-table text and control id.
QPushButton* MakeButton(QWidget* parent, int textId, int controlId);

// Which entries of the recent list a dialog offers. An entry counts as a folder when it
// names one, or names nothing and has no "." in its last part; otherwise as an image.
enum class RecentKind { Any, Images, Folders };

// Appends File1..File5 of the settings of that kind to combo, stopping at the first missing
// key, and leaves the edit part empty.
void FillRecentFiles(QComboBox* combo, RecentKind kind = RecentKind::Any);

// The folder the file dialogs start in: WORKPATH with a trailing '/' ("/" when unset).
std::string WorkFolder();

// Runs the file-open dialog for backup images (filter "File(*.MEM)", any letter case),
// starting in folder (WorkFolder() when empty). The name may name a file that does not
// exist yet (a new backup). The chosen path as the user gave it, or nullopt on Cancel.
std::optional<std::string> BrowseImageFile(QWidget* parent, const QString& caption,
                                           const std::string& folder = {});

// Makes edit a comment edit: at most 64 characters, and what the user types is cut to the
// bytes an image stores (kCommentLimit), so the edit shows what OK will store.
void MakeCommentEdit(QLineEdit* edit);

// The comment of the image at path, or nullopt when its header does not load.
std::optional<std::string> ImageComment(const std::string& path);

// The read-only fields of an image's or a panel's identity in grid rows from row on:
// core ID 1017, model 1018, I/O code 1019, comment 1020, then the FEPROM 1015 and SRAM
// 1016 lists side by side.
struct IdentityFields {
    QLineEdit* coreId = nullptr;
    QLineEdit* model = nullptr;
    QLineEdit* ioCode = nullptr;
    QLineEdit* comment = nullptr;
    QListWidget* feprom = nullptr;
    QListWidget* sram = nullptr;
};
IdentityFields AddIdentityFields(QWidget* parent, QGridLayout* grid, int row);

// Fills a list with file-derived lines.
void FillList(QListWidget* list, const std::vector<std::string>& lines);

}  // namespace kz::ui
