// The base shared by the two playback workers: the paced playback loop
// (playback_loop.cpp) and the decoder set it feeds, a video decoder for the
// card's codec and an AAC decoder, a parser in front of each, a picture
// converter to planar YUV 4:2:0 and a resampler to 16 kHz mono signed
// 16-bit PCM. `demuxer` (pane 1) and `demuxer_2` (pane 2) differ only in
// their pane (channel, handle, restart request, what ends play) and their
// log texts, which they pass to this base.
//
// Everything here runs on the worker's own thread and touches only that
// worker's members; the loop shares the card with the other workers and the
// window through playbackMutex (globals.h). Pictures and PCM leave as copies
// (see handover.h for how the receiver releases them).
#pragma once

#include <QByteArray>
#include <QObject>
#include <atomic>
#include <stdint.h>
#include <vector>

#include "handover.h"
#include "qmx_storage_v2.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

// Log texts that differ between the two workers.
struct DemuxerTexts {
  const char *initStart;         // "initDemuxer start"
  const char *initEnd;           // "initDemuxer end"
  const char *audioSendFail;     // "demuxer 277: avcodec_send_packet error"
  const char *audioReceiveFail;  // "demuxer 301: avcodec_receive_frame error"
  const char *name;              // "demuxer": leads the playback loop's log lines
  const char *handleOpened;      // "dumxer_handle:"
};

// Which video pane a worker feeds. Pane 1 plays card channel demuxerChannel
// through demuxerHandle, reports currentVideoTime and ends play for both
// panes at the end of the segment; pane 2 plays demuxer2Channel through
// demuxer2Handle, only on a two-channel card, and only logs what pane 1
// acts on.
enum class DemuxerPane { First, Second };

class DemuxerBase : public QObject {
  Q_OBJECT

 public:
  // PCM block: 1024 samples, mono, signed 16-bit.
  static const int kPcmSamples = 1024;
  static const int kPcmBlockBytes = 2048;
  static const int kPcmRate = 16000;

  explicit DemuxerBase(const DemuxerTexts &texts,
                       DemuxerPane pane = DemuxerPane::First,
                       QObject *parent = nullptr);
  ~DemuxerBase() override;

  // Decodes one stored video frame (start-code byte stream) and emits
  // sigGetVedioFrame for every picture shown. Does nothing when the set-up
  // is incomplete.
  void decodeVideo(const uint8_t *data, int size);
  void decodeVideo(const QByteArray &bytes) {
    decodeVideo(reinterpret_cast<const uint8_t *>(bytes.constData()),
                bytes.size());
  }

  // Decodes one stored audio frame or a run of them (AAC in ADTS frames,
  // e.g. the silent AAC stream) and emits sigGetAudioFrame once per 1024
  // samples of 16 kHz mono PCM.
  void decodeAudio(const uint8_t *data, int size);
  void decodeAudio(const QByteArray &bytes) {
    decodeAudio(reinterpret_cast<const uint8_t *>(bytes.constData()),
                bytes.size());
  }

  // FFmpeg codec id of the video decoder: 0 none, 27 H.264, 173 H.265.
  // The playback loop sets it between end() and init().
  int codecId = 0;

  // Pictures and PCM blocks handed over and not yet released by the receiver.
  int picturesInFlight() const { return qmx_player_picturesInFlight(inFlight); }
  int pcmInFlight() const { return qmx_player_pcmInFlight(inFlight); }
  // Pictures and PCM blocks dropped because too many were in flight.
  uint64_t droppedPictures() const { return droppedPictureCount; }
  uint64_t droppedPcmBlocks() const { return droppedPcmCount; }

 signals:
  // pFrame: a copy of the converted picture (YUV 4:2:0 planes in data[0..2]),
  // owned by the receiver, released with qmx_player_releasePicture.
  void sigGetVedioFrame(AVFrame *pFrame, int mWidth, int mHeight);
  // data: a copy of one PCM block of `length` (2048) bytes, owned by the
  // receiver, released with qmx_player_releasePcm.
  void sigGetAudioFrame(const char *data, int length);

