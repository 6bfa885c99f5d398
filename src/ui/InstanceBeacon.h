// Lets a second start of kzmnt hand over to the copy that runs: the running window listens
// on a local socket beside its single-instance lock; a second start connects, asks it to
// come to the front and waits, bounded, for its answer.
//
// The exchange is one line each way: the caller sends "raise\n", the window answers "ok\n"
// once it has come to the front. A connection that sends nothing else is dropped after a
// few seconds.
//
// Thread-safety: a beacon belongs to the GUI thread; RaiseRunning blocks its caller's
// thread and needs no event loop.
#pragma once

#include <QObject>
#include <QString>

class QLocalServer;
class QWidget;

namespace kz::ui {

class CInstanceBeacon : public QObject {
    Q_OBJECT
  public:
    explicit CInstanceBeacon(QObject* parent = nullptr);

    // Listens at path. Only the copy that holds the single-instance lock may call it: a
    // socket file left there by a copy that crashed is removed first. False when the
    // socket cannot be made (the program then runs on without it).
    bool Listen(const QString& path);

    // Asks the copy listening at path to come to the front. True when it answered within
    // timeoutMs.
    static bool RaiseRunning(const QString& path, int timeoutMs = 3000);

    // The socket's path for a lock file: beside it, in the same private folder.
    static QString PathForLock(const std::string& lockPath);

  signals:
    // A second start asked for the window.
    void raiseRequested();

  private:
    void OnConnection();

    QLocalServer* m_pServer;
};

// Brings window to the front: out of the minimised state, raised and activated; where the
// desktop refuses to hand over the focus, the task bar entry asks for attention instead.
void BringToFront(QWidget* window);

}  // namespace kz::ui
