// window_export: exports one span of a card through the player's own path
// (the download worker, its hooks and the process-wide card state, as the
// main window sets them), so that the benchmark can set it beside
// `cardtool export` of the same span. Not a test.
//
//   window_export CARD raw|file START END OUTDIR [--playing]
//
// --playing sets the play state as if the panes were playing, so that the
// export gives way to them. Exits 0 when every channel's entry ended in
// success.
#include <QCoreApplication>
#include <QMutexLocker>
#include <QTimer>
#include <cstdio>
#include <cstring>

#include "device.h"
#include "download.h"
#include "globals.h"
#include "qmx_storage.h"
#include "qmx_storage_v2.h"
#include "silent_aac.h"

int main(int argc, char **argv) {
  if (argc < 6) {
    fprintf(stderr, "usage: window_export CARD raw|file START END OUTDIR [--playing]\n");
    return 2;
  }
  QCoreApplication app(argc, argv);
  const bool raw = strcmp(argv[2], "raw") == 0;
  plat_setRoots("/nonexistent-sys", "/nonexistent-proc", "/nonexistent-dev");
  plat_volume *volumes = nullptr;
  if (plat_attachPath(argv[1]) != 0 || plat_listVolumes(&volumes) <= 0) return 1;
  qmx_storage_init();
  qmx_storage_v2_init();
  int loaded = raw ? qmx_storage_load(volumes[0].diskNumber)
                   : qmx_storage_v2_open(static_cast<uint8_t>(volumes[0].driveIndex));
  plat_freeVolumes(volumes);
  if (loaded != 0) return 1;
  generateSilentAac();
  {
    QMutexLocker locker(&playbackMutex);
    storageV = raw ? 1 : 2;
    channelNum = raw ? qmx_storage_getChannelNum() : qmx_storage_v2_getChannelNum();
    videoType = raw ? qmx_storage_getVideoType() : qmx_storage_v2_getVideoType();
    openCardPath = argv[1];
    downloadDir = argv[5];
    cardGeneration++;
  }
  playState = argc > 6 && strcmp(argv[6], "--playing") == 0 ? 1 : 0;
  download worker;
  QTimer::singleShot(0, [&]() { worker.on_download_file(QString("%1-%2").arg(argv[3], argv[4])); });
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&]() {
    if (!download::busy()) worker.requestStop();
  });
  poll.start(5);
  worker.on_download_start();
  QMutexLocker locker(&playbackMutex);
  for (const QString &e : downloadEntries)
    if (!e.endsWith(kDownloadDone)) return 1;
  return 0;
}
