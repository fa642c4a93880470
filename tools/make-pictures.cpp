// Draws Vessik's bundle pictures: tray.png (status icon), screen.png (default lock
// background) and bg.png (the settings window's tiled background).
// Usage: make-pictures OUTPUT_DIR
#include <cstdio>

#include <QtGui/QImage>
#include <QtGui/QLinearGradient>
#include <QtGui/QPainter>
#include <QtGui/QPainterPath>
#include <QtGui/QRadialGradient>

namespace {

// A padlock inside the square `box`: a shackle arc above a rounded body with a keyhole.
void drawPadlock(QPainter& p, const QRectF& box, const QColor& body, const QColor& hole) {
    const qreal w = box.width();
    const QRectF shackle(box.left() + w * 0.25, box.top() + w * 0.06, w * 0.5, w * 0.56);
    QPen pen(body, w * 0.11, Qt::SolidLine, Qt::FlatCap);
    p.setPen(pen);
    p.setBrush(Qt::NoBrush);
    p.drawArc(shackle, 0, 180 * 16);
    p.drawLine(QPointF(shackle.left(), shackle.center().y()), QPointF(shackle.left(), box.top() + w * 0.48));
    p.drawLine(QPointF(shackle.right(), shackle.center().y()), QPointF(shackle.right(), box.top() + w * 0.48));
    p.setPen(Qt::NoPen);
    p.setBrush(body);
    p.drawRoundedRect(QRectF(box.left() + w * 0.14, box.top() + w * 0.44, w * 0.72, w * 0.52), w * 0.08, w * 0.08);
    p.setBrush(hole);
    p.drawEllipse(QPointF(box.center().x(), box.top() + w * 0.64), w * 0.07, w * 0.07);
    p.drawRect(QRectF(box.center().x() - w * 0.03, box.top() + w * 0.66, w * 0.06, w * 0.16));
}

QImage trayIcon() {
    QImage img(64, 64, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    drawPadlock(p, QRectF(2, 2, 60, 60), QColor(0x2e, 0x86, 0xc1), QColor(0xf4, 0xf6, 0xf7));
    return img;
}

QImage lockBackground() {
    QImage img(1920, 1080, QImage::Format_RGB32);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient sky(0, 0, 0, img.height());
    sky.setColorAt(0.0, QColor(0x0b, 0x1d, 0x33));
    sky.setColorAt(1.0, QColor(0x1b, 0x3a, 0x5c));
    p.fillRect(img.rect(), sky);
    QRadialGradient glow(QPointF(960, 430), 520);
    glow.setColorAt(0.0, QColor(0x4a, 0x90, 0xc8, 90));
    glow.setColorAt(1.0, QColor(0x4a, 0x90, 0xc8, 0));
    p.fillRect(img.rect(), glow);
    drawPadlock(p, QRectF(880, 250, 160, 160), QColor(0xd6, 0xea, 0xf8, 220), QColor(0x12, 0x2a, 0x45));
    return img;
}

QImage settingsTile() {
    QImage img(48, 48, QImage::Format_RGB32);
    img.fill(QColor(0xf2, 0xf5, 0xf8));
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(0xe3, 0xe9, 0xef), 1.0));
    p.drawLine(0, 48, 48, 0);
    p.drawLine(-24, 48, 24, 0);
    p.drawLine(24, 48, 72, 0);
    return img;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make-pictures OUTPUT_DIR\n");
        return 2;
    }
    const QString dir = QString::fromLocal8Bit(argv[1]);
    const bool ok = trayIcon().save(dir + QStringLiteral("/tray.png")) &&
                    lockBackground().save(dir + QStringLiteral("/screen.png")) &&
                    settingsTile().save(dir + QStringLiteral("/bg.png"));
    if (!ok) {
        std::fprintf(stderr, "make-pictures: cannot write into %s\n", argv[1]);
        return 1;
    }
    return 0;
}
