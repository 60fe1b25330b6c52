#include "card_worker.h"

void CardWorker::requestScan(int serial) {
  int asked = scanAsked.load();
  while (serial > asked && !scanAsked.compare_exchange_weak(asked, serial)) {
  }
  if (!scanQueued.exchange(true)) QMetaObject::invokeMethod(this, "scan", Qt::QueuedConnection);
}

void CardWorker::scan() {
  scanQueued = false;
  const int serial = scanAsked.load();
  emit scanned(scanCards(verbose), serial);
}

void CardWorker::open(CardEntry entry, int serial) { emit opened(openCard(entry, verbose), serial); }

void CardWorker::close() { closeCard(); }

void CardWorker::queryMonth(int layout, int channels, int year, int month, int serial) {
  emit monthReady(year, month, recordedDays(layout, channels, year, month), serial);
}

void CardWorker::queryDay(int layout, int channels, QDate date, int serial) {
  QVector<FragmentEntry> entries;
  const bool listed = dayFragments(layout, channels, date, &entries);
  emit dayReady(date, entries, listed, serial);
}
