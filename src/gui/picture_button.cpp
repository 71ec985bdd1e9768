#include "gui/picture_button.h"

#include <QEvent>
#include <QPainter>
#include <QStyleOptionFocusRect>

namespace gui {

PictureButton::PictureButton(QWidget* parent) : QAbstractButton(parent) {
  setFocusPolicy(Qt::TabFocus);
  setCursor(Qt::PointingHandCursor);
}

void PictureButton::SetPictures(const QPixmap& normal, const QPixmap& pressed) {
  if (normal.cacheKey() == normal_.cacheKey() && pressed.cacheKey() == pressed_.cacheKey()) return;
  normal_ = normal;
  pressed_ = pressed;
  update();
}

void PictureButton::changeEvent(QEvent* event) {
  if (event->type() == QEvent::EnabledChange) setCursor(isEnabled() ? Qt::PointingHandCursor : Qt::ArrowCursor);
  QAbstractButton::changeEvent(event);
}

QSize PictureButton::sizeHint() const { return normal_.isNull() ? QSize(100, 100) : normal_.size(); }

void PictureButton::paintEvent(QPaintEvent*) {
  QPainter p(this);
  const bool down = isDown() && isEnabled();
  if (down && !pressed_.isNull()) {
    p.drawPixmap(0, 0, pressed_);
  } else if (!normal_.isNull()) {
    p.drawPixmap(down ? 1 : 0, down ? 1 : 0, normal_);
  }
  if (hasFocus()) {
    QStyleOptionFocusRect focus;
    focus.initFrom(this);
    focus.rect = rect().adjusted(4, 4, -4, -4);
    style()->drawPrimitive(QStyle::PE_FrameFocusRect, &focus, &p, this);
  }
}

}  // namespace gui
