#include "video_panes.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QMouseEvent>
#include <QTimer>
#include <QWindow>
#include <cstdio>

extern "C" {
#include <libavutil/frame.h>
}

#include "globals.h"
#include "handover.h"
#include "play_position.h"
#include "still.h"

namespace {

// Chooses the SDL video driver that matches the toolkit's window system, so
// that SDL never tries to draw into a window id that belongs to another one
// (offscreen test runs, for instance, have no X windows behind the panes).
void chooseSdlVideoDriver() {
  if (qEnvironmentVariableIsSet("SDL_VIDEODRIVER")) return;
  const QString platform = QGuiApplication::platformName();
  if (platform == QLatin1String("xcb"))
    SDL_SetHint(SDL_HINT_VIDEODRIVER, "x11");
  else if (platform.startsWith(QLatin1String("wayland")))
    SDL_SetHint(SDL_HINT_VIDEODRIVER, "wayland");
  else
    SDL_SetHint(SDL_HINT_VIDEODRIVER, "offscreen");
}

}  // namespace

SDL_Rect fitPicture(int width, int height, int ww, int wh) {
  SDL_Rect r{0, 0, 0, 0};
  if (width <= 0 || height <= 0 || ww <= 0 || wh <= 0) return r;
  const float a = static_cast<float>(width) / static_cast<float>(height);
  if (static_cast<float>(ww) / static_cast<float>(wh) > a) {
    r.h = wh;
    r.w = static_cast<int>(a * static_cast<float>(wh));
    r.x = (ww - r.w) / 2;
    r.y = 0;
  } else {
    r.w = ww;
    r.x = 0;
    r.h = static_cast<int>(static_cast<float>(ww) / a);
    r.y = (wh - r.h) / 2;
  }
  return r;
}

VideoPanes::VideoPanes(QWidget *w, const std::array<QLabel *, kPanes> &labels)
    : QObject(w), window(w) {
  for (int i = 0; i < kPanes; i++) {
    panes[i].label = labels[i];
    labels[i]->installEventFilter(this);
    if (i > 0) labels[i]->hide();
  }
}

VideoPanes::~VideoPanes() {
  // SDL's side of the panes' native windows goes, so that another window
  // made in the same process starts clean.
  for (Pane &p : panes) {
    qmx_player_releasePicture(p.last);
    if (p.texture) SDL_DestroyTexture(p.texture);
    if (p.renderer) SDL_DestroyRenderer(p.renderer);
    if (p.window) SDL_DestroyWindow(p.window);
  }
}

void VideoPanes::setUpSdl() {
  qDebug() << "initSdl2 start";
  chooseSdlVideoDriver();
  // The program handles its own signals; SDL must not turn Ctrl-C into an
  // event nobody reads. Sound does not go through SDL.
  SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
  if (SDL_Init(SDL_INIT_VIDEO) != 0) {
    fprintf(stderr, "SDL_Init Error: %s\n", SDL_GetError());
    return;
  }
  sdlStarted = true;
  for (int i = 0; i < kPanes; i++) {
    Pane &p = panes[i];
    p.window = SDL_CreateWindowFrom(reinterpret_cast<void *>(p.label->winId()));
    if (!p.window) {
      qDebug().noquote() << QString("window%1=null").arg(i + 1) << SDL_GetError();
      return;
    }
    // Told a new size, SDL moves a window it takes for fixed-size back to
    // where it saw it last, which for a pane laid out again since is the
    // wrong place: the panes are resizable windows to SDL.
    SDL_SetWindowResizable(p.window, SDL_TRUE);
    p.renderer = SDL_CreateRenderer(p.window, -1, 0);
    if (!p.renderer) {
      qDebug().noquote() << QString("render%1=null").arg(i + 1);
      SDL_DestroyWindow(p.window);
      p.window = nullptr;
      return;
    }
    // The pane is SDL's alone: Qt painting its background would wipe the
    // picture out whenever the pane is exposed or laid out again.
    p.label->setUpdatesEnabled(false);
    // Exposure reaches the pane's native window, not the label.
    if (QWindow *native = p.label->windowHandle()) native->installEventFilter(this);
  }
  qDebug() << "initSdl2 end";
}

void VideoPanes::show(int pane, AVFrame *picture) {
  if (!valid(pane) || !picture) {
    qmx_player_releasePicture(picture);
    return;
  }
  Pane &p = panes[pane];
  qmx_player_releasePicture(p.last);
  p.last = picture;
  if (p.label->isVisible()) draw(p, pane == heard() && count > 1 && alonePane < 0);
}

int64_t VideoPanes::pictureTime(int pane) const {
  const AVFrame *f = picture(pane);
  return f ? f->pts : -1;
}

void VideoPanes::clear() {
  for (int i = 0; i < kPanes; i++) {
    qmx_player_releasePicture(panes[i].last);
    panes[i].last = nullptr;
    redraw(i);
  }
}

void VideoPanes::redraw(int pane) {
  if (!valid(pane) || !panes[pane].label->isVisible()) return;
  draw(panes[pane], pane == heard() && count > 1 && alonePane < 0);
}

