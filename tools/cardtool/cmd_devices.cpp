// cardtool devices: the disks both card libraries find, as the player lists them.
#include <stdio.h>

#include <set>
#include <string>
#include <vector>

#include "cardtool.h"
#include "device.h"
#include "qmx_storage.h"
#include "qmx_storage_v2.h"

static const char kHelp[] =
    "Usage: cardtool devices [--card PATH]... [--json]\n"
    "\n"
    "Runs both card libraries' discovery over the disks on a USB bus (and loop\n"
    "devices with a backing file, which is how 'losetup -r -f --show card.img'\n"
    "attaches an image) plus every --card PATH, and shows each disk found with\n"
    "the library's id for it and whether that library recognises the card.\n"
    "\"listed\" tells whether the player's disk chooser shows the entry: file-layout\n"
    "cards first, then raw-disk cards whose name is not listed yet.\n"
    "Reading raw disks needs the right to read the device (root, or the group\n"
    "that owns it).\n"
    "JSON: {\"devices\":[{\"name\":N,\"id\":I,\"layout\":\"file\"|\"raw\",\"valid\":BOOL,\n"
    "                   \"listed\":BOOL},...]}, or {\"devices\":null} (exit 5) when a --card\n"
    "PATH cannot be attached.\n";

namespace {

struct Row {
  std::string name;
  uint32_t id;
  const char *layout;
  bool valid, listed;
};

// Both libraries' discovery, in the order the player's disk chooser shows it.
std::vector<Row> discover() {
  std::vector<Row> rows;
  qmx_storage_v2_init();
  qmx_storage_init();
  std::set<std::string> listed;
  qmx_storage_deviceList list{};
  if (qmx_storage_v2_findDevice(&list) == 0) {
    for (int32_t i = 0; i < list.count; i++) {
      const qmx_storage_device &d = list.device[i];
      bool show = d.valid == 1;
      if (show) listed.insert(d.path);
      rows.push_back({d.path, d.id, "file", d.valid == 1, show});
    }
  }
  qmx_storage_v2_freeDevice(&list);
  list = qmx_storage_deviceList{};
  if (qmx_storage_findDevice(&list) == 0) {
    for (int32_t i = 0; i < list.count; i++) {
      const qmx_storage_device &d = list.device[i];
      bool show = d.valid == 1 && !listed.count(d.path);
      if (show) listed.insert(d.path);
      rows.push_back({d.path, d.id, "raw", d.valid == 1, show});
    }
  }
  qmx_storage_freeDevice(&list);
  return rows;
}

}  // namespace

int cmd_devices(int argc, char **argv) {
  Args args;
  std::string error;
  if (!args.parse(argc, argv, {"card"}, {"json", "help"}, &error)) return usageError("devices", error);
  if (args.has("help")) {
    fputs(kHelp, stdout);
    return Exit::kOk;
  }
  if (!args.positional.empty()) return usageError("devices", "takes no CARD; use --card PATH");
  bool json = args.has("json");

  bool attached = true;
  std::vector<Row> rows;
  {
    StdoutToStderr quiet;
    for (const std::string &path : args.getAll("card"))
      attached = attached && plat_attachPath(path.c_str()) == 0;
    if (attached) rows = discover();
  }
  if (json && !attached) printf("{\"devices\":null}\n");
  if (!attached) return Exit::kNotLoaded;
  if (json) {
    printf("{\"devices\":[");
    for (size_t i = 0; i < rows.size(); i++)
      printf("%s{\"name\":%s,\"id\":%u,\"layout\":\"%s\",\"valid\":%s,\"listed\":%s}", i ? "," : "",
             jsonString(rows[i].name).c_str(), rows[i].id, rows[i].layout,
             rows[i].valid ? "true" : "false", rows[i].listed ? "true" : "false");
    printf("]}\n");
    return Exit::kOk;
  }
  if (rows.empty()) {
    printf("no disk found (attach a card through a USB reader, 'losetup -r -f --show IMAGE',\n"
           "or name it with --card PATH)\n");
    return Exit::kOk;
  }
  printf("%-47s  %5s  %-6s  %-5s  %s\n", "name", "id", "layout", "valid", "listed");
  for (const Row &r : rows)
    printf("%-47s  %5u  %-6s  %-5s  %s\n", r.name.c_str(), r.id, r.layout, r.valid ? "yes" : "no",
           r.listed ? "yes" : "no");
  return Exit::kOk;
}
