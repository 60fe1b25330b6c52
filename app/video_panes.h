// The window's video panes: up to four labels in a 2 x 2 grid, each with an
// SDL window made from the label's native window, a renderer and one
// streaming YUV texture. A pane keeps the last picture it was given, so that
// it can be drawn again when the pane is exposed or resized and saved as a
// still. One pane is heard at a time; a thin frame marks it while more than
// one pane is shown. A double click shows a pane alone and brings the grid
// back.
//
// GUI thread only.
#pragma once

#include <QObject>
#include <QPoint>
#include <QSize>
#include <array>
#include <cstdint>

#define SDL_MAIN_HANDLED
#include <SDL.h>

struct AVFrame;
class QGridLayout;
class QLabel;

// Where a picture of width x height is drawn in a pane of ww x wh pixels:
// centred, as large as fits, aspect ratio kept. Empty for empty sizes.
SDL_Rect fitPicture(int width, int height, int ww, int wh);

class VideoPanes : public QObject {
  Q_OBJECT

 public:
  static const int kPanes = 4;

  // labels: the four panes in grid order (pane 1 top left, pane 4 bottom
  // right); all but pane 1 start hidden.
  VideoPanes(QWidget *window, const std::array<QLabel *, kPanes> &labels);
  ~VideoPanes() override;

  // Ties an SDL window and renderer to each pane. Without them (no SDL, or
  // a platform SDL cannot draw into) pictures are kept but not drawn.
  void setUpSdl();
  bool drawing() const { return panes[0].renderer != nullptr; }

  // Takes the picture (YUV 4:2:0; released with qmx_player_releasePicture)
  // as the pane's own and draws it.
  void show(int pane, AVFrame *picture);
  // The pane's last picture, or null, and its card time (Unix ms; -1 none).
  const AVFrame *picture(int pane) const { return valid(pane) ? panes[pane].last : nullptr; }
  int64_t pictureTime(int pane) const;
  // Forgets every picture (the card changed); the panes turn black.
  void clear();

  // Shows the panes a card of `channels` channels needs: 1, 2 or all 4.
  void setChannels(int channels);
  int shown() const { return count; }
  bool isShown(int pane) const;
  // Shows the pane alone in the video area, or the grid again.
  void toggleAlone(int pane);
  int alone() const { return alonePane; }
  // The pane whose sound is heard (heardPane): framed while others show.
  void setHeard(int pane);
  int heard() const;
  // Pane under a point in global coordinates, or -1.
  int paneAt(const QPoint &global) const;
  // Saves the pane's picture as a PNG in dir (made when missing), named
  // after its channel and card time. False with *error when it cannot.
  bool saveStill(int pane, const QString &dir, QString *path, QString *error) const;
  // Draws the pane again from its last picture.
  void redraw(int pane);

  bool eventFilter(QObject *watched, QEvent *event) override;

 signals:
  void paneClicked(int pane);

 private:
  struct Pane {
    QLabel *label = nullptr;
    SDL_Window *window = nullptr;
    SDL_Renderer *renderer = nullptr;
    SDL_Texture *texture = nullptr;
    QSize textureSize{0, 0};
    SDL_Rect rect{0, 0, 0, 0};
    AVFrame *last = nullptr;
  };

  bool valid(int pane) const { return pane >= 0 && pane < kPanes; }
  int indexOf(QObject *watched) const;  // a pane's label or its native window
  void layOut();
  void draw(Pane &p, bool framed);

  QWidget *window;
  std::array<Pane, kPanes> panes;
  int count = 1;
  int alonePane = -1;
  bool sdlStarted = false;
};
