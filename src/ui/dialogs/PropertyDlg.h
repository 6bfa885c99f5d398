// The Property dialog (dialog 131): the header of a backup image whose header the caller
// has loaded, with the memory areas of its model from the model definitions.
//
// Thread-safety: GUI thread only.
#pragma once

#include <QDialog>

#include "ops/memory/MemImageFile.h"

namespace kz::ui {

class CPropertyDlg : public QDialog {
    Q_OBJECT
  public:
    // Reads the model definitions of KZMNT.INI in the program folder.
    explicit CPropertyDlg(const MemImageFile& image, QWidget* parent = nullptr);
};

}  // namespace kz::ui
