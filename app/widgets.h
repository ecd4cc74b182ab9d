#pragma once

#include <string_view>

#include <QAbstractButton>
#include <QLabel>
#include <QPushButton>
#include <QWidget>

class QBoxLayout;

// The window's building blocks, drawn by hand so they look the same on every desktop.
namespace trellisant::app {

// A rounded rectangle behind its children.
class RoundedPanel : public QWidget {
  Q_OBJECT
 public:
  RoundedPanel(QColor fill, double radius, QWidget* parent = nullptr);
  void setFill(const QColor& fill);
  void setOutline(const QColor& outline) { outline_ = outline; update(); }

 protected:
  void paintEvent(QPaintEvent*) override;

 private:
  QColor fill_;
  QColor outline_;
  double radius_;
};

// The app's button style: filled brand button, or white with a thin border (`secondary`).
class PrimaryButton : public QPushButton {
  Q_OBJECT
 public:
  PrimaryButton(const QString& text, bool secondary, QWidget* parent = nullptr);
  void setSymbol(std::string_view symbol);
  QSize sizeHint() const override;
  QSize minimumSizeHint() const override { return sizeHint(); }

 protected:
  void paintEvent(QPaintEvent*) override;

 private:
  bool secondary_;
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
  int minimum() const { return minimum_; }
  int maximum() const { return maximum_; }
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
  void setSymbol(std::string_view symbol, double pixels);
  QLabel* textLabel() const { return text_; }

 private:
  QColor color_;
  QLabel* symbol_;
  QLabel* text_;
};

// A text label in one of the window's text styles.
QLabel* makeLabel(const QString& text, double size, QFont::Weight weight, const QColor& color,
                  QWidget* parent = nullptr);
// A label that shows only a symbol.
QLabel* makeSymbol(std::string_view symbol, double pixels, const QColor& color, QWidget* parent = nullptr);

}  // namespace trellisant::app
