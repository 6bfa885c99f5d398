// The file selection, model information, restore warning, comment edit and property
// dialogs, filled as during a real session with the sample program folder.
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>

#include "Shots.h"
#include "config/ModelDefs.h"
#include "config/Settings.h"
#include "ops/memory/MemImageFile.h"
#include "ops/memory/ModelConfirm.h"
#include "ui/UiText.h"
#include "ui/dialogs/CommentDlg.h"
#include "ui/dialogs/ConfirmDlg.h"
#include "ui/dialogs/FileSelectDlg.h"
#include "ui/dialogs/PropertyDlg.h"
#include "ui/dialogs/RestoreWarningDlg.h"

namespace kz::shots {

namespace {

using namespace kz::ui;

QString InSample(const char* name) {
    return QString::fromStdString(SampleFolder() + name);
}

CFileSelectDlg* FileSelect(SelectionMode mode, const QString& name) {
    auto* dialog = new CFileSelectDlg(mode);
    FindControl<QComboBox>(dialog, CFileSelectDlg::kNameCombo)->setEditText(name);
    return dialog;
}

}  // namespace

std::vector<Shot> FileDialogShots() {
    return {
        {"file_select_backup_file",
         [] {
             auto* dialog = new CFileSelectDlg(SelectionMode::Backup);
             auto* combo = FindControl<QComboBox>(dialog, CFileSelectDlg::kNameCombo);
             combo->setCurrentIndex(0);
             FindControl<QLineEdit>(dialog, CFileSelectDlg::kCommentEdit)
                 ->setText(QString::fromUtf8("Line 4 press, after the firmware update / 更新後"));
             return dialog;
         }},
        {"file_select_backup_folder",
         [] {
             // The sample settings name files; this dialog opens with automatic names.
             CSettings().SetAutoFileName(1);
             CFileSelectDlg* dialog = FileSelect(SelectionMode::Backup, InSample("backups"));
             CSettings().SetAutoFileName(0);
             return dialog;
         }},
        {"file_select_restore",
         [] { return FileSelect(SelectionMode::Restore, InSample("sample.mem")); }},
        // A typed name OK refuses: the line under it says why.
        {"file_select_backup_hint",
         [] { return FileSelect(SelectionMode::Backup, InSample("line4-before-update")); }},
        {"file_select_cf_receive",
         [] { return FileSelect(SelectionMode::CfReceive, InSample("cf-line4")); }},
        {"model_info_backup",
         []() -> QWidget* {
             ModelInfoInput in;
             in.mode = DialogMode::Backup;
             in.coreId = "8C93";
             in.ioCode = "C3";
             in.signatureText = "8C930001";
             in.signatureRead = true;
             in.signatureKind = 1;
             in.signatureValue = 0x8C930001;
             in.comment = "Line 4 press, before the firmware update";
             in.modelName = "KZ-DEMO";
             in.fromSize = 0x100000;
             in.sramSize = 0x20000;
             const CModelDefs defs;
             return new CConfirmDlg(ConfirmModel(defs, in));
         }},
        {"restore_warning", []() -> QWidget* { return new CRestoreWarningDlg; }},
        {"comment_edit",
         []() -> QWidget* {
             auto* dialog = new CCommentDlg(QString());
             FindControl<QComboBox>(dialog, CCommentDlg::kNameCombo)
                 ->setEditText(InSample("sample.mem"));
             return dialog;
         }},
        {"property",
         []() -> QWidget* {
             MemImageFile image;
             image.LoadHeader(SampleFolder() + "sample.mem");
             return new CPropertyDlg(image);
         }},
    };
}

}  // namespace kz::shots
