#include "gui/pictures.h"

#include <QFont>
#include <QHash>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

#include "res/ids.h"
#include "res/resources.h"

namespace gui {
namespace {

enum class Mark { None, Cross, Question };

QPixmap Blank(int w, int h) {
  QPixmap pm(w, h);
  pm.fill(Qt::transparent);
  return pm;
}

void DrawMark(QPainter& p, Mark mark) {
  if (mark == Mark::Cross) {
    p.setRenderHint(QPainter::Antialiasing, true);
    p.setPen(QPen(QColor(220, 0, 0), 2.0, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(3, 3), QPointF(13, 13));
    p.drawLine(QPointF(13, 3), QPointF(3, 13));
  } else if (mark == Mark::Question) {
    QFont f(QStringLiteral("Liberation Sans"));
    f.setPixelSize(12);
    f.setBold(true);
    p.setFont(f);
    p.setPen(QColor(0, 0, 200));
    p.drawText(QRect(6, 2, 10, 14), Qt::AlignCenter, QStringLiteral("?"));
  }
}

QPixmap Drive() {
  QPixmap pm = Blank(16, 16);
  QPainter p(&pm);
  p.setPen(QColor(64, 64, 64));
  p.setBrush(QColor(176, 176, 176));
  p.drawRect(1, 5, 13, 6);
  p.setBrush(QColor(216, 216, 216));
  QPolygon top;
  top << QPoint(1, 5) << QPoint(4, 2) << QPoint(14, 2) << QPoint(14, 5);
  p.drawPolygon(top);
  p.fillRect(QRect(11, 8, 2, 2), QColor(0, 200, 0));
  p.setPen(QColor(96, 96, 96));
  p.drawLine(3, 8, 8, 8);
  return pm;
}

QPixmap FolderClosed(Mark mark) {
  QPixmap pm = Blank(16, 16);
  QPainter p(&pm);
  p.setPen(QColor(128, 96, 0));
  p.setBrush(QColor(240, 200, 64));
  p.drawRect(1, 2, 5, 2);
  p.setBrush(QColor(255, 220, 96));
  p.drawRect(1, 4, 13, 9);
  p.setPen(QColor(255, 244, 176));
  p.drawLine(2, 5, 13, 5);
  DrawMark(p, mark);
  return pm;
}

QPixmap FolderOpen(Mark mark) {
  QPixmap pm = Blank(16, 16);
  QPainter p(&pm);
  p.setPen(QColor(128, 96, 0));
  p.setBrush(QColor(224, 176, 48));
  p.drawRect(1, 2, 5, 2);
  p.drawRect(1, 4, 12, 9);
  QPolygon flap;
  flap << QPoint(1, 13) << QPoint(4, 7) << QPoint(15, 7) << QPoint(12, 13);
  p.setBrush(QColor(255, 228, 120));
  p.drawPolygon(flap);
  DrawMark(p, mark);
  return pm;
}

QPixmap Document(Mark mark) {
  QPixmap pm = Blank(16, 16);
  QPainter p(&pm);
  p.setPen(QColor(80, 80, 80));
  p.setBrush(Qt::white);
  QPolygon page;
  page << QPoint(3, 1) << QPoint(10, 1) << QPoint(13, 4) << QPoint(13, 14) << QPoint(3, 14);
  p.drawPolygon(page);
  p.drawLine(10, 1, 10, 4);
  p.drawLine(10, 4, 13, 4);
  p.setPen(QColor(150, 150, 200));
  for (int y = 6; y <= 12; y += 2) p.drawLine(5, y, 11, y);
  DrawMark(p, mark);
  return pm;
}

// A drive with a magnifying glass: the window icon and the About picture's emblem.
void DrawEmblem(QPainter& p, const QRectF& r) {
  p.save();
  p.translate(r.topLeft());
  p.scale(r.width() / 64.0, r.height() / 64.0);
  p.setRenderHint(QPainter::Antialiasing, true);
  QLinearGradient body(0, 20, 0, 50);
  body.setColorAt(0, QColor(200, 204, 212));
  body.setColorAt(1, QColor(120, 126, 140));
  p.setPen(QPen(QColor(50, 54, 64), 2));
  p.setBrush(body);
  p.drawRoundedRect(QRectF(4, 22, 48, 26), 4, 4);
  p.setBrush(QColor(0, 210, 60));
  p.setPen(Qt::NoPen);
  p.drawEllipse(QPointF(42, 40), 3, 3);
  p.setPen(QPen(QColor(70, 74, 84), 2));
  p.drawLine(QPointF(10, 40), QPointF(30, 40));
  p.setPen(QPen(QColor(20, 60, 160), 6, Qt::SolidLine, Qt::RoundCap));
  p.drawLine(QPointF(47, 45), QPointF(59, 58));
  p.setPen(QPen(QColor(20, 60, 160), 4));
  p.setBrush(QColor(190, 225, 255, 200));
  p.drawEllipse(QPointF(38, 34), 12, 12);
  p.restore();
}

QPixmap AboutPicture() {
  QPixmap pm(360, 258);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing, true);
  p.setRenderHint(QPainter::TextAntialiasing, true);
  QLinearGradient bg(0, 0, 0, 258);
  bg.setColorAt(0, QColor(16, 40, 96));
  bg.setColorAt(1, QColor(4, 12, 40));
  p.fillRect(pm.rect(), bg);
  DrawEmblem(p, QRectF(20, 28, 96, 96));

  QFont title(QStringLiteral("Liberation Sans"));
  title.setPixelSize(44);
  title.setBold(true);
  p.setFont(title);
  p.setPen(Qt::white);
  p.drawText(QRect(124, 40, 230, 56), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("Retrova"));

  QFont version(QStringLiteral("Liberation Sans"));
  version.setPixelSize(18);
  p.setFont(version);
  p.setPen(QColor(150, 200, 255));
  p.drawText(QRect(126, 94, 230, 26), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("ver %1").arg(QString::fromLatin1(kProductVersion)));

  QFont small(QStringLiteral("Liberation Sans"));
  small.setPixelSize(13);
  p.setFont(small);
  p.setPen(QColor(210, 220, 235));
  p.drawText(QRect(20, 150, 320, 20), Qt::AlignHCenter, QStringLiteral("Data recovery workstation"));
  p.setPen(QColor(150, 160, 180));
  p.drawText(QRect(20, 176, 320, 40), Qt::AlignHCenter | Qt::TextWordWrap,
             QStringLiteral("FAT32 and NTFS volumes read from their raw sectors;\nlost partitions, deleted files and folders."));
  p.setPen(QPen(QColor(60, 110, 200), 1));
  p.drawLine(20, 140, 340, 140);
  return pm;
}

}  // namespace

const QPixmap& BitmapPicture(int bitmap_id) {
  static QHash<int, QPixmap> cache;
  auto it = cache.find(bitmap_id);
  if (it != cache.end()) return *it;
  QPixmap pm;
  switch (bitmap_id) {
    case IDB_DRIVE: pm = Drive(); break;
    case IDB_FOLDER_CLOSED: pm = FolderClosed(Mark::None); break;
    case IDB_FOLDER_OPEN: pm = FolderOpen(Mark::None); break;
    case IDB_FOLDER_CLOSED_DELETED: pm = FolderClosed(Mark::Cross); break;
    case IDB_FOLDER_OPEN_DELETED: pm = FolderOpen(Mark::Cross); break;
    case IDB_FILE: pm = Document(Mark::None); break;
    case IDB_FILE_DELETED: pm = Document(Mark::Cross); break;
    case IDB_FOLDER_OPEN_LOST: pm = FolderOpen(Mark::Question); break;
    case IDB_FOLDER_CLOSED_LOST: pm = FolderClosed(Mark::Question); break;
    case IDB_ABOUT: pm = AboutPicture(); break;
    default: break;
  }
  return *cache.insert(bitmap_id, pm);
}

QImage IconImage(int size) {
  QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QPainter p(&image);
  DrawEmblem(p, QRectF(0, 0, size, size));
  return image;
}

QIcon AppIcon() {
  QIcon icon;
  for (int size : {16, 32, 48, 64}) icon.addPixmap(QPixmap::fromImage(IconImage(size)));
  return icon;
}

}  // namespace gui
