#include "gui/pictures.h"

#include <QFont>
#include <QPainter>
#include <QPainterPath>
#include <QtMath>

#include <map>
#include <mutex>

#include "foundation/slot_display.h"

namespace gui {

namespace {

constexpr int kSlotPictureSize = 100;
constexpr int kKeyPictureWidth = 105;

QFont PictureFont(int pixelSize) {
  QFont f;
  f.setFamilies({"DejaVu Sans", "Liberation Sans", "Arial"});
  f.setBold(true);
  f.setPixelSize(pixelSize);
  return f;
}

QImage Canvas(int w, int h, QColor background) {
  QImage img(w, h, QImage::Format_RGB32);
  img.fill(background);
  return img;
}

// A rounded tile behind a slot picture, so that each slot reads as a button.
void Tile(QPainter& p, const QRectF& r, QColor fill, QColor edge, qreal edgeWidth = 2) {
  p.setPen(QPen(edge, edgeWidth));
  p.setBrush(fill);
  p.drawRoundedRect(r.adjusted(edgeWidth / 2, edgeWidth / 2, -edgeWidth / 2, -edgeWidth / 2), 10, 10);
}

// A board in download mode: a green circuit board with a chip, its pins, a lit LED, and a USB
// plug on its left edge.
QImage Connected(bool selected) {
  const QColor page = selected ? QColor(0xD6, 0xE6, 0xFA) : QColor(0xEC, 0xF4, 0xEC);
  QImage img = Canvas(kSlotPictureSize, kSlotPictureSize, QColor(0xF0, 0xF0, 0xF0));
  QPainter p(&img);
  p.setRenderHint(QPainter::Antialiasing);
  Tile(p, QRectF(0, 0, 100, 100), page, selected ? QColor(0x15, 0x65, 0xC0) : QColor(0x9C, 0xB8, 0x9C),
       selected ? 5 : 2);
  // USB plug: metal shell and its cable stub.
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0x60, 0x60, 0x60));
  p.drawRect(QRectF(8, 44, 8, 12));
  p.setBrush(QColor(0xB0, 0xB6, 0xBC));
  p.drawRoundedRect(QRectF(14, 40, 14, 20), 2, 2);
  // The board.
  p.setBrush(QColor(0x2E, 0x7D, 0x32));
  p.setPen(QPen(QColor(0x1B, 0x5E, 0x20), 2));
  p.drawRoundedRect(QRectF(28, 24, 62, 52), 5, 5);
  // Traces.
  p.setPen(QPen(QColor(0x81, 0xC7, 0x84), 1.5));
  p.drawLine(QPointF(30, 50), QPointF(46, 50));
  p.drawLine(QPointF(74, 36), QPointF(86, 30));
  p.drawLine(QPointF(74, 64), QPointF(86, 70));
  // The chip and its pins.
  p.setPen(QPen(QColor(0xD4, 0xAF, 0x37), 2));
  for (int i = 0; i < 4; ++i) {
    const qreal y = 40 + i * 7;
    p.drawLine(QPointF(44, y), QPointF(49, y));
    p.drawLine(QPointF(71, y), QPointF(76, y));
  }
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0x21, 0x21, 0x21));
  p.drawRect(QRectF(48, 36, 24, 28));
  // The LED.
  p.setBrush(QColor(0x76, 0xFF, 0x03));
  p.drawEllipse(QPointF(82, 50), 3.5, 3.5);
  return img;
}

// No board: a grey gear.
QImage IdleGear() {
  QImage img = Canvas(kSlotPictureSize, kSlotPictureSize, QColor(0xF0, 0xF0, 0xF0));
  QPainter p(&img);
  p.setRenderHint(QPainter::Antialiasing);
  Tile(p, QRectF(0, 0, 100, 100), QColor(0xE4, 0xE4, 0xE4), QColor(0xB4, 0xB4, 0xB4));
  const QPointF c(50, 50);
  QPainterPath gear;
  const int teeth = 8;
  for (int i = 0; i < teeth; ++i) {
    QPainterPath tooth;
    tooth.addRoundedRect(QRectF(-7, -36, 14, 18), 2, 2);
    QTransform t;
    t.translate(c.x(), c.y());
    t.rotate(i * 360.0 / teeth);
    gear = gear.united(t.map(tooth));
  }
  QPainterPath body;
  body.addEllipse(c, 25, 25);
  gear = gear.united(body);
  QPainterPath hole;
  hole.addEllipse(c, 10, 10);
  gear = gear.subtracted(hole);
  p.setPen(QPen(QColor(0x5F, 0x64, 0x6B), 2));
  p.setBrush(QColor(0x8A, 0x90, 0x99));
  p.drawPath(gear);
  return img;
}

// A job runs: a blue globe with its meridians and parallels, an orange arrow going round it.
QImage Running() {
  QImage img = Canvas(kSlotPictureSize, kSlotPictureSize, QColor(0xF0, 0xF0, 0xF0));
  QPainter p(&img);
  p.setRenderHint(QPainter::Antialiasing);
  Tile(p, QRectF(0, 0, 100, 100), QColor(0xE3, 0xF0, 0xFB), QColor(0x90, 0xB8, 0xE0));
  const QPointF c(50, 50);
  const qreal r = 28;
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0x1E, 0x88, 0xE5));
  p.drawEllipse(c, r, r);
  p.setPen(QPen(QColor(0xE3, 0xF2, 0xFD), 1.6));
  p.setBrush(Qt::NoBrush);
  p.drawEllipse(c, r * 0.45, r);
  p.drawLine(QPointF(c.x(), c.y() - r), QPointF(c.x(), c.y() + r));
  p.drawLine(QPointF(c.x() - r, c.y()), QPointF(c.x() + r, c.y()));
  for (qreal dy : {-r * 0.55, r * 0.55}) {
    const qreal half = std::sqrt(r * r - dy * dy);
    p.drawLine(QPointF(c.x() - half, c.y() + dy), QPointF(c.x() + half, c.y() + dy));
  }
  // The arrow round the globe, three quarters of a turn, with its head.
  p.setPen(QPen(QColor(0xFB, 0x8C, 0x00), 6, Qt::SolidLine, Qt::RoundCap));
  const QRectF ring(c.x() - 40, c.y() - 40, 80, 80);
  p.drawArc(ring, 90 * 16, 270 * 16);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0xFB, 0x8C, 0x00));
  QPolygonF head;
  // The arc runs counter-clockwise from the top, so at its end it climbs.
  head << QPointF(c.x() + 40 - 9, c.y() + 4) << QPointF(c.x() + 40 + 9, c.y() + 4) << QPointF(c.x() + 40, c.y() - 8);
  p.drawPolygon(head);
  return img;
}

