#include "connection_icons.h"

#include <QImage>
#include <QPainter>

namespace tessomar::viewer {

namespace {

// Paints into an image component's picture, sized to the component, over the background.
template <typename Paint>
void paint_picture(platform::Component* image, QColor background, Paint&& paint) {
  if (!image) return;
  const auto& g = image->geometry();
  platform::Bitmap& bm = image->picture();
  bm.resize(g.width, g.height);
  if (bm.empty()) return;
  QImage canvas(reinterpret_cast<uchar*>(bm.data()), bm.width(), bm.height(),
                qsizetype(bm.width()) * 4, QImage::Format_RGB32);
  canvas.fill(background.rgb());
  {
    QPainter p(&canvas);
    p.setRenderHint(QPainter::Antialiasing);
    paint(p, qreal(bm.width()), qreal(bm.height()));
  }
  // The bitmap keeps 0x00RRGGBB; QPainter leaves 0xFF in the top byte.
  for (int y = 0; y < bm.height(); ++y) {
    for (uint32_t& px : bm.row(y)) px &= 0x00FFFFFFu;
  }
  image->picture_changed();
}

void draw_dot(platform::Component* image, uint32_t colour, QColor background) {
  paint_picture(image, background, [colour](QPainter& p, qreal w, qreal h) {
    const QColor fill = QColor::fromRgb(colour | 0xFF000000u);
    p.setPen(QPen(fill.darker(140), 1.5));
    p.setBrush(fill);
    const qreal margin = qMax<qreal>(2, qMin(w, h) / 6.0);
    p.drawEllipse(QRectF(margin, margin, w - 2 * margin, h - 2 * margin));
  });
}

// A dark plate under the speaker icons, so that they read over any picture.
const QColor kSpeakerPlate(0x10, 0x14, 0x1A);

void draw_speaker(QPainter& p, qreal w, qreal h, bool on) {
  const qreal u = qMin(w, h) / 32.0;
  p.setPen(Qt::NoPen);
  p.setBrush(Qt::white);
  QPolygonF body;
  body << QPointF(6 * u, 12 * u) << QPointF(11 * u, 12 * u) << QPointF(17 * u, 6 * u)
       << QPointF(17 * u, 26 * u) << QPointF(11 * u, 20 * u) << QPointF(6 * u, 20 * u);
  p.drawPolygon(body);
  p.setBrush(Qt::NoBrush);
  if (on) {
    p.setPen(QPen(Qt::white, 2 * u, Qt::SolidLine, Qt::RoundCap));
    p.drawArc(QRectF(13 * u, 11 * u, 10 * u, 10 * u), -50 * 16, 100 * 16);
    p.drawArc(QRectF(11 * u, 7 * u, 16 * u, 18 * u), -50 * 16, 100 * 16);
  } else {
    p.setPen(QPen(QColor(0xE0, 0x4B, 0x3A), 2.5 * u, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(20 * u, 12 * u), QPointF(27 * u, 20 * u));
    p.drawLine(QPointF(27 * u, 12 * u), QPointF(20 * u, 20 * u));
  }
}

}  // namespace

void draw_speaker_icons(platform::Form& form) {
  paint_picture(form.find("Image_Trumpet_On"), kSpeakerPlate,
                [](QPainter& p, qreal w, qreal h) { draw_speaker(p, w, h, true); });
  paint_picture(form.find("Image_Trumpet_Off"), kSpeakerPlate,
                [](QPainter& p, qreal w, qreal h) { draw_speaker(p, w, h, false); });
}

void draw_connection_icons(platform::Form& form, QColor background) {
  draw_dot(form.find("Image_Conn"), kConnectedColour, background);
  draw_dot(form.find("Image_Disconn"), kDisconnectedColour, background);
}

}  // namespace tessomar::viewer
