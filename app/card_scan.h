// The cards a user can open, as the disk chooser offers them, and what the
// window asks of the open card: discovery through both card libraries,
// opening, the recorded days of a month and the fragments of a day. Plain
// functions over the libraries' process-wide state: call them from one
// thread only (the window's card thread, card_worker.h).
#pragma once

#include <QDate>
#include <QLoggingCategory>
#include <QMetaType>
#include <QString>
#include <QVector>
#include <cstdint>

Q_DECLARE_LOGGING_CATEGORY(lcCard)

// Layout of a chooser entry; NoRight is a disk that may hold a raw-disk card
// but may not be read without asking for the right first.
enum CardLayout { CardNoRight = 0, CardRaw = 1, CardFile = 2 };

struct CardEntry {
  int layout = CardNoRight;
  uint32_t id = 0;          // the library's id: disk number (raw, no right) or drive index (file)
  uint32_t diskNumber = 0;  // the disk it lies on
  int channels = 0;
  uint64_t size = 0;        // bytes; 0 when unknown
  QString title;            // label, else reader's or card's product name, else the path
  QString source;           // device node, image file or directory
  QString root;             // mount point of a file-layout card
  QString libraryName;      // the name the library listed it under

  // Identity within the run: two entries with the same key are the same card.
  uint64_t key() const { return (static_cast<uint64_t>(layout) << 32) | id; }
};

// One fragment of a day list; channels has bit c set for each card channel
// c that recorded it.
struct FragmentEntry {
  uint8_t type = 0;
  int64_t start = 0;  // Unix seconds
  int64_t end = 0;
  uint8_t channels = 1;
};

// A day list never holds more entries than a day has seconds (and one).
constexpr int kMaxDayEntries = 86401;

// What opening a card gave.
struct OpenResult {
  CardEntry entry;
  bool ok = false;
  QString message;  // why not, for the window; empty when ok
  int videoType = 0;
  int channels = 0;
  bool haveSpan = false;  // the span of recorded time could be read
  int64_t start = 0, end = 0;
};

Q_DECLARE_METATYPE(CardEntry)
Q_DECLARE_METATYPE(OpenResult)
Q_DECLARE_METATYPE(FragmentEntry)

// Every card both libraries recognise, file-layout cards first (a disk both
// recognise is listed once, as a file-layout card), then disks that may be
// raw-disk cards but may not be read. Prints nothing unless verbose: disks
// that are not cards are no error.
QVector<CardEntry> scanCards(bool verbose);

// The chooser's text and tool tip for an entry.
QString cardText(const CardEntry &entry);
QString cardToolTip(const CardEntry &entry);

// Opens a card with its library. Playback handles are stopped and the
// process-wide card variables set under playbackMutex; a disk that needs
// the right to be read asks for it first (which may show the desktop's
// password prompt). cardGeneration changes whatever the outcome.
OpenResult openCard(CardEntry entry, bool verbose);

// Forgets the open card: playback handles stopped, the library's disk
// closed, the card variables cleared (a card that has gone away).
void closeCard();

// The first second of a local day: midnight, or the first second after a
// daylight-saving change at midnight.
int64_t dayStart(const QDate &date);

// Bit d - 1 for each day d of the month with a recording on any channel of
// the open card; days are local days, 23 or 25 hours long where daylight
// saving changes.
uint32_t recordedDays(int layout, int channels, int year, int month);

// The fragments of a local day on every channel of the open card, in time
// order; fragments of several channels with the same span are one entry.
// At most kMaxDayEntries. False when the library gave no list.
bool dayFragments(int layout, int channels, const QDate &date, QVector<FragmentEntry> *out);