// Uploads the pane's last picture and draws it fitted into the pane, with
// the heard pane's frame around it when `framed`.
void VideoPanes::draw(Pane &p, bool framed) {
  if (!p.window || !p.renderer) return;
  // SDL keeps the size a pane had when its window was made and does not see
  // Qt lay the pane out again: tell it the pane's size before fitting.
  const qreal ratio = p.label->devicePixelRatioF();
  const int lw = qRound(p.label->width() * ratio), lh = qRound(p.label->height() * ratio);
  int ww = 0, wh = 0;
  SDL_GetWindowSize(p.window, &ww, &wh);
  if (lw > 0 && lh > 0 && (lw != ww || lh != wh)) {
    SDL_SetWindowSize(p.window, lw, lh);
    ww = lw;
    wh = lh;
  }
  SDL_SetRenderDrawColor(p.renderer, 0, 0, 0, 255);
  SDL_RenderClear(p.renderer);
  const AVFrame *f = p.last;
  if (f && f->width > 0 && f->height > 0) {
    if (p.textureSize != QSize(f->width, f->height)) {
      p.textureSize = QSize(f->width, f->height);
      if (p.texture) SDL_DestroyTexture(p.texture);
      p.texture = SDL_CreateTexture(p.renderer, SDL_PIXELFORMAT_IYUV, SDL_TEXTUREACCESS_STREAMING,
                                    f->width, f->height);
    }
    if (p.texture) {
      SDL_UpdateYUVTexture(p.texture, nullptr, f->data[0], f->linesize[0], f->data[1],
                           f->linesize[1], f->data[2], f->linesize[2]);
      p.rect = fitPicture(f->width, f->height, ww, wh);
      SDL_RenderCopy(p.renderer, p.texture, nullptr, &p.rect);
    }
  }
  if (framed) {
    SDL_SetRenderDrawColor(p.renderer, 29, 170, 200, 255);
    for (int i = 0; i < 2; i++) {
      const SDL_Rect edge{i, i, ww - 2 * i, wh - 2 * i};
      SDL_RenderDrawRect(p.renderer, &edge);
    }
  }
  SDL_RenderPresent(p.renderer);
}

void VideoPanes::setChannels(int channels) {
  const int wanted = qmx_panes_forChannels(channels);
  count = wanted > 0 ? wanted : 1;
  if (alonePane >= count) alonePane = -1;
  if (heard() >= count) setHeard(0);
  layOut();
}

bool VideoPanes::isShown(int pane) const {
  return valid(pane) && pane < count && (alonePane < 0 || alonePane == pane);
}

void VideoPanes::layOut() {
  for (int i = 0; i < kPanes; i++) panes[i].label->setVisible(isShown(i));
  for (int i = 0; i < kPanes; i++) redraw(i);
}

void VideoPanes::toggleAlone(int pane) {
  if (!valid(pane) || pane >= count) return;
  alonePane = alonePane < 0 && count > 1 ? pane : -1;
  layOut();
}

int VideoPanes::heard() const { return heardPane; }

void VideoPanes::setHeard(int pane) {
  if (!valid(pane) || pane >= count) return;
  heardPane = pane;
  for (int i = 0; i < kPanes; i++) redraw(i);
}

int VideoPanes::paneAt(const QPoint &global) const {
  for (int i = 0; i < kPanes; i++) {
    const QLabel *label = panes[i].label;
    if (label->isVisible() && label->rect().contains(label->mapFromGlobal(global))) return i;
  }
  return -1;
}

int VideoPanes::indexOf(QObject *watched) const {
  for (int i = 0; i < kPanes; i++)
    if (panes[i].label == watched || panes[i].label->windowHandle() == watched) return i;
  return -1;
}

bool VideoPanes::eventFilter(QObject *watched, QEvent *event) {
  const int pane = indexOf(watched);
  if (pane < 0) return QObject::eventFilter(watched, event);
  // The native window sees the label's mouse events too: they count once.
  if (!watched->isWidgetType() && event->type() != QEvent::Expose)
    return QObject::eventFilter(watched, event);
  switch (event->type()) {
    case QEvent::MouseButtonPress:
      if (static_cast<QMouseEvent *>(event)->button() == Qt::LeftButton) {
        setHeard(pane);
        emit paneClicked(pane);
      }
      break;
    case QEvent::MouseButtonDblClick:
      if (static_cast<QMouseEvent *>(event)->button() == Qt::LeftButton) toggleAlone(pane);
      break;
    case QEvent::Resize:
    case QEvent::Show:
    case QEvent::Expose:
      // The pane was laid out again or exposed: its picture is drawn again
      // once the window system has settled.
      if (drawing()) QTimer::singleShot(30, this, [this, pane] { redraw(pane); });
      break;
    default:
      break;
  }
  return QObject::eventFilter(watched, event);
}

bool VideoPanes::saveStill(int pane, const QString &dir, QString *path, QString *error) const {
  const AVFrame *f = picture(pane);
  if (!f) {
    *error = tr("画面中还没有图像");
    return false;
  }
  if (!QDir().mkpath(dir)) {
    *error = tr("无法创建目录 %1").arg(dir);
    return false;
  }
  *path = QDir(dir).filePath(stillFileName(paneChannel[pane], f->pts));
  std::string why;
  if (qmx_writePng(f, QFile::encodeName(*path).toStdString(), &why)) return true;
  *error = QString::fromStdString(why);
  return false;
}
