#include "res/icons.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <algorithm>

#include "res/resource_ids.h"

namespace quellvox {

namespace {

struct Palette {
  QColor Fill;
  QColor Edge;
};

const Palette kGreyDisc{QColor(0xa6, 0xa6, 0xa6), QColor(0x55, 0x55, 0x55)};
const Palette kWhiteDisc{QColor(0xff, 0xff, 0xff), QColor(0x5a, 0x5a, 0x5a)};
const Palette kRedDisc{QColor(0xe0, 0x22, 0x22), QColor(0x78, 0x0c, 0x0c)};
const Palette kGreyMark{QColor(0x60, 0x60, 0x60), QColor(0x3c, 0x3c, 0x3c)};
const Palette kGreenMark{QColor(0x1e, 0xe0, 0x1e), QColor(0x08, 0x70, 0x08)};
const Palette kBlueMark{QColor(0x2a, 0x62, 0xe0), QColor(0x0c, 0x28, 0x78)};
const QColor kPaleMark(0xd4, 0xd4, 0xd4);
const QColor kCross(0xe8, 0x00, 0x00);

enum class MarkFill { Plain, HalfGreen, GreenOverBlue };

struct Picture {
  const Palette* Disc;
  const Palette* Mark;
  MarkFill Fill;
  bool Cross;
};

bool PictureOf(uint32_t id, Picture& p) {
  switch (id) {
    case IDI_NOT_INITIALIZED: p = {&kGreyDisc, &kGreyMark, MarkFill::Plain, false}; return true;
    case IDI_START_RECORDING: p = {&kWhiteDisc, &kGreenMark, MarkFill::HalfGreen, false}; return true;
    case IDR_MAINFRAME:
    case IDI_RUNNING: p = {&kWhiteDisc, &kGreenMark, MarkFill::Plain, false}; return true;
    case IDI_STOP_RECORDING: p = {&kWhiteDisc, &kGreenMark, MarkFill::GreenOverBlue, false}; return true;
    case IDI_STOPPED: p = {&kGreyDisc, &kBlueMark, MarkFill::Plain, true}; return true;
    case IDI_ERROR_STATE: p = {&kRedDisc, &kGreenMark, MarkFill::Plain, false}; return true;
    default: return false;
  }
}

}  // namespace

QImage DrawIconResource(uint32_t id, int size) {
  Picture picture{};
  if (!PictureOf(id, picture) || size <= 0) return {};
  QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  // Drawn on a 16-unit grid; an edge is one pixel wide at 16 and grows
  // with the size, so that small sizes stay sharp and large ones bold.
  const double unit = size / 16.0;
  const double edge = std::max(1.0, unit);
  p.scale(unit, unit);
  const double edgeUnits = edge / unit;

  // The disc fills the grid with half an edge to spare, so that the edge
  // lies on whole pixels at 16.
  p.setPen(QPen(picture.Disc->Edge, edgeUnits));
  p.setBrush(picture.Disc->Fill);
  p.drawEllipse(QRectF(0.5 * edgeUnits + 0.25, 0.5 * edgeUnits + 0.25, 16 - edgeUnits - 0.5, 16 - edgeUnits - 0.5));

  // The mark: a triangle pointing right, its centre of area on the disc's.
  QPainterPath mark;
  mark.moveTo(5.5, 3.5);
  mark.lineTo(12.5, 8.0);
  mark.lineTo(5.5, 12.5);
  mark.closeSubpath();
  switch (picture.Fill) {
    case MarkFill::Plain:
      p.fillPath(mark, picture.Mark->Fill);
      break;
    case MarkFill::HalfGreen:
      p.fillPath(mark, kPaleMark);
      p.save();
      p.setClipRect(QRectF(0, 0, 16, 8));
      p.fillPath(mark, kGreenMark.Fill);
      p.restore();
      break;
    case MarkFill::GreenOverBlue:
      p.fillPath(mark, kBlueMark.Fill);
      p.save();
      p.setClipRect(QRectF(0, 0, 16, 8));
      p.fillPath(mark, kGreenMark.Fill);
      p.restore();
      break;
  }
  p.setPen(QPen(picture.Mark->Edge, edgeUnits * 0.8, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  p.setBrush(Qt::NoBrush);
  p.drawPath(mark);

  if (picture.Cross) {
    // Red cross over the upper left quarter, with a white rim so that it
    // stands out on the grey disc and on dark panels alike.
    const double w = std::max(2.0, 2.0 * unit) / unit;
    const QLineF a(1.5, 1.5, 7.0, 7.0);
    const QLineF b(7.0, 1.5, 1.5, 7.0);
    p.setPen(QPen(Qt::white, w + 1.2 * edgeUnits, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(a);
    p.drawLine(b);
    p.setPen(QPen(kCross, w, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(a);
    p.drawLine(b);
  }
  p.end();
  return image;
}

QIcon LoadIconResource(uint32_t id) {
  QIcon icon;
  for (const int size : kIconSizes) {
    const QImage image = DrawIconResource(id, size);
    if (image.isNull()) return {};
    icon.addPixmap(QPixmap::fromImage(image));
  }
  return icon;
}

}  // namespace quellvox
