// Pictures and PCM blocks that the playback workers hand to the window.
//
// Every picture sent with sigGetVedioFrame and every PCM block sent with
// sigGetAudioFrame is the receiver's own: a new reference to a decoded
// picture that nobody writes into any more, or a private copy. A picture's
// pts is the card time (Unix ms) of the stored frame it shows. The receiver owns the copy once its slot runs and must release it
// exactly once when done with it:
//
//   void test::updateVideo_1(AVFrame *pFrameYUV, int w, int h) {
//     ... draw pFrameYUV->data[0..2] / linesize[0..2] ...
//     qmx_player_releasePicture(pFrameYUV);   // or av_frame_free(&pFrameYUV)
//   }
//   void test::playPCM(const char *data, int length) {
//     ... write length bytes ...
//     qmx_player_releasePcm(data);
//   }
//
// Connect each worker signal to exactly one receiver (several receivers
// would release one copy several times). A sender with no receiver makes
// no copies. Each worker keeps at most QMX_PLAYER_MAX_PICTURES pictures
// and QMX_PLAYER_MAX_PCM_BLOCKS PCM blocks in flight: while that many are
// unreleased it drops new ones instead of copying, so a window that falls
// behind loses pictures or sound but never grows memory.
#pragma once

#include <QMetaType>
#include <memory>

extern "C" {
#include <libavutil/frame.h>
}

#define QMX_PLAYER_MAX_PICTURES 8
#define QMX_PLAYER_MAX_PCM_BLOCKS 64

// Queued connections carry these argument types by value (the pointer).
Q_DECLARE_METATYPE(AVFrame *)
Q_DECLARE_METATYPE(const char *)

// Registers AVFrame* and const char* for queued connections. Idempotent;
// the workers call it when they are constructed.
void qmx_player_registerMetaTypes(void);

// Releases a picture received from sigGetVedioFrame. Null is ignored.
void qmx_player_releasePicture(AVFrame *picture);

// Releases a PCM block received from sigGetAudioFrame. Null is ignored.
// Only pointers received from sigGetAudioFrame may be passed, once each; a
// guard word in front of the samples turns some misuses into a logged no-op.
void qmx_player_releasePcm(const char *data);

// Counts one worker's copies that are still in flight, shared by the
// worker and every copy so that releasing after the worker is gone is safe.
struct qmx_player_inFlight;
typedef std::shared_ptr<qmx_player_inFlight> qmx_player_inFlightPtr;

qmx_player_inFlightPtr qmx_player_newInFlight(void);
int qmx_player_picturesInFlight(const qmx_player_inFlightPtr &counter);
int qmx_player_pcmInFlight(const qmx_player_inFlightPtr &counter);

// The receiver's own reference to (or copy of) a picture, pts kept, or null
// when the bound is reached or memory is short.
AVFrame *qmx_player_copyPicture(const qmx_player_inFlightPtr &counter,
                                const AVFrame *src);

// Copy of a PCM block for hand-over, or null when the bound is reached or
// memory is short.
const char *qmx_player_copyPcm(const qmx_player_inFlightPtr &counter,
                               const uint8_t *data, int length);
