#include "close_guard.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <QWidget>

#include "download.h"

namespace exportCloseGuard {

namespace {

// The texts of this file, translated in the context "CloseGuard".
class CloseGuard {
  Q_DECLARE_TR_FUNCTIONS(CloseGuard)
};

Choice askUser(QWidget *window) {
  QMessageBox box(QMessageBox::Question, CloseGuard::tr("下载进行中"),
                  CloseGuard::tr("还有下载未完成。等待下载完成后关闭, 还是取消下载并立即关闭?"),
                  QMessageBox::NoButton, window);
  QPushButton *wait = box.addButton(CloseGuard::tr("等待完成"), QMessageBox::AcceptRole);
  box.addButton(CloseGuard::tr("取消下载"), QMessageBox::DestructiveRole);
  box.setDefaultButton(wait);
  box.exec();
  return box.clickedButton() == wait ? Wait : Cancel;
}

// Polls the worker every 100 ms after the user chose to wait.
const int kPollMs = 100;

}  // namespace

Asker ask = askUser;

bool allowClose(QWidget *window, QCloseEvent *event) {
  if (!download::busy()) {
    event->accept();
    return true;
  }
  if (ask(window) == Cancel) {
    download::cancelAll();
    event->accept();
    return true;
  }
  event->ignore();
  window->setWindowTitle(window->windowTitle() + CloseGuard::tr(" (等待下载完成后关闭)"));
  QPointer<QWidget> guarded(window);
  QTimer *poll = new QTimer(window);
  QObject::connect(poll, &QTimer::timeout, window, [guarded, poll]() {
    if (download::busy() || !guarded) return;
    poll->stop();
    poll->deleteLater();
    guarded->close();
  });
  poll->start(kPollMs);
  return false;
}

}  // namespace exportCloseGuard
