// bench_app: how long the main window takes from the choice of a card in
// the disk chooser to the fragment list of the selected day being on the
// screen, for a day of 1000 fragments. The card is a raw-disk card made by
// the simulator with synthetic media. Runs headless (offscreen) unless a
// platform is given; prints its figures; not a test.
//
//   bench_app [--reps N] [--keep PATH]
#include <fcntl.h>
#include <unistd.h>

#include <QApplication>
#include <QCalendarWidget>
#include <QComboBox>
#include <QDateTime>
#include <QDir>
#include <QPushButton>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "device.h"
#include "fragment_list.h"
#include "raw_writer.h"
#include "scenario.h"
#include "test.h"
#include "ui_test.h"

class AppBench {
 public:
  static Ui::test *ui(test &w) { return w.ui; }
  static void forgetOpenDisk(test &w) { w.openKey = test::kNoCard; }
  static int buttons(test &w) { return w.fragmentList->rowCount(); }
  static int rowUnit(test &w) { return w.fragmentList->rowUnit(); }
};

namespace {

// The window answers from its card thread: events are handled until it
// has nothing more to wait for.
void settle(test &window) {
  do {
    QApplication::processEvents(QEventLoop::AllEvents, 5);
  } while (window.isBusy());
  QApplication::processEvents();
}

double nowMs() {
  return std::chrono::duration<double, std::milli>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

struct Stats {
  double min, median, max;
};

Stats stats(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return {v.front(), v[v.size() / 2], v.back()};
}

}  // namespace

int main(int argc, char *argv[]) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);

  int reps = 10;
  QString keep;
  const QStringList args = app.arguments();
  for (int i = 1; i < args.size(); i++) {
    if (args[i] == "--reps" && i + 1 < args.size()) {
      reps = std::max(1, args[++i].toInt());
    } else if (args[i] == "--keep" && i + 1 < args.size()) {
      keep = args[++i];
    } else {
      fprintf(stderr, "usage: bench_app [--reps N] [--keep PATH]\n");
      return 2;
    }
  }

  QTemporaryDir tmp;
  const QString image = keep.isEmpty() ? tmp.filePath("bench_app.img") : keep;

  // 1000 ten-second recordings, one every 80 s, on one day.
  const QDate day(2025, 3, 5);
  const int64_t dayStart = QDateTime(day, QTime(0, 0)).toSecsSinceEpoch();
  std::string json = R"({"layout":"raw","codec":"h265","channels":1,"width":64,"height":48,
    "fps":1,"gop":10,"audio":false,"media":"synthetic","recordings":[)";
  for (int i = 0; i < 1000; ++i) {
    const int64_t s = dayStart + static_cast<int64_t>(i) * 80;
    json += (i ? ",{" : "{") + std::string("\"start\":") + std::to_string(s) +
            ",\"end\":" + std::to_string(s + 10) + ",\"type\":1}";
  }
  json += "]}";
  Scenario scenario;
  std::string error;
  RawWriteSummary summary;
  if (!parseScenario(QByteArray::fromStdString(json), &scenario, &error) ||
      !writeRawCard(scenario, image.toStdString(), "", &summary, &error)) {
    fprintf(stderr, "bench_app: %s\n", error.c_str());
    return 1;
  }

  // Only the simulated card: the machine's own disks stay out of it.
  const std::string empty = tmp.path().toStdString() + "/none";
  plat_setRoots(empty.c_str(), empty.c_str(), empty.c_str());
  plat_attachPath(QFile::encodeName(image).constData());

  test window;
  window.setStyleSheet(kMainWindowStyleSheet);
  window.show();
  QApplication::processEvents();
  Ui::test *ui = AppBench::ui(window);
  ui->calendarWidget->setSelectedDate(day);
  QMetaObject::invokeMethod(&window, "findDiskDevice");
  settle(window);
  if (ui->comboBox_disk->count() < 1) {
    fprintf(stderr, "bench_app: the card was not recognised\n");
    return 1;
  }

  // The raw-disk library reports every load on standard output; keep the
  // figures readable by sending that to /dev/null while the runs go on.
  fflush(stdout);
  const int savedStdout = dup(1);
  const int devNull = open("/dev/null", O_WRONLY);
  dup2(devNull, 1);
  close(devNull);

  // Choosing the card: close, load, month marks, day list, paging, paint.
  std::vector<double> open, requery;
  for (int r = 0; r < reps; r++) {
    ui->comboBox_disk->setCurrentIndex(-1);
    AppBench::forgetOpenDisk(window);
    QApplication::processEvents();
    const double t0 = nowMs();
    ui->comboBox_disk->setCurrentIndex(0);
    settle(window);
    window.repaint();
    open.push_back(nowMs() - t0);
    if (AppBench::buttons(window) != 1000) {
      fprintf(stderr, "bench_app: %d buttons, not 1000\n", AppBench::buttons(window));
      return 1;
    }
  }
  // The same card chosen again: no load, the month and day queries only.
  for (int r = 0; r < reps; r++) {
    ui->comboBox_disk->setCurrentIndex(-1);
    QApplication::processEvents();
    const double t0 = nowMs();
    ui->comboBox_disk->setCurrentIndex(0);
    settle(window);
    window.repaint();
    requery.push_back(nowMs() - t0);
  }

  fflush(stdout);
  dup2(savedStdout, 1);
  close(savedStdout);

  const Stats a = stats(open), b = stats(requery);
  printf("bench_app: day of %d fragments (row unit %d), %d runs each\n", AppBench::buttons(window),
         AppBench::rowUnit(window), reps);
  printf("  choose card, load and list:  min %7.1f ms  median %7.1f ms  max %7.1f ms\n", a.min,
         a.median, a.max);
  printf("  choose open card, re-list:   min %7.1f ms  median %7.1f ms  max %7.1f ms\n", b.min,
         b.median, b.max);
  return 0;
}
