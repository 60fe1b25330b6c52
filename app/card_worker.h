// The window's card thread: discovery, opening and every question asked of
// the open card run here, one after another, so that a slow or failing card
// never holds up the window. Requests arrive as queued calls; answers go
// back as signals carrying the request's serial, so that the window can
// drop answers it no longer waits for.
#pragma once

#include <QObject>
#include <atomic>

#include "card_scan.h"

class CardWorker : public QObject {
  Q_OBJECT

 public:
  explicit CardWorker(bool verbose) : verbose(verbose) {}

  // From any thread: a discovery is queued unless one is waiting already.
  // The answer says up to which serial the requests it answers go.
  void requestScan(int serial = 0);

 public slots:
  void scan();
  void open(CardEntry entry, int serial);
  void close();
  void queryMonth(int layout, int channels, int year, int month, int serial);
  void queryDay(int layout, int channels, QDate date, int serial);

 signals:
  void scanned(QVector<CardEntry> cards, int serial);
  void opened(OpenResult result, int serial);
  void monthReady(int year, int month, uint32_t mask, int serial);
  // listed: the library gave a list (false leaves the window's list as it is)
  void dayReady(QDate date, QVector<FragmentEntry> entries, bool listed, int serial);

 private:
  const bool verbose;
  std::atomic<bool> scanQueued{false};
  std::atomic<int> scanAsked{0};  // latest serial a discovery was asked for
};
