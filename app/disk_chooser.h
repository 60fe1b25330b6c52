// The disk chooser: the cards on offer in comboBox_disk, each named as a
// person knows it (label or reader, size, layout, channels) with its path
// in the tool tip, and the card chosen among them.
#pragma once

#include <QVector>

#include "card_scan.h"

class QComboBox;

class DiskChooser {
 public:
  explicit DiskChooser(QComboBox *combo) : combo(combo) {}

  // Offers these cards. An unchanged list changes nothing. Otherwise the
  // list is rebuilt; a card that was chosen and is still offered is chosen
  // again, else the card with key fallback if offered (the combo box's
  // currentTextChanged fires, as for a choice); without one, nothing is
  // chosen and currentTextChanged fires with "".
  void offer(const QVector<CardEntry> &cards, uint64_t fallback);

  // The chosen card, or null.
  const CardEntry *chosen() const;
  bool offers(uint64_t key) const;
  const QVector<CardEntry> &cards() const { return offered; }
  // Nothing chosen, without a signal.
  void clearChoice();

 private:
  QComboBox *combo;
  QVector<CardEntry> offered;
};
