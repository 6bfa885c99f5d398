#include "ui/UiText.h"

#include <QAbstractButton>

#include "config/MessageIds.h"
#include "config/StringTable.h"
#include "platform/TextEncoding.h"
#include "ui/UiIds.h"

namespace kz::ui {

QString Text(int id) {
    return QString::fromStdString(GetString(id));
}

QString StatusPart(int id) {
    const QString text = Text(id);
    return text.section(QLatin1Char('\n'), 0, 0);
}

QString TipPart(int id) {
    const QString text = Text(id);
    const qsizetype cut = text.indexOf(QLatin1Char('\n'));
    return cut < 0 ? text : text.mid(cut + 1);
}

QString DisplayText(std::string_view bytes) {
    return QString::fromStdString(platform::DisplayUtf8(bytes));
}

std::string ToBytes(const QString& text) {
    return text.toStdString();
}

QAction* MakeCommandAction(QObject* parent, int id, int textId, const QKeySequence& key) {
    auto* action = new QAction(Text(textId), parent);
    action->setObjectName(QString::number(id));
    action->setStatusTip(StatusPart(id));
    action->setToolTip(TipPart(id));
    if (!key.isEmpty()) {
        action->setShortcut(key);
    }
    return action;
}

void SetControlId(QWidget* w, int id) {
    w->setObjectName(QString::number(id));
}

QMessageBox* MakeMessageBox(QWidget* parent, QMessageBox::Icon icon, int textId, int captionId,
                            QMessageBox::StandardButtons buttons) {
    auto* box = new QMessageBox(icon, Text(captionId != 0 ? captionId : msg::kAppTitle),
                                Text(textId), buttons, parent);
    if (QAbstractButton* ok = box->button(QMessageBox::Ok)) {
        ok->setText(Text(txt::kButtonOk));
    }
    if (QAbstractButton* cancel = box->button(QMessageBox::Cancel)) {
        cancel->setText(Text(txt::kButtonCancel));
    }
    return box;
}

}  // namespace kz::ui
