// The download list window: shows the current download directory, lets the
// user pick another one (never inside the open card) and the timing of the
// exports queued from then on, and lists every export entry made since
// start-up with its status, its progress and its directory. An entry that
// is waiting or running can be cancelled; any entry's folder can be opened.
// It polls the process-wide entry list every 1500 ms. Everything here runs
// on the GUI thread.
#pragma once

#include <QStringList>
#include <QWidget>

class QTimer;

namespace Ui {
class downloadInfo;
}

class downloadInfo : public QWidget {
  Q_OBJECT

 public:
  // Asks the user for a directory; returns an empty string when cancelled.
  // The default opens the system's directory chooser; tests put a function
  // of their own here so that no modal dialog blocks them.
  using DirectoryChooser = QString (*)(QWidget *parent, const QString &caption,
                                       const QString &startDir);
  static DirectoryChooser chooseDirectory;
  // Shows a folder to the user (the desktop's file manager by default).
  using FolderOpener = void (*)(const QString &dir);
  static FolderOpener openFolder;

  // Milliseconds between two refreshes of the entry list.
  static constexpr int kRefreshMs = 1500;

  explicit downloadInfo(QWidget *parent = nullptr);
  ~downloadInfo() override;

 private slots:
  void on_pushButton_clicked();
  void on_pushButton_cancel_clicked();
  void on_pushButton_openFolder_clicked();
  void on_comboBox_timing_currentIndexChanged(int index);
  void on_timeoutMessage();
  void updateButtons();

 private:
  friend class DownloadInfoAccess;  // tests reach the members through it

  Ui::downloadInfo *ui;
  QTimer *refreshTimer = nullptr;  // child of the window, fires every kRefreshMs
  QStringList entrySnapshot;       // downloadEntries at the last refresh
  QStringList pathSnapshot;        // downloadPaths at the last refresh
};
