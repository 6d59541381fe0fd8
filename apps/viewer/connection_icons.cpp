#include "connection_icons.h"

#include <QImage>
#include <QPainter>

namespace tessomar::viewer {

namespace {

void draw_dot(platform::Component* image, uint32_t colour, QColor background) {
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
    const QColor fill = QColor::fromRgb(colour | 0xFF000000u);
    p.setPen(QPen(fill.darker(140), 1.5));
    p.setBrush(fill);
    const qreal margin = qMax<qreal>(2, qMin(bm.width(), bm.height()) / 6.0);
    p.drawEllipse(QRectF(margin, margin, bm.width() - 2 * margin, bm.height() - 2 * margin));
  }
  // The bitmap keeps 0x00RRGGBB; QPainter leaves 0xFF in the top byte.
  for (int y = 0; y < bm.height(); ++y) {
    for (uint32_t& px : bm.row(y)) px &= 0x00FFFFFFu;
  }
  image->picture_changed();
}

}  // namespace

void draw_connection_icons(platform::Form& form, QColor background) {
  draw_dot(form.find("Image_Conn"), kConnectedColour, background);
  draw_dot(form.find("Image_Disconn"), kDisconnectedColour, background);
}

}  // namespace tessomar::viewer
