#include "handover.h"

#include <QDebug>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

extern "C" {
#include <libavutil/buffer.h>
}

// Copies alive per worker; incremented by the worker thread when it makes a
// copy, decremented by whichever thread releases the copy. Atomic, no lock.
struct qmx_player_inFlight {
  std::atomic<int> pictures{0};
  std::atomic<int> pcm{0};
};

namespace {

// What each copy holds: the counter to decrement when it is released.
struct Token {
  qmx_player_inFlightPtr counter;
  bool picture;
};

void releaseToken(Token *token) {
  if (token->picture)
    token->counter->pictures.fetch_sub(1);
  else
    token->counter->pcm.fetch_sub(1);
  delete token;
}

// Claims one slot below limit; false when all are taken.
bool claim(std::atomic<int> &count, int limit) {
  int n = count.load();
  while (n < limit) {
    if (count.compare_exchange_weak(n, n + 1)) return true;
  }
  return false;
}

void freePictureToken(void *opaque, uint8_t *) {
  releaseToken(static_cast<Token *>(opaque));
}

// A PCM block is this header followed by the samples; the receiver's
// pointer is to the samples.
const uint32_t kPcmGuard = 0x50434d42;  // "PCMB"
struct alignas(16) PcmHeader {
  uint32_t guard;
  int32_t length;
  Token *token;
};

}  // namespace

void qmx_player_registerMetaTypes(void) {
  qRegisterMetaType<AVFrame *>("AVFrame*");
  qRegisterMetaType<const char *>("const char*");
}

qmx_player_inFlightPtr qmx_player_newInFlight(void) {
  return std::make_shared<qmx_player_inFlight>();
}

int qmx_player_picturesInFlight(const qmx_player_inFlightPtr &counter) {
  return counter ? counter->pictures.load() : 0;
}

int qmx_player_pcmInFlight(const qmx_player_inFlightPtr &counter) {
  return counter ? counter->pcm.load() : 0;
}

AVFrame *qmx_player_copyPicture(const qmx_player_inFlightPtr &counter,
                                const AVFrame *src) {
  if (!counter || !src) return nullptr;
  if (!claim(counter->pictures, QMX_PLAYER_MAX_PICTURES)) return nullptr;
  Token *token = new (std::nothrow) Token{counter, true};
  if (!token) {
    counter->pictures.fetch_sub(1);
    return nullptr;
  }
  AVFrame *copy = av_frame_alloc();
  if (copy) {
    copy->format = src->format;
    copy->width = src->width;
    copy->height = src->height;
    // The token rides on the frame: freeing the frame releases the slot.
    copy->opaque_ref = av_buffer_create(reinterpret_cast<uint8_t *>(token),
                                        sizeof(Token), freePictureToken,
                                        token, 0);
  }
  if (!copy || !copy->opaque_ref) {
    av_frame_free(&copy);
    releaseToken(token);
    return nullptr;
  }
  // Pictures in reference-counted buffers (the decoder's output) are shared,
  // since nobody writes into them any more; others are copied.
  const bool shared = src->buf[0] != nullptr;
  if (shared) {
    AVBufferRef *token_ref = copy->opaque_ref;
    copy->opaque_ref = nullptr;
    const int r = av_frame_ref(copy, src);
    av_buffer_unref(&copy->opaque_ref);
    copy->opaque_ref = token_ref;
    if (r < 0) {
      av_frame_free(&copy);
      return nullptr;
    }
  } else if (av_frame_get_buffer(copy, 32) < 0 || av_frame_copy(copy, src) < 0) {
    av_frame_free(&copy);  // releases the token
    return nullptr;
  }
  copy->pts = src->pts;
  return copy;
}

void qmx_player_releasePicture(AVFrame *picture) {
  av_frame_free(&picture);
}

const char *qmx_player_copyPcm(const qmx_player_inFlightPtr &counter,
                               const uint8_t *data, int length) {
  if (!counter || !data || length < 0) return nullptr;
  if (!claim(counter->pcm, QMX_PLAYER_MAX_PCM_BLOCKS)) return nullptr;
  Token *token = new (std::nothrow) Token{counter, false};
  void *mem = std::malloc(sizeof(PcmHeader) + (size_t)length);
  if (!token || !mem) {
    std::free(mem);
    if (token)
      releaseToken(token);
    else
      counter->pcm.fetch_sub(1);
    return nullptr;
  }
  PcmHeader *header = static_cast<PcmHeader *>(mem);
  header->guard = kPcmGuard;
  header->length = length;
  header->token = token;
  char *samples = reinterpret_cast<char *>(header + 1);
  std::memcpy(samples, data, (size_t)length);
  return samples;
}

void qmx_player_releasePcm(const char *data) {
  if (!data) return;
  PcmHeader *header = reinterpret_cast<PcmHeader *>(
      const_cast<char *>(data) - sizeof(PcmHeader));
  if (header->guard != kPcmGuard) {
    qDebug() << "qmx_player_releasePcm: not a PCM block";
    return;
  }
  header->guard = 0;
  releaseToken(header->token);
  std::free(header);
}
