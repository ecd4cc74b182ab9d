#pragma once

// What a person sees in a widget tree: the texts of visible labels and buttons.

#include <QAbstractButton>
#include <QLabel>
#include <QStringList>
#include <QWidget>

namespace trellisant::testing {

inline QStringList visibleTexts(QWidget* root) {
  QStringList texts;
  for (auto* label : root->findChildren<QLabel*>())
    if (label->isVisibleTo(root) && !label->text().isEmpty()) texts << label->text();
  for (auto* button : root->findChildren<QAbstractButton*>())
    if (button->isVisibleTo(root) && !button->text().isEmpty()) texts << button->text();
  return texts;
}

// The visible button with this text, or nullptr.
inline QAbstractButton* visibleButton(QWidget* root, const QString& text) {
  for (auto* button : root->findChildren<QAbstractButton*>())
    if (button->isVisibleTo(root) && button->text() == text) return button;
  return nullptr;
}

// The text of the visible label with this object name ("" when none is visible).
inline QString labelText(QWidget* root, const QString& name) {
  for (auto* label : root->findChildren<QLabel*>(name))
    if (label->isVisibleTo(root)) return label->text();
  for (auto* widget : root->findChildren<QWidget*>(name)) {
    if (!widget->isVisibleTo(root)) continue;
    for (auto* label : widget->findChildren<QLabel*>())
      if (!label->text().isEmpty()) return label->text();
  }
  return {};
}

}  // namespace trellisant::testing
