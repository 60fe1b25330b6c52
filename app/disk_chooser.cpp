#include "disk_chooser.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QFontMetrics>
#include <algorithm>

void DiskChooser::offer(const QVector<CardEntry> &cards, uint64_t fallback) {
  QStringList texts;
  QList<uint64_t> keys;
  for (const CardEntry &c : cards) {
    texts << cardText(c);
    keys << c.key();
  }
  QStringList oldTexts;
  QList<uint64_t> oldKeys;
  for (const CardEntry &c : offered) {
    oldTexts << cardText(c);
    oldKeys << c.key();
  }
  if (texts == oldTexts && keys == oldKeys) return;

  const CardEntry *was = chosen();
  const uint64_t wasKey = was ? was->key() : 0;
  const bool hadChoice = was != nullptr;
  offered = cards;

  combo->blockSignals(true);
  combo->clear();
  int width = combo->width();
  const QFontMetrics metrics(combo->view()->font());
  for (int i = 0; i < cards.size(); i++) {
    combo->addItem(texts[i], i);
    combo->setItemData(i, cardToolTip(cards[i]), Qt::ToolTipRole);
    width = std::max(width, metrics.horizontalAdvance(texts[i]) + 40);
  }
  // The drop-down is as wide as its longest name.
  combo->view()->setMinimumWidth(width);
  combo->setCurrentIndex(-1);
  combo->blockSignals(false);
  int again = hadChoice ? keys.indexOf(wasKey) : -1;
  if (again < 0) again = keys.indexOf(fallback);
  if (again >= 0)
    combo->setCurrentIndex(again);
  else
    emit combo->currentTextChanged(combo->currentText());
}

const CardEntry *DiskChooser::chosen() const {
  const int i = combo->currentIndex();
  return i >= 0 && i < offered.size() ? &offered[i] : nullptr;
}

bool DiskChooser::offers(uint64_t key) const {
  return std::any_of(offered.begin(), offered.end(), [key](const CardEntry &c) { return c.key() == key; });
}

void DiskChooser::clearChoice() {
  combo->blockSignals(true);
  combo->setCurrentIndex(-1);
  combo->blockSignals(false);
}
