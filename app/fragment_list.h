// The fragment list of the selected day: a model of the day's fragments and
// a view that makes a button only for each row in view. A day can have
// tens of thousands of fragments; the list stays as quick with them as with
// ten. The buttons look and behave as single fragment buttons: object name
// "<start>-<end>" (Unix seconds), the times and the words for download and
// play in their text, a look chosen by the recording type, and the chosen
// fragment highlighted.
#pragma once

#include <QAbstractListModel>
#include <QMap>
#include <QVector>

#include "card_scan.h"

class QPushButton;
class QScrollArea;
class QVBoxLayout;

class FragmentModel : public QAbstractListModel {
  Q_OBJECT

 public:
  enum Role { SpanRole = Qt::UserRole, TypeRole, ChannelsRole };

  void setEntries(QVector<FragmentEntry> entries);
  const FragmentEntry &entry(int row) const { return entries.at(row); }
  int rowCount(const QModelIndex &parent = QModelIndex()) const override;
  QVariant data(const QModelIndex &index, int role) const override;

 private:
  QVector<FragmentEntry> entries;
};

class FragmentList : public QObject {
  Q_OBJECT

 public:
  // Buttons are laid out on the scroll area's widget; their clicked() goes
  // to the receiver's slot, which finds the button as the signal's sender.
  FragmentList(QScrollArea *area, QObject *receiver, const char *clickSlot);

  FragmentModel *model() { return &fragments; }

  // Lists these fragments (those that end before they start get no row),
  // sizes the content for all of them and lays out the top of the list.
  void show(const QVector<FragmentEntry> &entries);
  // No rows; the content keeps its height.
  void clear();
  // Lays out the rows in view of the scroll bar's current value.
  void page();

  int rowCount() const { return fragments.rowCount(); }
  int rowUnit() const { return unit; }
  int currentRow() const { return current; }
  void setCurrent(int row);
  // The row's button while it is in view, else null.
  QPushButton *button(int row) const { return built.value(row, nullptr); }
  int rowOf(const QPushButton *button) const;
  // Scrolls so that the row is in view.
  void scrollTo(int row);

 private:
  void fitHeight();
  QPushButton *makeButton(int row);
  void restyle(int row);

  FragmentModel fragments;
  QScrollArea *area;
  QVBoxLayout *layout;
  QObject *receiver;
  const char *clickSlot;
  int64_t rows = 0;  // entries of the day, rows with a button or not
  int unit = 40;     // row unit: the paging's pitch is unit + unit / 10
  int current = -1;  // the row chosen for playing, highlighted
  QMap<int, QPushButton *> built;  // buttons of the rows in view
};
