#pragma once
// A button that is its picture: drawn at the picture's size, the same whether the button can be
// pressed or not (a disabled slot keeps its failure square readable), with its pressed look.
#include <QAbstractButton>
#include <QPixmap>

namespace gui {

class PictureButton : public QAbstractButton {
  Q_OBJECT

 public:
  explicit PictureButton(QWidget* parent = nullptr);
  // The picture, and the one shown while the button is held down (null: the picture itself,
  // pushed in by a pixel).
  void SetPictures(const QPixmap& normal, const QPixmap& pressed);
  const QPixmap& picture() const { return normal_; }
  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  QPixmap normal_, pressed_;
};

}  // namespace gui
