#pragma once

#include <QAbstractButton>
#include <QIcon>
#include <QWidget>

#include "app_model.h"

namespace trellisant::app {

// One section's entry in the sidebar.
class SectionButton : public QAbstractButton {
  Q_OBJECT
 public:
  SectionButton(const QString& section, std::string_view symbol, QWidget* parent = nullptr);
  void setSelected(bool selected);
  bool selected() const { return isChecked(); }
  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent*) override;
  void nextCheckState() override;

 private:
  QIcon normal_;
  QIcon highlighted_;
};

// The white column on the left: title, sections, build footer.
class Sidebar : public QWidget {
  Q_OBJECT
 public:
  explicit Sidebar(AppModel& model, QWidget* parent = nullptr);
  void sync();

 protected:
  void paintEvent(QPaintEvent*) override;

 private:
  AppModel& model_;
  QList<std::pair<AppModel::Section, SectionButton*>> buttons_;
};

}  // namespace trellisant::app
