// pane_pacing: how evenly pane 1 shows its pictures at 1.0x while an export
// of the same card runs, against the same play without an export. Both
// playback worker and download worker run on their own threads, as in the
// player. Prints pictures shown per second against the recording's rate and
// the gaps between pictures (median, 95th percentile, largest), counted
// while the export runs (from the second second on). Not a test.
//
//   pane_pacing CARD START SECONDS FPS EXPORT_SECONDS
//
// CARD is a raw-disk card whose channel 0 is recorded from START on for at
// least SECONDS and EXPORT_SECONDS; the export covers EXPORT_SECONDS.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QMutexLocker>
#include <QThread>
#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "demuxer.h"
#include "device.h"
#include "download.h"
#include "globals.h"
#include "qmx_storage.h"
#include "silent_aac.h"

namespace {

struct Figures {
  double perSecond = 0, median = 0, p95 = 0, worst = 0;
};

Figures play(int64_t start, int seconds, const char *outDir, int exportSeconds, double *exportS) {
  const bool exporting = exportSeconds > 0;
  {
    QMutexLocker locker(&playbackMutex);
    playSpeed = 10;
    playStartTime = start;
    playEndTime = start + seconds;
    currentVideoTime = 0;
    demuxerRestart = 1;
    demuxer2Restart = 1;
    downloadDir = outDir;
  }
  std::vector<qint64> arrivals;
  QElapsedTimer clock;
  clock.start();
  QObject sink;
  auto *worker = new demuxer;
  QThread playThread;
  worker->moveToThread(&playThread);
  QObject::connect(worker, &DemuxerBase::sigGetVedioFrame, &sink,
                   [&](AVFrame *f, int, int) {
                     arrivals.push_back(clock.nsecsElapsed() / 1000);
                     qmx_player_releasePicture(f);
                   },
                   Qt::QueuedConnection);
  QObject::connect(worker, &DemuxerBase::sigGetAudioFrame, &sink,
                   [](const char *d, int) { qmx_player_releasePcm(d); }, Qt::QueuedConnection);
  playThread.start();
  auto *exporter = new download;
  QThread exportThread;
  exporter->moveToThread(&exportThread);
  exportThread.start();
  QMetaObject::invokeMethod(worker, "on_demuxer_start", Qt::QueuedConnection);
  QMetaObject::invokeMethod(exporter, "on_download_start", Qt::QueuedConnection);
  playState = 1;
  if (exporting) {
    QMetaObject::invokeMethod(exporter, "on_download_file", Qt::QueuedConnection,
                              Q_ARG(QString, QString("%1-%2").arg(start).arg(start + exportSeconds)));
  }
  qint64 exportEnd = -1;
  while (clock.elapsed() < seconds * 1000L - 1000) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    if (exporting && exportEnd < 0 && clock.elapsed() > 200 && !download::busy())
      exportEnd = clock.nsecsElapsed() / 1000;
  }
  if (exportS) *exportS = exportEnd < 0 ? -1 : exportEnd / 1e6;
  const qint64 until = exportEnd < 0 ? INT64_MAX : exportEnd;
  playState = 0;
  worker->requestStop();
  exporter->requestStop();
  download::cancelAll();
  playThread.quit();
  exportThread.quit();
  playThread.wait();
  exportThread.wait();
  QCoreApplication::sendPostedEvents(&sink, QEvent::MetaCall);
  delete worker;
  delete exporter;

  Figures f;
  // The first second is the start-up of the decoders: left out.
  std::vector<double> gaps;
  int counted = 0;
  qint64 last = 0;
  for (size_t i = 1; i < arrivals.size(); i++) {
    if (arrivals[i] < 1000000 || arrivals[i] > until) continue;
    last = arrivals[i];
    counted++;
    gaps.push_back((arrivals[i] - arrivals[i - 1]) / 1000.0);
  }
  if (gaps.empty()) return f;
  std::sort(gaps.begin(), gaps.end());
  f.perSecond = counted / ((last - 1000000) / 1e6);
  f.median = gaps[gaps.size() / 2];
  f.p95 = gaps[gaps.size() * 95 / 100];
  f.worst = gaps.back();
  return f;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 6) {
    fprintf(stderr, "usage: pane_pacing CARD START SECONDS FPS EXPORT_SECONDS\n");
    return 2;
  }
  QCoreApplication app(argc, argv);
  plat_setRoots("/nonexistent-sys", "/nonexistent-proc", "/nonexistent-dev");
  plat_volume *volumes = nullptr;
  qmx_storage_init();
  if (plat_attachPath(argv[1]) != 0 || plat_listVolumes(&volumes) <= 0) return 1;
  int loaded = qmx_storage_load(volumes[0].diskNumber);
  plat_freeVolumes(volumes);
  if (loaded != 0) return 1;
  generateSilentAac();
  const int64_t start = atoll(argv[2]);
  const int seconds = atoi(argv[3]);
  const double fps = atof(argv[4]);
  {
    QMutexLocker locker(&playbackMutex);
    storageV = 1;
    channelNum = 1;
    videoType = qmx_storage_getVideoType();
    openCardPath = argv[1];
    cardGeneration++;
  }
  QByteArray out = qgetenv("PANE_PACING_OUT");
  if (out.isEmpty()) out = "/tmp/pane-pacing-out";
  const int exportSeconds = atoi(argv[5]);
  double exportS = 0;
  Figures quiet = play(start, seconds, out.constData(), 0, nullptr);
  Figures busy = play(start, seconds, out.constData(), exportSeconds, &exportS);
  printf("pane 1 at 1.0x, %.0f fps recording  pictures/s   gap ms: median  p95  largest\n", fps);
  printf("  alone                            %8.2f   %13.1f %5.1f %8.1f\n", quiet.perSecond,
         quiet.median, quiet.p95, quiet.worst);
  printf("  while the same card exports      %8.2f   %13.1f %5.1f %8.1f\n", busy.perSecond,
         busy.median, busy.p95, busy.worst);
  printf("  (the export of %d s took %.1f s of the play%s)\n", exportSeconds, exportS,
         exportS < 0 ? ": it outlasted it" : "");
  return 0;
}
