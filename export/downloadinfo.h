// The download list window: shows the current download directory, lets the
// user pick another one, and lists every export entry made since start-up
// with its status. It never talks to the download worker; it polls the
// process-wide entry list every 1500 ms. Everything here runs on the GUI
// thread.
#pragma once

#include <QList>
#include <QStringList>
#include <QWidget>

class QLabel;
class QTimer;
class QVBoxLayout;

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

  // Milliseconds between two refreshes of the entry list.
  static constexpr int kRefreshMs = 1500;

  explicit downloadInfo(QWidget *parent = nullptr);
  ~downloadInfo() override;

 protected:
  void showEvent(QShowEvent *event) override;

 private slots:
  void on_pushButton_clicked();
  void on_timeoutMessage();
  void on_scrollBar_change(int value);

 private:
  friend class DownloadInfoAccess;  // tests reach the members through it

  static QString entryText(const QString &entry, const QString &path);

  Ui::downloadInfo *ui;
  QVBoxLayout *entryLayout = nullptr;  // on scrollAreaWidgetContents, top-aligned
  QTimer *refreshTimer = nullptr;      // child of the window, fires every kRefreshMs
  QList<QLabel *> entryLabels;         // one per entry so far, children of the window
  QStringList entrySnapshot;           // downloadEntries at the last refresh
};
