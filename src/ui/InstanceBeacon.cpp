#include "ui/InstanceBeacon.h"

#include <QApplication>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTimer>
#include <QWidget>

namespace kz::ui {

namespace {
constexpr char kRaise[] = "raise\n";
constexpr char kAnswer[] = "ok\n";
// A caller that connects and says nothing is dropped after this long.
constexpr int kIdleMs = 3000;
constexpr qint64 kMaxLine = 64;
}  // namespace

CInstanceBeacon::CInstanceBeacon(QObject* parent)
    : QObject(parent), m_pServer(new QLocalServer(this)) {
    connect(m_pServer, &QLocalServer::newConnection, this, &CInstanceBeacon::OnConnection);
}

QString CInstanceBeacon::PathForLock(const std::string& lockPath) {
    return QString::fromLocal8Bit(lockPath.c_str()) + QStringLiteral(".sock");
}

bool CInstanceBeacon::Listen(const QString& path) {
    m_pServer->setSocketOptions(QLocalServer::UserAccessOption);
    if (m_pServer->listen(path)) {
        return true;
    }
    QLocalServer::removeServer(path);
    return m_pServer->listen(path);
}

void CInstanceBeacon::OnConnection() {
    while (QLocalSocket* socket = m_pServer->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        QTimer::singleShot(kIdleMs, socket, [socket] { socket->abort(); });
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            if (!socket->canReadLine()) {
                if (socket->bytesAvailable() > kMaxLine) {
                    socket->abort();
                }
                return;
            }
            const QByteArray line = socket->readLine(kMaxLine);
            if (line == kRaise) {
                emit raiseRequested();
                socket->write(kAnswer);
                socket->flush();
            }
            socket->disconnectFromServer();
        });
    }
}

bool CInstanceBeacon::RaiseRunning(const QString& path, int timeoutMs) {
    QLocalSocket socket;
    socket.connectToServer(path);
    if (!socket.waitForConnected(timeoutMs)) {
        return false;
    }
    socket.write(kRaise);
    if (!socket.waitForBytesWritten(timeoutMs)) {
        return false;
    }
    while (!socket.canReadLine()) {
        if (!socket.waitForReadyRead(timeoutMs)) {
            return false;
        }
    }
    return socket.readLine(kMaxLine) == kAnswer;
}

void BringToFront(QWidget* window) {
    window->setWindowState((window->windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    window->show();
    window->raise();
    window->activateWindow();
    QApplication::alert(window);
}

}  // namespace kz::ui
