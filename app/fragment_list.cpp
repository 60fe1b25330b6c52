#include "fragment_list.h"

#include <QDateTime>
#include <QDebug>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollArea>
#include <QScrollBar>
#include <QSpacerItem>
#include <QVBoxLayout>
#include <algorithm>

namespace {

const char *const kStyles[3] = {
    "QPushButton { min-width: 220px;max-width: 220px;min-height: 40px;max-height: 40px;"
    "background-color: white; color: red; font-size: 10pt; border:2px solid red;}",
    "QPushButton { min-width: 220px;max-width: 220px;min-height: 40px;max-height: 40px;"
    "background-color: white; color: blue; font-size: 10pt; border:2px solid blue;}",
    "QPushButton { min-width: 220px;max-width: 220px;min-height: 40px;max-height: 40px;"
    "background-color: white; color: green; font-size: 10pt; border:2px solid green;}",
};

// A fragment button is 40 px plus its 2 px borders, and the layout puts no
// space between them.
constexpr int kButtonHeight = 44;

// Largest height a widget may take.
constexpr int64_t kMaxWidgetHeight = 16777215;

QString clock(int64_t seconds) { return QDateTime::fromSecsSinceEpoch(seconds).time().toString(Qt::TextDate); }

// Channels other than channel 0 alone are named on a line of their own
// under the times, as circled numbers (channel 0 is ①): the first line
// keeps its place, and with it the parts a click chooses by.
QString channelMark(uint8_t channels) {
  if (channels <= 1) return QString();
  QString mark(QLatin1Char('\n'));
  for (int c = 0; c < 4; c++)
    if (channels & (1u << c)) mark += QChar(0x2460 + c);
  return mark;
}

}  // namespace

void FragmentModel::setEntries(QVector<FragmentEntry> list) {
  beginResetModel();
  entries = std::move(list);
  endResetModel();
}

int FragmentModel::rowCount(const QModelIndex &parent) const { return parent.isValid() ? 0 : entries.size(); }

QVariant FragmentModel::data(const QModelIndex &index, int role) const {
  if (!index.isValid() || index.row() >= entries.size()) return QVariant();
  const FragmentEntry &e = entries.at(index.row());
  switch (role) {
    case Qt::DisplayRole:
      return QString("%1-%2   %3%4").arg(clock(e.start), clock(e.end), tr("下载 | 播放"), channelMark(e.channels));
    case SpanRole:
      return QString("%1-%2").arg(e.start).arg(e.end);
    case TypeRole:
      return e.type;
    case ChannelsRole:
      return e.channels;
    default:
      return QVariant();
  }
}

FragmentList::FragmentList(QScrollArea *scrollArea, QObject *clickReceiver, const char *slot)
    : QObject(scrollArea), area(scrollArea), receiver(clickReceiver), clickSlot(slot) {
  layout = new QVBoxLayout(area->widget());
  layout->setAlignment(Qt::AlignTop);
  // Without spacing the rows lie exactly one paging pitch (44 px) apart, so
  // the spacer that stands for the rows above the view has their height.
  layout->setSpacing(0);
}

void FragmentList::show(const QVector<FragmentEntry> &entries) {
  const int count = entries.size();
  if (count > 0) {
    qCDebug(lcCard) << "count:" << count << " FIRST START:" << entries.front().start
             << " FIRST END:" << entries.front().end;
    qCDebug(lcCard) << " LSAT START:" << entries.back().start << " LSAT  END:" << entries.back().end;
  } else {
    qCDebug(lcCard) << "count:" << count;
  }
  // Rows shrink for long lists so that the content stays below 32700 px,
  // down to a unit of 1 (no shorter than a pixel) for the longest.
  rows = count;
  unit = rows * 44 > 32700 ? static_cast<int>(std::max<int64_t>(327000 / (rows * 11), 1)) : 40;
  fitHeight();

  QVector<FragmentEntry> kept;
  kept.reserve(count);
  for (const FragmentEntry &e : entries)
    if (e.start < e.end) kept.append(e);
  clear();
  fragments.setEntries(kept);

  QScrollBar *bar = area->verticalScrollBar();
  bar->setValue(0);
  emit bar->valueChanged(0);
}