 public slots:
  // Builds the decoder set for codecId and AAC. Failures are printed and
  // stop the set-up; what was made so far stays.
  void init();
  // Releases the decoders, parsers, packets, frames and the converter;
  // the resampler and the PCM buffer survive. Safe to call repeatedly.
  void end();
  // The playback loop: reads the pane's channel through the storage library
  // of the open card, paces it by the wall clock and playSpeed and decodes
  // it. Runs until requestStop(); queued slot calls of the worker's thread
  // are delivered inside its 10 ms and 100 ms waits.
  void on_demuxer_start();
  // Asks the loop for a one-frame step.
  void on_demuxer_nextFrame();

 public:
  // Makes on_demuxer_start return after its current pass or wait. May be
  // called from any thread; the window calls it before ending the thread.
  void requestStop() { stopRequested = true; }

 protected:
  uint8_t stepRequested = 0;  // a one-frame step is pending

 private:
  // How a storage pass ends: wait 10 ms before the next pass, or go on at once.
  enum class PassEnd { Pause, Now };

  void wait(int ms);
  void checkCodec();
  void fillIn(uint64_t now);
  bool holdBack(bool video, uint64_t now);
  PassEnd endOfPlay();
  PassEnd paneDone();
  PassEnd stopPlaying();
  void handOver(bool video, const uint8_t *data, int size, uint64_t now);
  PassEnd rawPass();
  PassEnd filePass();

  std::atomic<int> &handleVar();
  std::atomic<uint8_t> &restartVar();
  int channel() const;
  bool primary() const { return pane == DemuxerPane::First; }

  const DemuxerPane pane;
  std::atomic<bool> stopRequested{false};
  // Wall-clock ms before which the next video / audio frame is not decoded.
  uint64_t videoDue = 0;
  uint64_t audioDue = 0;
  // File-layout frame read and not yet played (length 0: none held).
  qmx_storage_v2_frame g_pbFrame{};

 private:
  // Runs the parser over one stored frame, sends each packet it yields to
  // the decoder and passes every decoded frame to onFrame.
  void parseAndDecode(AVCodecParserContext *parser, AVCodecContext *ctx,
                      AVPacket *packet, AVFrame *frame, const uint8_t *data,
                      int size, const char *sendFail, const char *receiveFail,
                      void (DemuxerBase::*onFrame)(AVFrame *));
  void showPicture(AVFrame *picture);
  void rebuildPicture(const AVFrame *picture);
  void convertAudio(AVFrame *frame);
  bool prepareResampler(const AVFrame *frame);
  void handOverPcm(const uint8_t *block);

  const DemuxerTexts texts;

  // Video.
  const AVCodec *videoCodec = nullptr;
  AVCodecContext *videoCtx = nullptr;
  AVCodecParserContext *videoParser = nullptr;
  AVPacket *videoPacket = nullptr;
  AVFrame *decodedPicture = nullptr;
  AVFrame *yuvFrame = nullptr;      // last converted picture
  SwsContext *swsCtx = nullptr;     // always sized like yuvFrame
  int swsSrcFormat = -1;            // pixel format swsCtx converts from

  // Audio.
  const int audioCodecId = AV_CODEC_ID_AAC;
  const AVCodec *audioCodec = nullptr;
  AVCodecContext *audioCtx = nullptr;
  AVCodecParserContext *audioParser = nullptr;
  AVPacket *audioPacket = nullptr;
  AVFrame *decodedAudio = nullptr;

  // Resampler: made on first use from the decoded frames' real format and
  // remade only when that format changes; survives end().
  SwrContext *swrCtx = nullptr;
  bool swrReady = false;
  int swrInFormat = -1;
  int swrInRate = 0;
  AVChannelLayout swrInLayout{};

  // 16 kHz mono S16 samples not yet handed over; survives end().
  std::vector<uint8_t> pcmBuffer;
  int pcmBlockSize = 0;
  std::vector<uint8_t> resampled;    // scratch for one converted frame
  std::vector<uint8_t> inputCopy;    // padded private copy of the input

  qmx_player_inFlightPtr inFlight;
  uint64_t droppedPictureCount = 0;
  uint64_t droppedPcmCount = 0;
};
