#include "ui/Icons.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <functional>

#include "ui/NQmntView.h"

namespace kz::ui {

namespace {

constexpr int kSize = 24;
const QColor kInk(40, 48, 60);
const QColor kPanel(70, 110, 170);
const QColor kScreen(170, 215, 255);
const QColor kDisk(90, 90, 100);
const QColor kCard(60, 140, 90);
const QColor kMove(220, 120, 20);
const QColor kCheck(30, 150, 60);

QIcon Draw(const std::function<void(QPainter&)>& paint) {
    QPixmap pixmap(kSize * 2, kSize * 2);  // drawn at twice the size, sharp on dense screens
    pixmap.setDevicePixelRatio(2.0);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    paint(p);
    return QIcon(pixmap);
}

// A small operator panel: a frame with a screen.
void Panel(QPainter& p, QRectF r) {
    p.setPen(QPen(kInk, 1));
    p.setBrush(kPanel);
    p.drawRoundedRect(r, 1.5, 1.5);
    p.setBrush(kScreen);
    p.drawRect(r.adjusted(2, 2, -2, -4));
}

// A disk (the PC's file).
void Disk(QPainter& p, QRectF r) {
    p.setPen(QPen(kInk, 1));
    p.setBrush(kDisk);
    p.drawRoundedRect(r, 1, 1);
    p.setBrush(Qt::white);
    p.drawRect(QRectF(r.left() + 2, r.top(), r.width() - 4, r.height() * 0.4));
}

// A CF card with its contacts.
void Card(QPainter& p, QRectF r) {
    QPainterPath path;
    path.moveTo(r.left(), r.top() + 2);
    path.lineTo(r.left() + 2, r.top());
    path.lineTo(r.right(), r.top());
    path.lineTo(r.right(), r.bottom());
    path.lineTo(r.left(), r.bottom());
    path.closeSubpath();
    p.setPen(QPen(kInk, 1));
    p.setBrush(kCard);
    p.drawPath(path);
    p.setPen(QPen(QColor(230, 200, 80), 1));
    for (qreal x = r.left() + 2; x < r.right() - 1; x += 2) {
        p.drawLine(QPointF(x, r.bottom() - 2), QPointF(x, r.bottom() - 1));
    }
}

// An arrow from a to b.
void Arrow(QPainter& p, QPointF a, QPointF b, const QColor& color = kMove) {
    p.setPen(QPen(color, 2.2, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(a, b);
    const QPointF d = (b - a) / std::hypot(b.x() - a.x(), b.y() - a.y());
    const QPointF n(-d.y(), d.x());
    QPolygonF head{b + d * 1.5, b - d * 3 + n * 3, b - d * 3 - n * 3};
    p.setPen(Qt::NoPen);
    p.setBrush(color);
    p.drawPolygon(head);
}

}  // namespace

QIcon CommandIcon(int id) {
    switch (id) {
        case cmd::kBackUp:  // panel → disk
            return Draw([](QPainter& p) {
                Panel(p, {2, 2, 12, 10});
                Disk(p, {12, 14, 10, 9});
                Arrow(p, {8, 14}, {10.5, 18.5});
            });
        case cmd::kRestore:  // disk → panel
            return Draw([](QPainter& p) {
                Disk(p, {2, 14, 10, 9});
                Panel(p, {10, 2, 12, 10});
                Arrow(p, {9, 16}, {13.5, 12.5});
            });
        case cmd::kVerify:  // panel and disk compared
            return Draw([](QPainter& p) {
                Panel(p, {1, 3, 11, 9});
                Disk(p, {13, 3, 10, 9});
                p.setPen(QPen(kCheck, 2.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
                p.setBrush(Qt::NoBrush);
                p.drawPolyline(QPolygonF{{6, 17}, {10, 21}, {18, 13}});
            });
        case cmd::kCfReceive:  // card → PC
            return Draw([](QPainter& p) {
                Card(p, {2, 2, 11, 14});
                Disk(p, {13, 14, 10, 9});
                Arrow(p, {10, 13}, {14.5, 17.5});
            });
        case cmd::kCfSend:  // PC → card
            return Draw([](QPainter& p) {
                Disk(p, {1, 14, 10, 9});
                Card(p, {11, 2, 11, 14});
                Arrow(p, {8, 15}, {12.5, 11.5});
            });
        case cmd::kProperty:  // a document with lines
            return Draw([](QPainter& p) {
                p.setPen(QPen(kInk, 1));
                p.setBrush(Qt::white);
                p.drawRect(QRectF(5, 2, 14, 19));
                p.setPen(QPen(kPanel, 1.5));
                for (qreal y = 6; y < 19; y += 3) {
                    p.drawLine(QPointF(8, y), QPointF(16, y));
                }
            });
        case cmd::kAbout:  // a question mark in a circle
            return Draw([](QPainter& p) {
                p.setPen(QPen(kInk, 1));
                p.setBrush(kScreen);
                p.drawEllipse(QRectF(2.5, 2.5, 19, 19));
                QFont font = p.font();
                font.setBold(true);
                font.setPixelSize(14);
                p.setFont(font);
                p.setPen(kInk);
                p.drawText(QRectF(2.5, 2.5, 19, 19), Qt::AlignCenter, QStringLiteral("?"));
            });
        case cmd::kToolBarSpare:  // an arrow with a question mark (no command behind it)
            return Draw([](QPainter& p) {
                p.setPen(QPen(kInk, 1));
                p.setBrush(Qt::white);
                p.drawPolygon(
                    QPolygonF{{3, 2}, {3, 17}, {7, 13}, {10, 20}, {12, 19}, {9, 12}, {14, 12}});
                QFont font = p.font();
                font.setBold(true);
                font.setPixelSize(12);
                p.setFont(font);
                p.drawText(QRectF(12, 2, 11, 14), Qt::AlignCenter, QStringLiteral("?"));
            });
        default:
            return {};
    }
}

QIcon AppIcon() {
    return Draw([](QPainter& p) {
        Panel(p, {2, 2, 14, 12});
        Disk(p, {12, 13, 10, 9});
    });
}

}  // namespace kz::ui
