#include "UiTestSupport.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <memory>

#include "platform/ProgramFolder.h"

namespace kz::uitest {

ProgramFolder::ProgramFolder(const std::string& ini) {
    if (!ini.empty()) {
        dir_.Write("KZMNT.INI", ini);
    }
    platform::SetProgramFolder(dir_.str());
    SetLanguage(Language::English);
}

ProgramFolder::~ProgramFolder() {
    platform::SetProgramFolder({});
}

void WhenModal(std::function<void(QWidget*)> answer, int timeoutMs) {
    auto timer = std::make_shared<QElapsedTimer>();
    timer->start();
    auto poll = std::make_shared<std::function<void()>>();
    *poll = [answer = std::move(answer), timer, timeoutMs, poll]() mutable {
        if (QWidget* modal = QApplication::activeModalWidget()) {
            answer(modal);
            *poll = nullptr;  // breaks the self-reference
            return;
        }
        if (timer->elapsed() > timeoutMs) {
            *poll = nullptr;
            return;
        }
        QTimer::singleShot(10, [poll] {
            if (*poll) {
                (*poll)();
            }
        });
    };
    QTimer::singleShot(0, [poll] {
        if (*poll) {
            (*poll)();
        }
    });
}

}  // namespace kz::uitest
