// Entry point of the card player.
//
//   cardplayer [--card PATH]... [--verbose] [--fixed-rate]
//
// Each --card path is attached before the window is made: a regular file or
// a block device counts as a disk, a directory as a mounted volume. Without
// options the program looks only at the disks the system reports; with them
// it also opens the first card. A path that cannot be attached is said on
// standard error and in the window; when no card given can be attached the
// program ends with status 1 once the user has read why.
#include <QApplication>
#include <QComboBox>
#include <QCommandLineParser>
#include <QDate>
#include <QMessageBox>
#include <QTimer>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <memory>

#include "globals.h"
#include "qmx_version.h"
#include "screenshot.h"
#include "startup.h"
#include "test.h"

namespace {

struct Options {
  QCommandLineOption card{"card",
                          "Also look for a card at PATH: a card image file or block device "
                          "(a disk), or a directory (a mounted volume). May be given more "
                          "than once.",
                          "PATH"};
  QCommandLineOption verbose{"verbose",
                             "Print debug lines, and what the card libraries find wrong with disks "
                             "that are not cards."};
  QCommandLineOption fixedRate{"fixed-rate",
                               "Play at a fixed nominal rate (one picture per 83 ms at 1.0x) "
                               "instead of the recording's time stamps, for recorders whose "
                               "clocks cannot be trusted."};
  // Unattended pictures of the window (scripts/screenshot); not shown in --help.
  QCommandLineOption shot{"screenshot", "Save the window to FILE and quit.", "FILE"};
  QCommandLineOption shotDisk{"screenshot-disk", "Choose a disk first: its index or part of its name.",
                              "DISK"};
  QCommandLineOption shotDay{"screenshot-day", "Select day DATE first.", "YYYY-MM-DD"};
  QCommandLineOption shotFragment{"screenshot-fragment", "Play fragment K first.", "K"};
  QCommandLineOption shotPlay{"screenshot-play", "Press play once the fragment is chosen."};

  void addTo(QCommandLineParser *parser) {
    parser->setApplicationDescription(
        "Plays and exports the recordings of a camera recorder's card.");
    parser->addHelpOption();
    parser->addVersionOption();
    parser->addOption(card);
    parser->addOption(verbose);
    parser->addOption(fixedRate);
    for (QCommandLineOption *o : {&shot, &shotDisk, &shotDay, &shotFragment, &shotPlay}) {
      o->setFlags(QCommandLineOption::HiddenFromHelp);
      parser->addOption(*o);
    }
  }
};

// Whether any argument is one of names.
bool given(int argc, char *argv[], std::initializer_list<const char *> names) {
  for (int i = 1; i < argc; i++)
    for (const char *n : names)
      if (!strcmp(argv[i], n)) return true;
  return false;
}

}  // namespace

int main(int argc, char *argv[]) {
  // Help and the version need no window system.
  QCoreApplication::setApplicationVersion(qmx_version());
  const bool help = given(argc, argv, {"-h", "--help", "-?", "--help-all"});
  if (help || given(argc, argv, {"-v", "--version"})) {
    QCoreApplication core(argc, argv);
    QCommandLineParser parser;
    Options options;
    options.addTo(&parser);
    if (help) parser.showHelp(0);
    parser.showVersion();
  }

  chooseWindowSystem();
  QApplication application(argc, argv);
  setUpLanguage(application);

  QCommandLineParser parser;
  Options options;
  options.addTo(&parser);
  if (!parser.parse(QCoreApplication::arguments())) {
    fprintf(stderr, "cardplayer: %s\n", qPrintable(parser.errorText()));
    fprintf(stderr, "Try 'cardplayer --help'.\n");
    return 2;
  }
  if (!parser.positionalArguments().isEmpty()) {
    fprintf(stderr, "cardplayer: unexpected argument '%s'\n",
            qPrintable(parser.positionalArguments().first()));
    return 2;
  }

  const bool verbose = parser.isSet(options.verbose);
  setUpLogging(verbose);
  const QStringList cards = parser.values(options.card);
  const QStringList problems = attachCards(cards);
  fixedRatePacing = parser.isSet(options.fixedRate);

  test window(nullptr, verbose);
  window.setStyleSheet(kMainWindowStyleSheet);
  window.show();

  if (!cards.isEmpty() && problems.size() == cards.size()) {
    QMessageBox::critical(&window, window.windowTitle(), problems.join('\n'));
    return 1;
  }
  if (!problems.isEmpty()) window.showNotice(problems.join('\n'));

  // Cards named on the command line are shown at once: the first card the
  // chooser offers is opened, so its recorded days are marked without a
  // click.
  if (!cards.isEmpty()) {
    auto *combo = window.findChild<QComboBox *>("comboBox_disk");
    auto openFirst = std::make_shared<QMetaObject::Connection>();
    *openFirst = QObject::connect(combo->model(), &QAbstractItemModel::rowsInserted, &window, [combo, openFirst] {
      QObject::disconnect(*openFirst);
      QTimer::singleShot(0, combo, [combo] {
        if (combo->currentIndex() < 0 && combo->count() > 0) combo->setCurrentIndex(0);
      });
    });
  }

  if (parser.isSet(options.shot) || parser.isSet(options.shotPlay)) {
    ScreenshotRequest request;
    request.path = parser.value(options.shot);
    request.play = parser.isSet(options.shotPlay);
    bool ok = true;
    request.disk = parser.value(options.shotDisk);
    if (parser.isSet(options.shotDay)) {
      request.day = QDate::fromString(parser.value(options.shotDay), Qt::ISODate);
      ok = request.day.isValid();
    }
    if (ok && parser.isSet(options.shotFragment))
      request.fragment = parser.value(options.shotFragment).toInt(&ok);
    if (!ok) {
      fprintf(stderr, "cardplayer: bad screenshot option\n");
      return 2;
    }
    scheduleScreenshot(&window, request);
  }

  return application.exec();
}