// The content holds a pitch per row; buttons are taller than a shrunk
// pitch, so the rows of the last view need their full height to be
// reached at the end of the scroll range.
void FragmentList::fitHeight() {
  const int pitch = unit + unit / 10;
  int64_t height = std::max<int64_t>(rows * pitch, 800);
  if (pitch < kButtonHeight) {
    const int64_t lastView = area->viewport()->height() / kButtonHeight + 1;
    height += (kButtonHeight - pitch) * std::min(rows, lastView);
  }
  height = std::min(height, kMaxWidgetHeight);
  if (area->widget()->height() != height || area->widget()->minimumHeight() != height)
    area->widget()->setFixedHeight(static_cast<int>(height));
}

void FragmentList::clear() {
  current = -1;
  qDeleteAll(built);
  built.clear();
  while (QLayoutItem *item = layout->takeAt(0)) delete item;
  fragments.setEntries({});
}

void FragmentList::page() {
  fitHeight();  // the view may have grown
  const int value = area->verticalScrollBar()->value();
  const int pitch = unit + unit / 10;
  const int viewport = area->viewport()->height();
  const int startIndex = std::max(value / pitch, 0);
  int endIndex = static_cast<int>(
      std::min<int64_t>((static_cast<int64_t>(value) + viewport + pitch - 1) / pitch, rowCount()));
  // Below the buttons a view can show, rows would only be clipped: they get
  // no button.
  endIndex = std::min(endIndex, startIndex + (viewport + kButtonHeight - 1) / kButtonHeight + 1);
  qCDebug(lcCard) << "startIndex:" << startIndex << " endIndex:" << endIndex;

  while (QLayoutItem *item = layout->takeAt(0)) {
    if (QWidget *w = item->widget()) w->hide();
    delete item;
  }
  for (auto it = built.begin(); it != built.end();) {
    if (it.key() < startIndex || it.key() >= endIndex) {
      delete it.value();
      it = built.erase(it);
    } else {
      ++it;
    }
  }
  if (startIndex > 0)
    layout->addItem(new QSpacerItem(1, pitch * startIndex, QSizePolicy::Fixed, QSizePolicy::Fixed));
  for (int row = startIndex; row < endIndex; row++) {
    QPushButton *b = built.value(row, nullptr);
    if (!b) b = built[row] = makeButton(row);
    layout->addWidget(b);
    b->show();
  }
}

QPushButton *FragmentList::makeButton(int row) {
  const QModelIndex index = fragments.index(row);
  auto *b = new QPushButton(area->widget());
  b->setObjectName(index.data(FragmentModel::SpanRole).toString());
  b->setText(index.data().toString());
  b->setProperty("row", row);
  b->setToolTip(index.data(FragmentModel::ChannelsRole).toInt() > 1 ? index.data().toString() : QString());
  built[row] = b;
  restyle(row);
  connect(b, SIGNAL(clicked()), receiver, clickSlot);
  return b;
}

void FragmentList::restyle(int row) {
  QPushButton *b = button(row);
  if (!b) return;
  const int type = fragments.entry(row).type;
  QString style = type < 3 ? QString(kStyles[type]) : QString();
  if (row == current) {
    static const QRegularExpression background("background-color:\\s*([^;]+);");
    style.replace(background, "background-color: rgb(29, 170, 200);");
  }
  b->setStyleSheet(style);
}

void FragmentList::setCurrent(int row) {
  const int previous = current;
  current = row;
  restyle(previous);
  restyle(row);
}

int FragmentList::rowOf(const QPushButton *b) const {
  const QVariant row = b ? b->property("row") : QVariant();
  return row.isValid() && button(row.toInt()) == b ? row.toInt() : -1;
}

void FragmentList::scrollTo(int row) {
  if (row < 0 || row >= rowCount()) return;
  const int pitch = unit + unit / 10;
  QScrollBar *bar = area->verticalScrollBar();
  const int top = row * pitch;
  if (top < bar->value() || top + kButtonHeight > bar->value() + area->viewport()->height())
    bar->setValue(top);
  if (!button(row)) page();
}
