#include "ui/DialogLayout.h"

#include <QAbstractScrollArea>
#include <QApplication>
#include <QBoxLayout>
#include <QDialog>
#include <QEvent>
#include <QLineEdit>

namespace kz::ui {

namespace {

// Room beside the title for the window's icon, its close button and the frame.
constexpr int kTitleBarExtra = 140;

// Keeps the dialog at least as wide as its title needs: a zero-height strut at the foot of
// its box layout, so that a fixed-size layout grows with it, else its minimum width.
class TitleFitter : public QObject {
  public:
    TitleFitter(QDialog* dialog, QWidget* strut)
        : QObject(dialog), m_dialog(dialog), m_strut(strut) {
        Fit();
    }

    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == m_dialog &&
            (event->type() == QEvent::WindowTitleChange || event->type() == QEvent::FontChange)) {
            Fit();
        }
        return QObject::eventFilter(watched, event);
    }

  private:
    void Fit() {
        const int width = TitleWidth(m_dialog, m_dialog->windowTitle());
        if (m_strut == nullptr) {
            m_dialog->setMinimumWidth(width);
            return;
        }
        const QMargins margins =
            m_dialog->layout() != nullptr ? m_dialog->layout()->contentsMargins() : QMargins();
        m_strut->setMinimumWidth(std::max(0, width - margins.left() - margins.right()));
    }

    QDialog* m_dialog;
    QWidget* m_strut;
};

}  // namespace

int TitleWidth(const QWidget* dialog, const QString& title) {
    QFont font = QApplication::font("QMdiSubWindowTitleBar");
    font.setBold(true);
    const int text = std::max(QFontMetrics(font).horizontalAdvance(title),
                              dialog->fontMetrics().horizontalAdvance(title));
    return text + kTitleBarExtra;
}

void FinishDialog(QDialog* dialog) {
    dialog->setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    QWidget* strut = nullptr;
    if (auto* box = qobject_cast<QBoxLayout*>(dialog->layout())) {
        strut = new QWidget(dialog);
        strut->setObjectName(QStringLiteral("titleStrut"));
        strut->setFixedHeight(0);
        box->addWidget(strut);
    }
    dialog->installEventFilter(new TitleFitter(dialog, strut));
}

void ShowReadOnly(QLineEdit* edit, bool readOnly) {
    edit->setReadOnly(readOnly);
    QPalette palette = edit->palette();
    const QPalette normal = QApplication::palette(edit);
    palette.setBrush(QPalette::Base, normal.brush(readOnly ? QPalette::Window : QPalette::Base));
    edit->setPalette(palette);
}

void ShowReadOnly(QAbstractScrollArea* view) {
    QPalette palette = view->viewport()->palette();
    palette.setBrush(QPalette::Base, QApplication::palette(view).brush(QPalette::Window));
    view->setPalette(palette);
}

}  // namespace kz::ui