// A failed job: a red square with the failure's number in white.
QImage FailureSquare(int code) {
  QImage img = Canvas(kSlotPictureSize, kSlotPictureSize, QColor(0xD3, 0x2F, 0x2F));
  QPainter p(&img);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(QPen(QColor(0x8E, 0x00, 0x00), 4));
  p.setBrush(Qt::NoBrush);
  p.drawRect(QRectF(2, 2, 96, 96));
  p.setPen(Qt::white);
  p.setFont(PictureFont(code < 10 ? 64 : 54));
  p.drawText(QRectF(0, 0, 100, 100), Qt::AlignCenter, QString::number(code));
  return img;
}

// A single-mode operation is done: a golden key.
QImage Key() {
  QImage img = Canvas(kKeyPictureWidth, kSlotPictureSize, QColor(0xF0, 0xF0, 0xF0));
  QPainter p(&img);
  p.setRenderHint(QPainter::Antialiasing);
  Tile(p, QRectF(0, 0, kKeyPictureWidth, 100), QColor(0xFF, 0xF8, 0xE1), QColor(0xE0, 0xC0, 0x60));
  QPainterPath key;
  key.addEllipse(QPointF(32, 50), 20, 20);
  key.addRoundedRect(QRectF(46, 44, 46, 12), 3, 3);
  key.addRect(QRectF(72, 54, 7, 16));
  key.addRect(QRectF(84, 54, 7, 12));
  key.setFillRule(Qt::WindingFill);
  QPainterPath hole;
  hole.addEllipse(QPointF(28, 50), 8, 8);
  key = key.simplified().subtracted(hole);
  p.setPen(QPen(QColor(0xA0, 0x6A, 0x00), 2.5));
  p.setBrush(QColor(0xF9, 0xB8, 0x25));
  p.drawPath(key);
  return img;
}

// The application: a dark blue tile with a chip and an arrow going down into it.
QImage Icon() {
  const int n = 256;
  QImage img(n, n, QImage::Format_ARGB32_Premultiplied);
  img.fill(Qt::transparent);
  QPainter p(&img);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0x0D, 0x47, 0xA1));
  p.drawRoundedRect(QRectF(8, 8, 240, 240), 44, 44);
  p.setBrush(QColor(0xEC, 0xEF, 0xF1));
  p.drawRoundedRect(QRectF(64, 112, 128, 96), 10, 10);
  p.setPen(QPen(QColor(0xEC, 0xEF, 0xF1), 10, Qt::SolidLine, Qt::FlatCap));
  for (int i = 0; i < 4; ++i) {
    const qreal x = 84 + i * 29;
    p.drawLine(QPointF(x, 208), QPointF(x, 230));
  }
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0xFF, 0xB3, 0x00));
  QPolygonF arrow;
  arrow << QPointF(108, 28) << QPointF(148, 28) << QPointF(148, 78) << QPointF(172, 78) << QPointF(128, 124)
        << QPointF(84, 78) << QPointF(108, 78);
  p.drawPolygon(arrow);
  return img;
}

QImage Draw(int id) {
  using namespace station;
  if (id >= kPictureFailedBase && id <= kPictureFailedBase + 24) return FailureSquare(id - kPictureFailedBase);
  switch (id) {
    case kPictureConnected: return Connected(false);
    case kPictureConnectedSelected: return Connected(true);
    case kPictureIdle: return IdleGear();
    case kPictureRunning: return Running();
    case kPictureSingleDone: return Key();
    case kIconPicture: return Icon();
    default: break;
  }
  if (BitmapPtr b = LoadStationBitmap(id)) return ToImage(*b);
  return {};
}

}  // namespace

QImage ToImage(const station::Bitmap& bitmap) {
  if (bitmap.width <= 0 || bitmap.height <= 0 ||
      bitmap.rgb.size() < static_cast<size_t>(bitmap.width) * static_cast<size_t>(bitmap.height) * 3)
    return {};
  QImage img(bitmap.rgb.data(), bitmap.width, bitmap.height, bitmap.width * 3, QImage::Format_RGB888);
  return img.copy();  // the image keeps its own pixels
}

QImage StationPicture(int id) {
  static std::mutex lock;
  static std::map<int, QImage> drawn;
  std::lock_guard g(lock);
  auto it = drawn.find(id);
  if (it == drawn.end()) it = drawn.emplace(id, Draw(id)).first;
  return it->second;
}

QIcon StationIcon() {
  QIcon icon;
  const QImage big = StationPicture(kIconPicture);
  for (int size : {16, 24, 32, 48, 64, 128, 256})
    icon.addPixmap(QPixmap::fromImage(big.scaled(size, size, Qt::KeepAspectRatio, Qt::SmoothTransformation)));
  return icon;
}

}  // namespace gui
