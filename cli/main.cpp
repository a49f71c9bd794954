// snapsave-cli: the command-line front end over the scan, recovery and image sessions.
//
// Exit codes: 0 success; 1 usage error; 2 the source could not be opened or holds no known volume; 3 the scan
// or the copy failed, or the image does not fit where it was asked to go; 4 incomplete: some files were not
// recovered, or some sectors could not be read (they are zeros in the image); 5 the destination lies on the
// source (see --force); 130 cancelled with Ctrl-C.
#include <csignal>
#include <cstdio>
#include <string>

#ifdef _WIN32
#include <windows.h>
#endif

#include <CLI/CLI.hpp>

#include "cli/commands.h"
#include "os/device.h"
#include "storage/image_container.h"

namespace {

#ifdef _WIN32
BOOL WINAPI OnConsoleControl(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  snapsave::cli::g_cancel.store(true);
  return TRUE;
}

void StopOnInterrupt() {
  ::SetConsoleCtrlHandler(OnConsoleControl, TRUE);
  // Names are printed as UTF-8.
  ::SetConsoleOutputCP(CP_UTF8);
}
#else
extern "C" void OnInterrupt(int) {
  snapsave::cli::g_cancel.store(true);
}

void StopOnInterrupt() {
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigaction(SIGINT, &action, nullptr);
  // A parent may start us with SIGINT blocked; Ctrl-C must still stop a scan.
  sigset_t interrupt;
  sigemptyset(&interrupt);
  sigaddset(&interrupt, SIGINT);
  sigprocmask(SIG_UNBLOCK, &interrupt, nullptr);
}
#endif

}  // namespace

int main(int argc, char** argv) {
  using namespace snapsave::cli;
  CLI::App app{"Snapsave: find and recover deleted and lost files on disks, volumes and disk images."};
  app.set_version_flag("--version", "snapsave-cli " SNAPSAVE_VERSION);
  app.require_subcommand(0, 1);
  app.footer(
      "SOURCE is a disk image file, a whole disk as 'disk0', 'disk1' ..., or the ID of a volume or free\n"
      "stretch that 'snapsave-cli list' shows (a device such as /dev/sdb1 works too). An image of a whole\n"
      "disk is scanned volume by volume; 'snapsave-cli list card.img' shows its entries as card.img:1, ...\n"
#ifdef _WIN32
      "Reading disks needs an administrator's prompt; nothing is ever written to a source.\n\n"
#else
      "Reading disks needs root or membership of the disk group; nothing is ever written to a source.\n\n"
#endif
      "Examples:\n"
      "  snapsave-cli list\n"
      "  snapsave-cli scan card.img --list\n"
      "  snapsave-cli scan card.img:2 --quick --recover ~/rescued\n"
      "  snapsave-cli scan 3 --types photo,video --recover ~/rescued\n"
      "  snapsave-cli image disk1 ~/card.img && snapsave-cli scan ~/card.img --recover ~/rescued\n\n"
      "Exit codes: 0 success; 1 usage error (also an unknown type or an unwritable destination);\n"
      "2 source not opened or no known volume; 3 scan or copy failed (or the image does not fit where it\n"
      "should go); 4 incomplete (files not recovered, or unreadable sectors zeroed in an image);\n"
      "5 destination on the source; 130 cancelled (Ctrl-C).");

  auto* list = app.add_subcommand(
      "list", "List disks, volumes and unallocated stretches that can be scanned, or those of an image");
  bool listJson = false;
  std::string listImage;
  list->add_option("image", listImage, "A disk image file: its volumes and free stretches");
  list->add_flag("--json", listJson, "One JSON object per entry and line");
  bool listSearch = false;
  list->add_flag("--search", listSearch,
                 "Read the whole image to find volumes its partition table does not name (a wiped or "
                 "overwritten table) by their boot sectors and superblocks; each is listed as IMAGE@SECTOR, "
                 "which 'scan' takes");

  auto* scan =
      app.add_subcommand("scan", "Scan a source for deleted and lost files, list them, recover them");
  ScanOptions o;
  scan->add_option("source", o.source, "Image file, diskN, or an ID from 'list'")->required();
  scan->add_flag("--quick", o.quick,
                 "Walk the file system's metadata only (default: a deep scan that also rebuilds lost folders "
                 "and carves files by their signatures)");
  scan->add_option("--types", o.types,
                   "Keep only these types: categories (photo, audio, video, document, archive) or extensions "
                   "(jpg,pdf), comma-separated");
  scan->add_flag("--list", o.list,
                 "Print every found file and folder: type, folder path, name, size, modified, created, "
                 "intact/damaged (tab-separated); with --types, grouped by type");
  scan->add_flag("--json", o.json, "With --list: one JSON object per line");
  scan->add_flag(
      "--all", o.all,
      "List and recover the files that still exist too, not only the deleted and lost ones (a volume "
      "that cannot be mounted, an image whose files are wanted)");
  scan->add_option("--recover", o.recoverTo,
                   "Recover into this folder: the found tree as it was, carved and --types matches in "
                   "category folders (photo, video, ...)");
  scan->add_flag("--force", o.force, "Recover even onto the source being scanned (may destroy lost files)");
  auto* resume = scan->add_flag("--resume", o.resume, "Continue an interrupted deep scan of the same source");
  auto* fresh = scan->add_flag("--fresh", o.fresh, "Start over, forgetting an interrupted deep scan");
  resume->excludes(fresh);
  scan->add_option("--checkpoint-mib", o.checkpointMib,
                   "Save the deep scan's position every N MiB scanned too (default: every 30 s and 4 GiB), "
                   "so that a crash loses less")
      ->check(CLI::Range(1, 1 << 20));

  auto* image = app.add_subcommand(
      "image",
      "Copy a disk or volume into an image file, good areas first; FILE.map lets a stopped copy resume");
  std::string imageSource;
  std::string imagePath;
  bool imageForce = false;
  image->add_option("source", imageSource, "diskN, an ID from 'list', or an image file")->required();
  image->add_option("file", imagePath, "The image file to write (FILE.img)")->required();
  image->add_flag("--force", imageForce, "Write the image even onto the source being copied");
  int imageRetries = 0;
  image
      ->add_option("--retries", imageRetries,
                   "Passes over the sectors still unreadable at the end (default 0)")
      ->check(CLI::Range(0, 100));

  // Any command may read a split image whose piece is missing or cut short, if asked to.
  bool gapsUnreadable = false;
  for (CLI::App* command : {list, scan, image})
    command->add_flag("--missing-pieces", gapsUnreadable,
                      "Read a missing or cut-short piece of a split image as unreadable sectors of the other "
                      "pieces' size (default: refuse the set)");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? kExitOk : kExitUsage;
  }
  if (app.get_subcommands().empty()) {
    std::fputs(app.help().c_str(), stdout);
    return kExitOk;
  }
  StopOnInterrupt();
  snapsave::SetSplitGapsUnreadable(gapsUnreadable);
  for (int i = 0; i < argc; ++i) o.commandLine += (i == 0 ? "" : " ") + std::string(argv[i]);
  // The system's disks, by the numbers the listing shows; whole-disk images are numbered as they are read.
  snapsave::os::DiskTable disks;
  if (list->parsed()) return RunListCommand(disks, listJson, listImage, listSearch);
  if (image->parsed()) return RunImage(disks, imageSource, imagePath, imageForce, imageRetries);
  return RunScan(disks, o);
}
