#pragma once

#include <string_view>

#include <QAbstractButton>
#include <QLabel>
#include <QPushButton>
#include <QToolButton>
#include <QWidget>

class QBoxLayout;
class QPainter;

// The window's building blocks, drawn by hand so they look the same on every desktop.
namespace trellisant::app {

class SymbolView;

// A rounded rectangle behind its children.
class RoundedPanel : public QWidget {
  Q_OBJECT
 public:
  RoundedPanel(QColor fill, double radius, QWidget* parent = nullptr);
  void setOutline(const QColor& outline) { outline_ = outline; update(); }

 protected:
  void paintEvent(QPaintEvent*) override;

 private:
  QColor fill_;
  QColor outline_;
  double radius_;
};

// The app's button: a filled brand-colour button for the next step (`primary`), or white with
// a thin border for the others (`secondary`).
class ActionButton : public QPushButton {
  Q_OBJECT
 public:
  enum Emphasis { primary, secondary };
  ActionButton(const QString& text, Emphasis emphasis, QWidget* parent = nullptr);
  void setSymbol(std::string_view symbol);
  QSize sizeHint() const override;
  QSize minimumSizeHint() const override { return sizeHint(); }

 protected:
  void paintEvent(QPaintEvent*) override;

 private:
  bool secondary_;  // drawn white with a border
  QIcon symbol_;
};

// A borderless text button in the brand colour.
class PlainButton : public QPushButton {
  Q_OBJECT
 public:
  PlainButton(const QString& text, double size, QWidget* parent = nullptr);
  void setSymbol(std::string_view symbol, double size);
  QSize sizeHint() const override;
  QSize minimumSizeHint() const override { return sizeHint(); }

 protected:
  void paintEvent(QPaintEvent*) override;

 private:
  QIcon symbol_;
  int symbolSize_ = 0;
};

// A switch with its label on the left.
class ToggleSwitch : public QAbstractButton {
  Q_OBJECT
 public:
  ToggleSwitch(const QString& text, double size, QWidget* parent = nullptr);
  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent*) override;

 private:
  QRectF trackRect() const;
};

// A label with − and + buttons over a range of whole numbers, as "From 22:00".
class Stepper : public QWidget {
  Q_OBJECT
 public:
  Stepper(QString prefix, QString suffix, int minimum, int maximum, double size, QWidget* parent = nullptr);
  int value() const { return value_; }
  void setValue(int value);  // clamped; emits valueChanged when it changes
  QString text() const;
  void stepUp() { setValue(value_ + 1); }
  void stepDown() { setValue(value_ - 1); }

 signals:
  void valueChanged(int value);

 private:
  void sync();

  QString prefix_;
  QString suffix_;
  int minimum_;
  int maximum_;
  int value_;
  QLabel* label_;
  QAbstractButton* down_;
  QAbstractButton* up_;
};

// A symbol beside a text.
class SymbolLabel : public QWidget {
  Q_OBJECT
 public:
  SymbolLabel(std::string_view symbol, const QString& text, double size, const QColor& color,
              QWidget* parent = nullptr);
  void setText(const QString& text) { text_->setText(text); }
  QString text() const { return text_->text(); }
  void setWordWrap(bool wrap) { text_->setWordWrap(wrap); }
  // `size` as the text sizes are given; see theme::pixels.
  void setSymbol(std::string_view symbol, double size);
  QLabel* textLabel() const { return text_; }

 private:
  QColor color_;
  SymbolView* symbol_;
  QLabel* text_;
};

// Room that the hand-drawn controls keep around their shape for the focus ring.
inline constexpr int kFocusMargin = 3;
// Whether `widget` has the focus and the user moved it there with the keyboard; pointer users
// see no ring, as with Qt's own controls.
bool showsFocus(const QWidget* widget);
// The keyboard focus ring: a 2-point line in the brand colour along `shape` grown by 2 points.
void drawFocusRing(QPainter& painter, const QRectF& shape, double radius);

// A borderless button that shows a symbol, with the focus ring of the other controls.
class SymbolButton : public QToolButton {
  Q_OBJECT
 public:
  SymbolButton(std::string_view symbol, const QString& name, QWidget* parent = nullptr);

 protected:
  void paintEvent(QPaintEvent* event) override;
};

// A symbol drawn at paint time, so that it stays sharp at any screen's pixel ratio.
class SymbolView : public QWidget {
  Q_OBJECT
 public:
  SymbolView(const QIcon& icon, int side, QWidget* parent = nullptr);
  void setIcon(const QIcon& icon);
  void setSide(int side);

 protected:
  void paintEvent(QPaintEvent*) override;

 private:
  QIcon icon_;
  int side_;
};

// A text label in one of the window's text styles.
QLabel* makeLabel(const QString& text, double size, QFont::Weight weight, const QColor& color,
                  QWidget* parent = nullptr);
// A symbol alone, `size` as the text sizes are given (theme::pixels).
SymbolView* makeSymbol(std::string_view symbol, double size, const QColor& color, QWidget* parent = nullptr);

}  // namespace trellisant::app
