// snapsave-cli end to end on the fixture images.
#include <gtest/gtest.h>
#include <zlib.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fmt/core.h>
#include <nlohmann/json.hpp>

#include "os/byte_reader.h"
#include "os/paths.h"
#include "os/sha256.h"
#include "sessions/scan_plan.h"
#include "tests/support/test_support.h"

namespace snapsave {
namespace {

namespace fs = std::filesystem;

struct CliRun {
  int code = -1;
  std::string out;
};

// Runs `command`; `out` gets its standard output, and its error output too with `withErrors`.
CliRun Execute(const std::string& command, bool withErrors = false) {
  CliRun run;
  FILE* pipe = popen((command + (withErrors ? " 2>&1" : " 2>/dev/null")).c_str(), "r");
  if (pipe == nullptr) return run;
  char buf[4096];
  size_t n = 0;
  while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) run.out.append(buf, n);
  const int status = pclose(pipe);
  run.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

std::string Quote(const fs::path& p) {
  return "'" + p.string() + "'";
}

// Runs `snapsave-cli scan IMAGE --quick` with the given action.
CliRun QuickScan(const fs::path& image, const std::string& action) {
  return Execute(std::string(SNAPSAVE_CLI) + " scan " + Quote(image) + " --quick " + action);
}

using Row = std::vector<std::string>;

// The tab-separated fields of each line of `text`.
std::vector<Row> Rows(const std::string& text) {
  std::vector<Row> rows;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    Row& row = rows.emplace_back();
    std::istringstream f(line);
    for (std::string field; std::getline(f, field, '\t');) row.push_back(field);
  }
  return rows;
}

std::string Slurp(const fs::path& p) {
  const auto bytes = test::ReadFile(p);
  return std::string(bytes.begin(), bytes.end());
}

// Each line of a --json listing.
std::vector<nlohmann::json> JsonLines(const std::string& text) {
  std::vector<nlohmann::json> objects;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) objects.push_back(nlohmann::json::parse(line));
  return objects;
}

// One line of the tab-separated listing.
struct ListedItem {
  std::string type, folder, name, size;
};

std::vector<ListedItem> ParseListing(const std::string& text) {
  std::vector<ListedItem> items;
  for (Row& row : Rows(text)) {
    row.resize(4);
    items.push_back({row[0], row[1], row[2], row[3]});
  }
  return items;
}

// A long name written with terminal controls in it: the listing and the recovery lines show them as "\xNN",
// so that printing the results cannot rewrite the user's terminal.
// The manual page and the bash completion name every option each command's help lists, and the completion
// offers exactly the names --types takes.
TEST(Cli, TheManualPageAndTheCompletionKeepUpWithTheProgram) {
  std::string page = Slurp(fs::path(SNAPSAVE_DOC_DIR) / "snapsave-cli.1");
  for (size_t at = page.find("\\-"); at != std::string::npos; at = page.find("\\-", at)) page.erase(at, 1);
  const std::string completion = Slurp(fs::path(SNAPSAVE_DOC_DIR) / "snapsave-cli.bash");
  const std::regex option("(^|[ ,])(--?[a-z][a-z-]*)");
  for (const std::string command : {"", "list", "scan", "image"}) {
    const CliRun help = Execute(std::string(SNAPSAVE_CLI) + " " + command + " --help");
    ASSERT_EQ(help.code, 0) << command;
    if (!command.empty()) {
      EXPECT_NE(page.find(".B snapsave-cli " + command), std::string::npos) << command;
      EXPECT_NE(completion.find(command + ")"), std::string::npos) << command;
    }
    // Options are listed before the footer, whose examples repeat some.
    const std::string listed = help.out.substr(0, help.out.find("SOURCE is"));
    size_t seen = 0;
    for (auto m = std::sregex_iterator(listed.begin(), listed.end(), option); m != std::sregex_iterator();
         ++m) {
      const std::string name = (*m)[2];
      EXPECT_NE(page.find(name), std::string::npos) << command << " " << name;
      EXPECT_TRUE(std::regex_search(completion, std::regex("[ \"]" + name + "[ \"]")))
          << command << " " << name;
      ++seen;
    }
    EXPECT_GE(seen, 2u) << command;
  }
  const size_t from = completion.find("_snapsave_cli_types=\"");
  ASSERT_NE(from, std::string::npos);
  const size_t begin = completion.find('"', from) + 1;
  std::istringstream words(completion.substr(begin, completion.find('"', begin) - begin));
  std::vector<std::string> offered;
  for (std::string w; words >> w;) offered.push_back(w);
  EXPECT_EQ(offered, KnownTypeNames());
}

TEST(Cli, NamesFromDiskArePrintedEscaped) {
  test::ScratchAppData appData;
  test::TempDir dir;
  const fs::path image = dir.path() / "v.img";
  test::GunzipFixture("fat/fat16.img.gz", image);
  auto bytes = test::ReadFile(image);
  // The one long-name piece of the deleted "Photo-13c.txt".
  const std::u16string wanted = u"Photo-13c.txt";
  const std::u16string crafted = u"\x1b[2J\r\a13c.txt";
  constexpr size_t kSlots[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
  size_t patched = 0;
  for (size_t off = 0; off + 32 <= bytes.size(); off += 32) {
    if (bytes[off + 11] != 0x0F) continue;
    bool match = true;
    for (size_t i = 0; i < 13 && match; ++i)
      match = bytes[off + kSlots[i]] == wanted[i] && bytes[off + kSlots[i] + 1] == 0;
    if (!match) continue;
    for (size_t i = 0; i < 13; ++i) bytes[off + kSlots[i]] = static_cast<uint8_t>(crafted[i]);
    ++patched;
  }
  ASSERT_EQ(patched, 1u);
  test::WriteFile(image, bytes);

  const fs::path out = dir.path() / "out";
  const CliRun list = QuickScan(image, "--list");
  const CliRun rec = QuickScan(image, "--recover " + Quote(out));
  ASSERT_EQ(list.code, 0);
  ASSERT_EQ(rec.code, 0);
  for (const std::string& text : {list.out, rec.out}) {
    for (char c : text)
      EXPECT_TRUE(c == '\t' || c == '\n' || static_cast<unsigned char>(c) >= 0x20) << int{c};
  }
  EXPECT_NE(list.out.find("\t\\x1B[2J\\x0D\\x0713c.txt\t"), std::string::npos) << list.out;
  // Recovered under a name with the controls taken out.
  bool found = false;
  for (const auto& e : fs::recursive_directory_iterator(out)) {
    const std::string name = e.path().filename().string();
    for (char c : name) EXPECT_GE(static_cast<unsigned char>(c), 0x20) << name;
    found = found || name.find("13c.txt") != std::string::npos;
  }
  EXPECT_TRUE(found);
}

pid_t Spawn(const std::vector<std::string>& args, const fs::path& out, const fs::path& err,
            bool ctrlCBlocked = false);
int WaitExit(pid_t pid);

TEST(Cli, ExitCodes) {
  EXPECT_EQ(Execute(std::string(SNAPSAVE_CLI) + " scan").code, 1);
  test::TempDir dir;
  test::WriteFile(dir.path() / "zero.img", std::vector<uint8_t>(8192, 0));
  EXPECT_EQ(QuickScan(dir.path() / "zero.img", "--list").code, 2);

  // A Ctrl-C that reaches the program before its scan starts (it was started with Ctrl-C blocked) stops it
  // as cancelled, not as a source that could not be opened.
  // The source takes a while to scan, so that a Ctrl-C the test sends late still finds the scan running.
  test::ScratchAppData appData;
  test::WriteFile(dir.path() / "v.img", std::vector<uint8_t>(512, 0));
  fs::resize_file(dir.path() / "v.img", uint64_t{4} << 30);
  const pid_t pid = Spawn({"scan", (dir.path() / "v.img").string()}, dir.path() / "out", dir.path() / "err",
                          /*ctrlCBlocked=*/true);
  ASSERT_GT(pid, 0);
  kill(pid, SIGINT);
  EXPECT_EQ(WaitExit(pid), 130) << Slurp(dir.path() / "err");
}

// Runs `snapsave-cli scan IMAGE` (a deep scan) with the given action.
CliRun DeepScan(const fs::path& image, const std::string& action) {
  return Execute(std::string(SNAPSAVE_CLI) + " scan " + Quote(image) + " " + action);
}

uint32_t Crc(const std::vector<uint8_t>& bytes) {
  return static_cast<uint32_t>(crc32(0, bytes.data(), static_cast<uInt>(bytes.size())));
}

// The recovery's own report beside what it recovered.
bool IsReport(const fs::path& file, const fs::path& out) {
  return file.parent_path() == out && (file.filename() == "report.xml" || file.filename() == "report.json");
}

// Every recovered file below `out` by its path relative to `out`, with its contents' CRC-32.
std::map<std::string, uint32_t> Recovered(const fs::path& out) {
  std::map<std::string, uint32_t> files;
  for (const auto& e : fs::recursive_directory_iterator(out)) {
    if (e.is_regular_file() && !IsReport(e.path(), out))
      files[fs::relative(e.path(), out).string()] = Crc(test::ReadFile(e.path()));
  }
  return files;
}

// A container image copied by `image` is the volume itself, and a whole disk in a container lists its
// partition's files as a raw disk image does.
TEST(Cli, ContainersAreCopiedAndListedAsTheirMedium) {
  test::ScratchAppData appData;
  test::TempDir dir;
  const fs::path raw = dir.path() / "holes16.img";
  test::GunzipFixture("fat/holes16.img.gz", raw);
  test::GunzipFixture("images/holes16.E01.gz", dir.path() / "holes16.E01");
  const fs::path converted = dir.path() / "converted.img";
  ASSERT_EQ(Execute(std::string(SNAPSAVE_CLI) + " image " + Quote(dir.path() / "holes16.E01") + " " +
                    Quote(converted))
                .code,
            0);
  EXPECT_TRUE(test::ReadFile(converted) == test::ReadFile(raw));
  std::vector<uint8_t> disk(20 << 20, 0);
  const std::vector<uint8_t> volume = test::ReadFile(raw);
  std::copy(volume.begin(), volume.end(), disk.begin() + 2048 * 512);
  const uint8_t entry[16] = {0, 0, 0, 0, 0x06, 0, 0, 0, 0x00, 0x08, 0, 0, 0x00, 0x40, 0, 0};  // 2048, 16384
  std::copy(std::begin(entry), std::end(entry), disk.begin() + 446);
  disk[510] = 0x55;
  disk[511] = 0xAA;
  test::WriteFile(dir.path() / "disk.img", disk);
  if (Execute("qemu-img convert -f raw -O vmdk " + Quote(dir.path() / "disk.img") + " " +
              Quote(dir.path() / "disk.vmdk"))
          .code != 0)
    GTEST_SKIP() << "qemu-img is needed";
  auto files = [](const CliRun& run) {
    std::multiset<std::string> listed;
    for (const ListedItem& item : ParseListing(run.out))
      if (item.type == "file") listed.insert(item.folder + item.name + "\t" + item.size);
    return listed;
  };
  const CliRun partition = QuickScan(dir.path() / "disk.vmdk", "--list");
  EXPECT_EQ(files(partition), files(QuickScan(raw, "--list"))) << partition.out;
  EXPECT_EQ(files(partition).size(), 20u);
}

// A FAT32 volume's label lives in its root folder (the boot sector may say "NO NAME"); on a large volume the
// root lies past the first MiB, and inside a container the label is read all the same, as from the raw disk.
TEST(Cli, AContainersFatLabelIsReadFromItsRootFolder) {
  test::ScratchAppData appData;
  test::TempDir dir;
  const fs::path volume = dir.path() / "v.img", disk = dir.path() / "d.img";
  if (Execute("truncate -s 1400M " + Quote(volume) + " && mkfs.vfat -F 32 -s 8 -n PHOTOS " + Quote(volume) +
              " >/dev/null 2>&1")
          .code != 0)
    GTEST_SKIP() << "mkfs.vfat (dosfstools) is needed";
  {
    std::fstream f(volume, std::ios::in | std::ios::out | std::ios::binary);
    std::vector<uint8_t> head(4096);
    f.read(reinterpret_cast<char*>(head.data()), static_cast<std::streamsize>(head.size()));
    ASSERT_GT((Le16(head, 14) + 2 * Le32(head, 36)) * 512u, 1u << 20) << "the root must lie past 1 MiB";
    for (const std::streamoff boot : {0, 6 * 512}) {
      f.seekp(boot + 71);
      f.write("NO NAME    ", 11);
    }
  }
  // The disk: one partition at 1 MiB holding the volume, sparse where the volume is.
  ASSERT_EQ(Execute("printf 'label: dos\nstart=2048, type=c\n' | (truncate -s 1500M " + Quote(disk) +
                    " && sfdisk -q " + Quote(disk) + ") >/dev/null 2>&1 && dd if=" + Quote(volume) +
                    " of=" + Quote(disk) + " bs=1M seek=1 conv=notrunc,sparse status=none")
                .code,
            0);
  if (Execute("qemu-img convert -f raw -O vpc " + Quote(disk) + " " + Quote(dir.path() / "d.vhd")).code != 0)
    GTEST_SKIP() << "qemu-img is needed";
  for (const char* image : {"d.img", "d.vhd"}) {
    const auto lines =
        JsonLines(Execute(std::string(SNAPSAVE_CLI) + " list --json " + Quote(dir.path() / image)).out);
    ASSERT_FALSE(lines.empty()) << image;
    EXPECT_EQ(lines[0]["label"], "PHOTOS") << image;
  }
}

// Damaged images say what is wrong and never hand back zeros as a good file. An E01 with one chunk failing
// its checksum: the photo in it is recovered damaged with the stretch named, the others exact, exit code 4,
// and the report beside them hashes what was written. The same set without a middle segment: a warning naming
// it, and the deep scan lists the photos past the gap damaged, counting the same way every run. An empty file
// is no image to any command.
TEST(CliImages, DamagedImagesSayWhatIsWrongAndRecoverAroundIt) {
  test::ScratchAppData appData;
  test::TempDir dir;
  const fs::path raw = dir.path() / "spread16.img";
  test::GunzipFixture("images/spread16.img.gz", raw);
  const std::vector<uint8_t> medium = test::ReadFile(raw);
  const std::vector<fs::path> set = test::MakeEwfSet(raw, dir.path() / "flipped", "sp", "1MiB");
  if (set.empty()) GTEST_SKIP() << "ewfacquirestream (ewf-tools) is needed";
  // The second photo starts at sector 3264 and lies whole in one 64-sector chunk of the set.
  constexpr uint64_t kPhoto = 3264;
  bool flipped = false;
  for (const fs::path& segment : set) {
    const auto at = test::FindInFile(segment, std::span(medium).subspan(kPhoto * 512, 512));
    if (!at) continue;
    std::vector<uint8_t> bytes = test::ReadFile(segment);
    bytes[*at + 200] ^= 0x55;
    test::WriteFile(segment, bytes);
    flipped = true;
    break;
  }
  ASSERT_TRUE(flipped);
  const fs::path out = dir.path() / "out";
  const CliRun recovered = Execute(
      std::string(SNAPSAVE_CLI) + " scan " + Quote(set.front()) + " --quick --recover " + Quote(out), true);
  EXPECT_EQ(recovered.code, 4) << recovered.out;
  EXPECT_NE(recovered.out.find("!MG_202.JPG (damaged: 48 unreadable sectors written as zeros: 3264-3311)"),
            std::string::npos)
      << recovered.out;
  EXPECT_NE(recovered.out.find("8 of 8 files recovered into " + out.string() +
                               ", 1 of them damaged (what could not be read is zeros in them)"),
            std::string::npos)
      << recovered.out;
  const fs::path photos = out / "DCIM" / "100CARD";
  for (int i = 201; i <= 208; ++i) {
    const std::vector<uint8_t> original =
        test::ReadFile(test::Fixture("images/originals/spread/IMG_" + std::to_string(i) + ".JPG"));
    const std::vector<uint8_t> got = test::ReadFile(photos / ("!MG_" + std::to_string(i) + ".JPG"));
    if (i == 202) {
      EXPECT_EQ(got, std::vector<uint8_t>(original.size(), 0));
    } else {
      EXPECT_EQ(got, original) << i;
    }
  }
  // The report: every file with its state, runs and hash; the XML gives the unreadable run as zeros.
  const nlohmann::json report = nlohmann::json::parse(Slurp(out / "report.json"));
  EXPECT_EQ(report["intact"], 7);
  EXPECT_EQ(report["damaged"], 1);
  ASSERT_EQ(report["files"].size(), 8u);
  for (const nlohmann::json& f : report["files"]) {
    std::string sha;
    ASSERT_EQ(os::Sha256OfFile(out / f["path"].get<std::string>(), sha), 0u);
    EXPECT_EQ(f["sha256"], sha);
    EXPECT_EQ(f["deleted"], true);
    const bool damaged = f["name"] == "!MG_202.JPG";
    EXPECT_EQ(f["state"], damaged ? "damaged" : "intact");
    if (damaged) {
      EXPECT_EQ(f["unreadable"], nlohmann::json::parse(R"([{"firstSector": 3264, "sectors": 48}])"));
    }
  }
  const std::string xml = Slurp(out / "report.xml");
  EXPECT_NE(xml.find("<byte_run file_offset=\"0\" img_offset=\"1671168\" len=\"21050\" fill=\"0\" "
                     "type=\"unreadable\"/>"),
            std::string::npos)
      << xml;
  size_t objects = 0;
  for (size_t at = xml.find("<fileobject>"); at != std::string::npos; at = xml.find("<fileobject>", at + 1))
    ++objects;
  EXPECT_EQ(objects, 8u);

  // A middle segment missing.
  const std::vector<fs::path> good = test::MakeEwfSet(raw, dir.path() / "missing", "sp", "1MiB");
  fs::remove(good[4]);
  const CliRun listed = Execute(std::string(SNAPSAVE_CLI) + " list " + Quote(good.front()), true);
  EXPECT_EQ(listed.code, 0);
  EXPECT_NE(listed.out.find("segment sp.E05 is missing; the sectors it held cannot be read"),
            std::string::npos)
      << listed.out;
  EXPECT_NE(listed.out.find("SPREAD"), std::string::npos) << listed.out;
  std::string summary;
  for (int run = 0; run < 2; ++run) {
    const CliRun deep =
        Execute(std::string(SNAPSAVE_CLI) + " scan " + Quote(good.front()) + " --fresh --list --json");
    EXPECT_EQ(deep.code, 0);
    std::map<std::string, bool> intact;
    for (const nlohmann::json& j : JsonLines(deep.out))
      if (j["type"] == "file" && j["path"] == "/DCIM/100CARD/") intact[j["name"]] = j["intact"];
    ASSERT_EQ(intact.size(), 8u) << deep.out;
    for (int i = 201; i <= 208; ++i) EXPECT_EQ(intact["!MG_" + std::to_string(i) + ".JPG"], i <= 203) << i;
    const CliRun withErrors =
        Execute(std::string(SNAPSAVE_CLI) + " scan " + Quote(good.front()) + " --fresh --list", true);
    const size_t at = withErrors.out.find("unreadable sectors were skipped");
    ASSERT_NE(at, std::string::npos) << withErrors.out;
    const std::string line = withErrors.out.substr(0, withErrors.out.find('\n', at));
    if (run == 0) summary = line;
    EXPECT_EQ(line, summary);
  }

  const fs::path empty = dir.path() / "empty.img";
  test::WriteFile(empty, std::vector<uint8_t>{});
  for (const std::string command : {" list ", " scan ", " image "}) {
    const CliRun run =
        Execute(std::string(SNAPSAVE_CLI) + command + Quote(empty) +
                    (command == " image " ? " " + Quote(dir.path() / "copy.img") : std::string()),
                true);
    EXPECT_EQ(run.code, 2) << command;
    EXPECT_NE(run.out.find("empty"), std::string::npos) << run.out;
  }
}

// `size` bytes of a fixed pseudo-random stream with the media fixtures `placed` (by first sector) written
// over it, each followed by zeros to its sector's end, saved as `path`; gives each file's CRC by its sector.
std::map<uint64_t, uint32_t> NoiseWithMedia(const fs::path& path, size_t size, uint64_t seed,
                                            const std::map<uint64_t, std::string>& placed) {
  std::vector<uint8_t> image(size);
  for (uint8_t& b : image) {
    seed ^= seed << 13;
    seed ^= seed >> 7;
    seed ^= seed << 17;
    b = static_cast<uint8_t>(seed >> 24);
  }
  std::map<uint64_t, uint32_t> crcs;
  for (const auto& [sector, name] : placed) {
    const fs::path file = path.parent_path() / name;
    test::GunzipFixture("carve/media/" + name + ".gz", file);
    const auto bytes = test::ReadFile(file);
    const size_t at = sector * 512, end = at + bytes.size();
    std::copy(bytes.begin(), bytes.end(), image.begin() + static_cast<std::ptrdiff_t>(at));
    std::fill(image.begin() + static_cast<std::ptrdiff_t>(end),
              image.begin() + static_cast<std::ptrdiff_t>((end + 511) / 512 * 512), 0);
    crcs[sector] = Crc(bytes);
  }
  test::WriteFile(path, image);
  return crcs;
}

// A photo cut in two by other data comes back whole and intact; one whose rest is gone is listed damaged and
// recovered as far as it goes; the summary counts both.
TEST(CliDeep, ASplitPhotoIsJoinedAndACutOneListedDamaged) {
  test::ScratchAppData appData;
  test::TempDir dir;
  const fs::path path = dir.path() / "raw.img";
  NoiseWithMedia(path, 1 << 20, 777, {});
  std::vector<uint8_t> image = test::ReadFile(path);
  test::GunzipFixture("carve/media/large.jpg.gz", dir.path() / "large.jpg");
  test::GunzipFixture("carve/media/photo.jpg.gz", dir.path() / "photo.jpg");
  const auto large = test::ReadFile(dir.path() / "large.jpg");
  const auto photo = test::ReadFile(dir.path() / "photo.jpg");
  auto put = [&](size_t sector, auto first, auto last) {
    std::copy(first, last, image.begin() + static_cast<std::ptrdiff_t>(sector * 512));
    const size_t end = sector * 512 + static_cast<size_t>(last - first);
    std::fill(image.begin() + static_cast<std::ptrdiff_t>(end),
              image.begin() + static_cast<std::ptrdiff_t>((end + 511) / 512 * 512), 0);
  };
  put(100, large.begin(), large.begin() + 30 * 512);
  put(400, large.begin() + 30 * 512, large.end());
  put(900, photo.begin(), photo.begin() + 6 * 512);
  test::WriteFile(path, image);
  const fs::path out = dir.path() / "out";
  // Standard output holds the listing, errors the summary.
  const CliRun run =
      Execute("(" + std::string(SNAPSAVE_CLI) + " scan " + Quote(path) + " --list --json --recover " +
              Quote(out) + " 2>" + Quote(dir.path() / "errors.txt") + ")");
  ASSERT_EQ(run.code, 0) << run.out;
  std::map<std::string, nlohmann::json> listed;
  std::istringstream lines(run.out);
  for (std::string line; std::getline(lines, line);) {
    if (line.starts_with("{"))
      listed[nlohmann::json::parse(line).value("name", "")] = nlohmann::json::parse(line);
  }
  ASSERT_EQ(listed.count("100.jpg"), 1u);
  EXPECT_EQ(listed["100.jpg"]["size"], large.size());
  EXPECT_EQ(listed["100.jpg"]["intact"], true);
  ASSERT_EQ(listed.count("900.jpg"), 1u);
  EXPECT_EQ(listed["900.jpg"]["intact"], false);
  const auto files = Recovered(out);
  EXPECT_EQ(files.at("photo/100.jpg"), Crc(large));
  EXPECT_EQ(files.count("photo/900.jpg"), 1u);
  EXPECT_NE(Slurp(dir.path() / "errors.txt")
                .find("1 carved file put back together from two pieces; 1 carved file "
                      "damaged"),
            std::string::npos);
}

// --types: the listing grouped by type, each line of --json an object, and recovery flat in category
// folders with the deleted files byte for byte.
TEST(CliDeep, TypesFilterGroupsListsAndRecoversIntoCategories) {
  test::ScratchAppData appData;
  test::TempDir dir;
  const fs::path image = dir.path() / "v.img";
  test::GunzipFixture("fat/fat32.img.gz", image);
  const CliRun grouped = DeepScan(image, "--types photo,txt --list");
  ASSERT_EQ(grouped.code, 0);
  std::istringstream lines(grouped.out);
  std::string group;
  int files = 0;
  for (std::string line; std::getline(lines, line);) {
    if (line.starts_with("# ")) {
      group = line.substr(2, line.find(':') - 2);
      continue;
    }
    ASSERT_FALSE(group.empty()) << line;
    const ListedItem item = ParseListing(line).front();
    EXPECT_EQ(item.type, "file");
    std::string ext = item.name.substr(item.name.rfind('.') + 1);
    for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_TRUE(group.ends_with(" ." + ext)) << group << " / " << item.name;
    ++files;
  }
  EXPECT_GT(files, 0);

  const CliRun json = DeepScan(image, "--types jpg --list --json");
  ASSERT_EQ(json.code, 0);
  int deleted = 0;
  for (const auto& j : JsonLines(json.out)) {
    EXPECT_EQ(j.at("extension"), "jpg");
    EXPECT_EQ(j.at("category"), "photo");
    EXPECT_TRUE(j.contains("size") && j.contains("path"));
    deleted += j.at("deleted") == true ? 1 : 0;
  }
  EXPECT_GT(deleted, 0);  // the deleted files the quick engine lists

  const fs::path out = dir.path() / "out";
  ASSERT_EQ(DeepScan(image, "--types txt,jpg --recover " + Quote(out)).code, 0);
  const auto recovered = Recovered(out);
  std::multiset<uint32_t> crcs;
  for (const auto& [path, crc] : recovered) {
    EXPECT_TRUE(path.starts_with("photo/") || path.starts_with("document/")) << path;
    crcs.insert(crc);
  }
  EXPECT_EQ(crcs.count(Crc(test::ReadFile(test::Fixture("fat/originals/old1.txt")))), 1u);
  EXPECT_EQ(crcs.count(Crc(test::ReadFile(test::Fixture("fat/originals/old2.jpg")))), 1u);
  EXPECT_EQ(DeepScan(image, "--types '../x' --list").code, 1);
}

// Starts snapsave-cli with its output in files; with `ctrlCBlocked` the program starts with SIGINT blocked,
// so that a Ctrl-C sent at once waits for the program to unblock it.
pid_t Spawn(const std::vector<std::string>& args, const fs::path& out, const fs::path& err,
            bool ctrlCBlocked) {
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  if (ctrlCBlocked) {
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGINT);
    posix_spawnattr_setsigmask(&attributes, &blocked);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::vector<char*> argv;
  std::string cli = SNAPSAVE_CLI;
  argv.push_back(cli.data());
  std::vector<std::string> copies = args;
  for (std::string& a : copies) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, cli.c_str(), &actions, &attributes, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  return pid;
}

int WaitExit(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Waits until process `pid` holds `file` open (its scan has begun); false after 20 s.
bool WaitUntilOpen(pid_t pid, const fs::path& file) {
  const fs::path fds = fs::path("/proc") / std::to_string(pid) / "fd";
  for (int i = 0; i < 4000; ++i) {
    std::error_code ec;
    for (const auto& fd : fs::directory_iterator(fds, ec)) {
      if (fs::read_symlink(fd.path(), ec) == file) return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

// A disk image with a formatted FAT card, an NTFS and an exFAT volume and loose files between long empty
// stretches, so that every engine of a deep scan has state in flight at any moment.
fs::path MakeMixedDisk(const fs::path& dir) {
  const fs::path image = dir / "disk.img";
  std::ofstream f(image, std::ios::binary);
  uint64_t at = 1 << 20;
  for (const char* name :
       {"fat/card-formatted.img", "ntfs/ntfs_small.img", "exfat/formatted.img", "carve/media/photo.jpg",
        "carve/media/movie.mp4", "carve/media/letter.pdf", "carve/media/movie.ts", "carve/media/tone.aac"}) {
    const fs::path part = dir / "part";
    test::GunzipFixture(std::string(name) + ".gz", part);
    const auto bytes = test::ReadFile(part);
    f.seekp(static_cast<std::streamoff>(at));
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    at += (bytes.size() + (2 << 20)) & ~uint64_t{(1 << 20) - 1};
  }
  f.seekp(static_cast<std::streamoff>(at + (4 << 20) - 1));
  f.put('\0');
  return image;
}

// The folders of saved scans: a scan that continues a saved one adds none.
std::set<fs::path> ScanFolders(const fs::path& appData) {
  std::set<fs::path> folders;
  for (const auto& e : fs::directory_iterator(appData / "Vornel Snapsave" / "ScanLog"))
    if (e.is_directory()) folders.insert(e.path());
  return folders;
}

std::multiset<std::string> SortedLines(const std::string& text) {
  std::multiset<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.insert(line);
  return lines;
}

// A deep scan killed at any moment (SIGKILL: nothing of it runs after) goes on from its last checkpoint to
// exactly the files of a scan run in one go, none twice, none lost; kills land everywhere, checkpoint writes
// included, as checkpoints come every MiB. Every tenth run is stopped by Ctrl-C once the program has the
// image open instead: it ends as cancelled, says how to go on when it saved the scan, and goes on the same
// way.
TEST(CliDeep, AScanKilledAnywhereResumesToTheSameFiles) {
  test::ScratchAppData appData;
  test::TempDir dir;
  const fs::path image = MakeMixedDisk(dir.path());
  const auto started = std::chrono::steady_clock::now();
  const CliRun once = DeepScan(image, "--fresh --list");
  const auto took = std::chrono::steady_clock::now() - started;
  ASSERT_EQ(once.code, 0);
  const auto expected = SortedLines(once.out);
  ASSERT_GE(expected.size(), 500u);

  std::mt19937 random(2026);
  std::uniform_int_distribution<int64_t> moment(
      0, std::chrono::duration_cast<std::chrono::microseconds>(took).count() * 11 / 10);
  // At least 50 runs; more while fewer than 25 have gone on from a checkpoint (a loaded machine starts the
  // program slowly, so that more kills land before the first checkpoint).
  int resumedFromCheckpoint = 0;
  for (int run = 0; run < 50 || (run < 100 && resumedFromCheckpoint < 25); ++run) {
    const int64_t killAfter = moment(random);
    const pid_t pid = Spawn({"scan", image.string(), "--fresh", "--checkpoint-mib", "1"}, dir.path() / "out",
                            dir.path() / "err");
    ASSERT_GT(pid, 0);
    if (run % 10 == 0) {
      ASSERT_TRUE(WaitUntilOpen(pid, image));
      kill(pid, SIGINT);
      ASSERT_EQ(WaitExit(pid), 130) << Slurp(dir.path() / "err");
    } else {
      std::this_thread::sleep_for(std::chrono::microseconds(killAfter));
      kill(pid, SIGKILL);
      WaitExit(pid);
    }
    bool checkpointed = false;
    for (const auto& e : fs::recursive_directory_iterator(appData.path()))
      checkpointed = checkpointed || e.path().filename() == "Deep_Checkpoint";
    resumedFromCheckpoint += checkpointed ? 1 : 0;
    // A Ctrl-C in the scan saves it and says how to go on (one before the scan began leaves nothing).
    if (run % 10 == 0 && checkpointed) {
      EXPECT_NE(Slurp(dir.path() / "err").find("--resume"), std::string::npos);
    }
    const auto folders = ScanFolders(appData.path());
    const CliRun resumed = DeepScan(image, "--resume --list");
    ASSERT_EQ(resumed.code, 0) << "killed after " << killAfter << " us";
    if (checkpointed) {
      EXPECT_EQ(ScanFolders(appData.path()), folders) << "killed after " << killAfter << " us";
    }
    ASSERT_EQ(SortedLines(resumed.out), expected) << "killed after " << killAfter << " us";
  }
  // Kills land inside the pass, after its first checkpoint, often enough.
  EXPECT_GE(resumedFromCheckpoint, 25);
}

// Arguments that cannot work are refused before anything is read (no scan is even saved); a scan that ran to
// its end is saved as finished, and continuing it gives its results back as they were.
TEST(CliDeep, BadArgumentsAreRefusedFirstAndAFinishedScanIsReadBack) {
  test::ScratchAppData appData;
  test::TempDir dir;
  const fs::path image = dir.path() / "v.img";
  test::GunzipFixture("fat/fat16.img.gz", image);
  const std::string scan = std::string(SNAPSAVE_CLI) + " scan " + Quote(image);
  const fs::path config = appData.path() / "Vornel Snapsave" / "ScanLog" / "config";

  const CliRun typo = Execute(scan + " --types jpg,nosuchtype --list", true);
  EXPECT_EQ(typo.code, 1);
  EXPECT_NE(typo.out.find("'nosuchtype' is neither a category (photo, audio"), std::string::npos) << typo.out;
  const CliRun forbidden = Execute(scan + " --recover /proc/forbidden/out", true);
  EXPECT_EQ(forbidden.code, 1);
  EXPECT_NE(forbidden.out.find("cannot recover into /proc/forbidden/out"), std::string::npos)
      << forbidden.out;
  EXPECT_FALSE(fs::exists(config));
  const CliRun imaged =
      Execute(std::string(SNAPSAVE_CLI) + " image " + Quote(image) + " /proc/forbidden.img", true);
  EXPECT_EQ(imaged.code, 1);
  EXPECT_NE(imaged.out.find("cannot write /proc/forbidden.img"), std::string::npos) << imaged.out;

  const CliRun first = Execute(scan + " --list");
  ASSERT_EQ(first.code, 0);
  ASSERT_FALSE(first.out.empty());
  EXPECT_TRUE(fs::exists(config));
  const CliRun again = Execute(scan, true);
  EXPECT_NE(again.out.find("a finished deep scan of this source is saved"), std::string::npos) << again.out;
  const CliRun counted = Execute(scan + " --resume");
  EXPECT_EQ(counted.out, std::to_string(ParseListing(first.out).size()) + " items found\n");
  EXPECT_EQ(Execute(scan + " --resume --list").out, first.out);
}

// Whole-disk images made with sfdisk around the fixture volumes: an MBR with a primary FAT16 and FAT32 and
// NTFS in logical partitions, and a GPT with FAT32 and NTFS.
struct WholeDisk {
  std::string name, table;
  std::vector<std::pair<std::string, uint64_t>> volumes;  // fixture, first sector
};

class CliOnWholeDisk : public ::testing::TestWithParam<WholeDisk> {
 protected:
  void SetUp() override {
    if (std::system("command -v sfdisk >/dev/null 2>&1") != 0) GTEST_SKIP() << "sfdisk missing";
    image_ = dir_.path() / (GetParam().name + ".img");
    test::WriteFile(image_, {});
    fs::resize_file(image_, uint64_t{160} << 20);
    ASSERT_EQ(
        std::system(
            ("printf '" + GetParam().table + "' | sfdisk -q " + Quote(image_) + " >/dev/null 2>&1").c_str()),
        0);
    for (size_t i = 0; i < GetParam().volumes.size(); ++i) {
      const auto& [fixture, start] = GetParam().volumes[i];
      const fs::path volume = dir_.path() / ("v" + std::to_string(i + 1) + ".img");
      test::GunzipFixture(fixture, volume);
      const std::vector<uint8_t> bytes = test::ReadFile(volume);
      std::fstream disk(image_, std::ios::in | std::ios::out | std::ios::binary);
      disk.seekp(static_cast<std::streamoff>(start * 512));
      disk.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
      volumes_.push_back(volume);
    }
  }

  test::ScratchAppData appData_;
  test::TempDir dir_;
  fs::path image_;
  std::vector<fs::path> volumes_;
};

std::map<std::string, std::vector<uint8_t>> Tree(const fs::path& root) {
  std::map<std::string, std::vector<uint8_t>> files;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (IsReport(entry.path(), root)) continue;
    files[fs::relative(entry.path(), root).string()] =
        entry.is_regular_file() ? test::ReadFile(entry.path()) : std::vector<uint8_t>{};
  }
  return files;
}

TEST_P(CliOnWholeDisk, EveryVolumeIsListedAndRecoversAsItsOwnImage) {
  const std::string cli = std::string(SNAPSAVE_CLI);
  const CliRun listed = Execute(cli + " list --json " + Quote(image_));
  ASSERT_EQ(listed.code, 0);
  std::map<uint64_t, std::string> idAt;  // volume start -> ID
  for (const auto& j : JsonLines(listed.out)) {
    if (j["kind"] == "volume") idAt[j["startSector"].get<uint64_t>()] = j["id"].get<std::string>();
  }
  ASSERT_EQ(idAt.size(), volumes_.size()) << listed.out;
  // Each volume's free space on the disk is what the volume's own image says.
  std::set<uint64_t> freeOnDisk, freeAlone;
  for (const auto& j : JsonLines(listed.out))
    if (j["kind"] == "volume") freeOnDisk.insert(j["freeBytes"].get<uint64_t>());
  for (const fs::path& volume : volumes_)
    freeAlone.insert(
        JsonLines(Execute(cli + " list --json " + Quote(volume)).out)[0]["freeBytes"].get<uint64_t>());
  EXPECT_EQ(freeOnDisk, freeAlone);

  // Recovered from the disk image, each volume's files are those recovered from the volume's own image; one
  // entry named alone gives the same.
  const fs::path all = dir_.path() / "all";
  ASSERT_EQ(Execute(cli + " scan " + Quote(image_) + " --quick --recover " + Quote(all)).code, 0);
  size_t index = 0;
  for (const auto& [start, id] : idAt) {
    const fs::path alone = dir_.path() / ("alone" + std::to_string(index));
    ASSERT_EQ(Execute(cli + " scan " + Quote(volumes_[index]) + " --quick --recover " + Quote(alone)).code,
              0);
    EXPECT_GT(Tree(alone).size(), 10u) << id;
    const std::string number = id.substr(id.rfind(':') + 1);
    EXPECT_EQ(Tree(all / ("volume " + number)), Tree(alone)) << id;
    const fs::path named = dir_.path() / ("named" + std::to_string(index));
    ASSERT_EQ(Execute(cli + " scan " + Quote(id) + " --quick --recover " + Quote(named)).code, 0);
    EXPECT_EQ(Tree(named), Tree(alone)) << id;
    ++index;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Tables, CliOnWholeDisk,
    ::testing::Values(
        WholeDisk{
            "mbr",
            "label: dos\\nstart=2048, size=32768, type=e\\nstart=40960, size=200000, type=5\\n"
            "start=43008, size=81920, type=c\\nstart=126976, size=32768, type=7\\n",
            {{"fat/fat16.img.gz", 2048}, {"fat/fat32.img.gz", 43008}, {"ntfs/ntfs_small.img.gz", 126976}}},
        WholeDisk{"gpt",
                  "label: gpt\\nstart=2048, size=81920, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7\\n"
                  "start=100000, size=32768, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7\\n",
                  {{"fat/fat32.img.gz", 2048}, {"ntfs/ntfs_small.img.gz", 100000}}}),
    [](const ::testing::TestParamInfo<WholeDisk>& p) { return p.param.name; });

// A rescue map in ddrescue's format: (first sector, sectors, status) in order.
void WriteRescueMap(const fs::path& path, const std::vector<std::tuple<uint64_t, uint64_t, char>>& ranges) {
  std::string map = "# Mapfile\n0x00000000 + 1\n";
  for (const auto& [first, count, status] : ranges)
    if (count != 0) map += fmt::format("{:#010x} {:#010x} {}\n", first * 512, count * 512, status);
  test::WriteFile(path, std::vector<uint8_t>(map.begin(), map.end()));
}

// An image made by a rescue copy, scanned with its map beside it (ddrescue's name for it): what the map does
// not list as rescued is unreadable, not zeros taken for data. The scan warns of it, a file crossing it is
// recovered with zeros there and counted damaged, and the deep scan lists such files as damaged.
TEST(CliScan, AnImageIsReadAsItsRescueMapSays) {
  test::ScratchAppData appData;
  test::TempDir dir;
  const fs::path image = dir.path() / "card.img";
  test::GunzipFixture("fat/holes16.img.gz", image);
  const uint64_t sectors = fs::file_size(image) / 512;
  // Sectors 162-163 hold the start of deleted _MG_101.JPG, 199 that of deleted _MP10.DAT (and the end of
  // _MG_105.JPG, whose clusters were given to it).
  WriteRescueMap(dir.path() / "card.map",
                 {{0, 162, '+'}, {162, 2, '-'}, {164, 35, '+'}, {199, 1, '?'}, {200, sectors - 200, '+'}});
  const std::string cli = SNAPSAVE_CLI;
  const CliRun quick =
      Execute(cli + " scan " + Quote(image) + " --quick --recover " + Quote(dir.path() / "out"), true);
  EXPECT_EQ(quick.code, 4) << quick.out;
  EXPECT_NE(quick.out.find("the rescue map beside it (card.map) lists 1.5 KiB in 2 stretches"),
            std::string::npos)
      << quick.out;
  EXPECT_NE(quick.out.find("20 of 20 files recovered into"), std::string::npos) << quick.out;
  EXPECT_NE(quick.out.find("3 of them damaged"), std::string::npos) << quick.out;
  const std::vector<uint8_t> mp10 = test::ReadFile(dir.path() / "out/DCIM/!MP10.DAT");
  ASSERT_EQ(mp10.size(), 1024u);
  EXPECT_TRUE(std::all_of(mp10.begin(), mp10.begin() + 512, [](uint8_t b) { return b == 0; }));

  const CliRun deep = Execute(cli + " scan " + Quote(image) + " --fresh --list --json");
  EXPECT_EQ(deep.code, 0);
  std::set<std::string> damaged;
  std::istringstream lines(deep.out);
  for (std::string line; std::getline(lines, line);) {
    const auto j = nlohmann::json::parse(line, nullptr, false);
    if (j.is_object() && j.value("type", "") == "file" && !j.value("intact", true))
      damaged.insert(j.value("name", ""));
  }
  EXPECT_EQ(damaged.count("!MG_101.JPG"), 1u);
  EXPECT_EQ(damaged.count("!MP10.DAT"), 1u);
}

using FileTree = std::map<std::string, std::vector<uint8_t>>;

// Recovers `image` with the quick scan into `out`: the run and what it recovered.
std::pair<CliRun, FileTree> QuickRecover(const fs::path& image, const fs::path& out) {
  const CliRun run =
      Execute(std::string(SNAPSAVE_CLI) + " scan " + Quote(image) + " --quick --recover " + Quote(out), true);
  return {run, Tree(out)};
}

// The same of a copy of `whole` (beside it, named `name`) whose sectors [first, first + count) cannot be
// read, as the rescue map beside it says.
std::pair<CliRun, FileTree> QuickRecoverUnreadable(const fs::path& whole, const std::string& name,
                                                   uint64_t first, uint64_t count) {
  const fs::path dir = whole.parent_path();
  const uint64_t sectors = fs::file_size(whole) / 512;
  fs::copy_file(whole, dir / (name + ".img"));
  WriteRescueMap(dir / (name + ".map"),
                 {{0, first, '+'}, {first, count, '-'}, {first + count, sectors - first - count, '+'}});
  return QuickRecover(dir / (name + ".img"), dir / name);
}

// Volumes whose first structures, or sectors of their tables, cannot be read are read through the copies
// they keep: the quick scan recovers what it recovers from the whole volume, and a sector of the MFT that
// cannot be read costs only its records.
TEST(CliScan, UnreadableMetadataIsReadThroughItsCopies) {
  struct Case {
    const char* fixture;
    uint64_t first, count;
    const char* what;
  };
  const Case cases[] = {
      {"fat/fat32.img.gz", 32, 8, "sectors of the first FAT (32-661; the second is 662-1291)"},
      {"ext/groups.img.gz", 2, 2, "ext superblock (its copy starts group 1)"},
      {"ext/groups.img.gz", 4, 2, "ext group descriptors (copied after group 1's superblock)"},
      {"exfat/small.img.gz", 0, 1, "exFAT boot sector (the backup boot region follows the main one)"},
      {"ntfs/ntfs_small.img.gz", 0, 1, "NTFS boot sector (its copy is the volume's last sector)"},
      {"ntfs/ntfs_small.img.gz", 32, 2, "the MFT's own record (its copy is in $MFTMirr)"},
      {"ntfs/ntfs_small.img.gz", 300, 2, "an MFT record of no file"},
  };
  test::ScratchAppData appData;
  test::TempDir dir;
  int n = 0;
  for (const Case& c : cases) {
    const std::string name = std::to_string(n++);
    const fs::path whole = dir.path() / (name + "-whole.img");
    test::GunzipFixture(c.fixture, whole);
    const auto [wholeRun, wanted] = QuickRecover(whole, dir.path() / (name + "-whole"));
    ASSERT_EQ(wholeRun.code, 0) << c.what;
    ASSERT_GE(wanted.size(), 3u) << c.what;
    const auto [run, tree] = QuickRecoverUnreadable(whole, name, c.first, c.count);
    EXPECT_EQ(run.code, 0) << c.what << "\n" << run.out;
    EXPECT_NE(run.out.find("the rescue map beside it"), std::string::npos) << run.out;
    EXPECT_EQ(tree, wanted) << c.what;
  }
}

// Deleted DCIM/_IGHWORD.JPG keeps only the low half of its first cluster; the one candidate that could be its
// start (sector 69016, high half 1) cannot be read, and is taken: one that cannot be checked is likelier than
// one found wrong. The file comes back damaged, with the rest of its data; the other files as they are.
TEST(CliScan, ADeletedFileWhoseStartCannotBeReadComesBackDamaged) {
  test::ScratchAppData appData;
  test::TempDir dir;
  const fs::path whole = dir.path() / "whole.img";
  test::GunzipFixture("fat/fat32.img.gz", whole);
  const auto [wholeRun, wanted] = QuickRecover(whole, dir.path() / "whole");
  ASSERT_EQ(wholeRun.code, 0);
  auto [photoRun, photoTree] = QuickRecoverUnreadable(whole, "photo", 69016, 1);
  EXPECT_EQ(photoRun.code, 4) << photoRun.out;
  EXPECT_NE(photoRun.out.find("1 of them damaged"), std::string::npos) << photoRun.out;
  const std::string photo = "DCIM/!IGHWORD.JPG";
  ASSERT_EQ(photoTree.count(photo), 1u);
  const std::vector<uint8_t>& got = photoTree[photo];
  const std::vector<uint8_t>& real = wanted.at(photo);
  ASSERT_EQ(got.size(), real.size());
  EXPECT_TRUE(std::all_of(got.begin(), got.begin() + 512, [](uint8_t x) { return x == 0; }));
  EXPECT_TRUE(std::equal(got.begin() + 512, got.end(), real.begin() + 512));
  auto rest = wanted;
  rest.erase(photo);
  photoTree.erase(photo);
  EXPECT_EQ(photoTree, rest);
}

// Recovered files keep the times their volume recorded: NTFS keeps them in UTC; FAT keeps the local time of
// the clock that wrote them, placed by the zone the recovery runs in.
// Every file of a volume (FAT16, FAT32, exFAT, NTFS, ext4): with --all each file `fls -r -p` lists as
// existing is listed in its folder as existing and comes back byte for byte as icat reads it; the deleted
// ones keep their state. Without --all no existing file is listed.
TEST(CliScan, WithAllEveryExistingFileComesBackAsTheSleuthKitReadsIt) {
  if (std::system("command -v fls >/dev/null 2>&1 && command -v icat >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "fls and icat (sleuthkit) are needed";
  test::TempDir dir;
  for (const std::string fixture : {"fat/fat16", "fat/fat32", "exfat/small", "ntfs/ntfs_small", "ext/card"}) {
    SCOPED_TRACE(fixture);
    const std::string name = fs::path(fixture).filename().string();
    const fs::path image = dir.path() / (name + ".img");
    test::GunzipFixture(fixture + ".img.gz", image);
    // "r/r 841-128-2:<TAB>DCIM/IMG.JPG"; a deleted name has " * " after the type. The file system's own
    // files ($MFT, $FAT1, ...), named streams and the volume label are fls's alone.
    std::map<std::string, std::string> existing;  // path -> address
    for (const Row& row : Rows(Execute("fls -r -p " + Quote(image)).out)) {
      if (row.size() < 2 || !row[0].starts_with("r/r ") || row[0].find(" * ") != std::string::npos) continue;
      if (row[1].starts_with("$") || row[1].find(':') != std::string::npos ||
          row[1].ends_with("(Volume Label Entry)"))
        continue;
      existing["/" + row[1]] = row[0].substr(4, row[0].find(':') - 4);
    }
    ASSERT_FALSE(existing.empty());
    std::map<std::string, std::string> listed;  // path -> "existing" or "deleted"
    for (const nlohmann::json& j : JsonLines(QuickScan(image, "--all --list --json").out)) {
      if (j["type"] != "file") continue;
      listed[j["path"].get<std::string>() + j["name"].get<std::string>()] =
          j["deleted"].get<bool>() ? "deleted" : "existing";
    }
    std::map<std::string, std::string> ours;
    size_t deleted = 0;
    for (const auto& [path, state] : listed) {
      if (state == "existing") ours[path] = existing.count(path) != 0 ? existing.at(path) : "?";
      deleted += state == "deleted" ? 1u : 0u;
    }
    EXPECT_EQ(ours, existing);
    EXPECT_GT(deleted, 0u);
    for (const nlohmann::json& j : JsonLines(QuickScan(image, "--list --json").out))
      EXPECT_TRUE(j["type"] == "folder" || j["deleted"].get<bool>()) << j.dump();

    const fs::path out = dir.path() / name;
    // Some deleted files come back damaged (exit code 4); every existing one is whole.
    const int code = QuickScan(image, "--all --recover " + Quote(out)).code;
    EXPECT_TRUE(code == 0 || code == 4) << code;
    // About fifty of each volume's files, the NTFS fixture's hundreds of fillers thinned.
    size_t k = 0;
    const size_t step = std::max<size_t>(1, existing.size() / 50);
    for (const auto& [path, address] : existing) {
      if (k++ % step != 0) continue;
      const CliRun icat = Execute("icat " + Quote(image) + " " + address);
      ASSERT_EQ(icat.code, 0) << path;
      EXPECT_TRUE(Slurp(out / path.substr(1)) == icat.out) << path;
    }
  }
}

// The existing files of one volume of a whole-disk image as `fls -r -p -o START` lists them: path ->
// address.
std::map<std::string, std::string> FlsExisting(const fs::path& image, uint64_t start) {
  std::map<std::string, std::string> files;
  for (const Row& row : Rows(Execute(fmt::format("fls -r -p -o {} {}", start, Quote(image))).out)) {
    if (row.size() < 2 || !row[0].starts_with("r/r ") || row[0].find(" * ") != std::string::npos) continue;
    if (row[1].starts_with("$") || row[1].find(':') != std::string::npos ||
        row[1].ends_with("(Volume Label Entry)"))
      continue;
    files["/" + row[1]] = row[0].substr(4, row[0].find(':') - 4);
  }
  return files;
}

// Whole-disk images (an MBR with logical partitions, a GPT) whose table was wiped, and whose volumes lost
// their first sectors too (FAT32's and NTFS's boot sectors, exFAT's main boot region, ext's superblock): the
// search finds every volume at its sector with the size it states, by the copies each keeps; each scans as
// IMAGE@SECTOR and lists the files fls lists in it on the intact image; a deep scan of the whole image names
// them too. A table whose one entry spans the disk hides nothing from the search.
TEST(CliScan, VolumesOfAWipedTableAreFoundByTheirOwnStructures) {
  if (std::system("command -v fls >/dev/null 2>&1") != 0) GTEST_SKIP() << "fls (sleuthkit) is needed";
  test::TempDir dir;
  const std::string cli = SNAPSAVE_CLI;
  // The fixtures' layouts: start, size and type of each entry (sfdisk); start -> expected file system.
  const std::map<std::string, std::map<uint64_t, std::string>> systems = {
      {"mbr", {{2048, "FAT"}, {38912, "FAT32"}, {110592, "NTFS"}, {129024, "ext4"}}},
      {"gpt", {{2048, "exFAT"}, {18432, "ext4"}, {51200, "FAT32"}}}};
  for (const auto& [name, expected] : systems) {
    SCOPED_TRACE(name);
    const fs::path intact = dir.path() / (name + ".img"), wiped = dir.path() / (name + "-wiped.img");
    test::GunzipFixture("disk/" + name + ".img.gz", intact);
    std::vector<uint8_t> bytes = test::ReadFile(intact);
    std::map<uint64_t, uint64_t> sizes;
    for (const auto& row : test::FixtureRows("disk/" + name + ".layout"))
      if (row[2] != "5") sizes[std::stoull(row[0])] = std::stoull(row[1]);
    // The table (the MBR and the gap before the first volume, or the protective MBR and the primary GPT),
    // and the first structures of every volume but the first.
    std::fill(bytes.begin(), bytes.begin() + (name == "mbr" ? 2048 : 34) * 512, 0);
    for (const auto& [start, system] : expected) {
      if (start == 2048) continue;
      const uint64_t from = system == "ext4" ? start + 2 : start;  // the superblock, 1024 bytes in
      const uint64_t count = system == "exFAT" ? 12 : system == "ext4" ? 2 : 1;
      std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>(from * 512), count * 512, 0);
    }
    test::WriteFile(wiped, bytes);

    std::map<uint64_t, std::pair<uint64_t, std::string>> found;
    for (const nlohmann::json& j : JsonLines(Execute(cli + " list --search --json " + Quote(wiped)).out)) {
      if (j["kind"] != "found") continue;
      EXPECT_EQ(j["id"], fmt::format("{}@{}", wiped.string(), j["startSector"].get<uint64_t>()));
      found[j["startSector"]] = {j["sectorCount"], j["fileSystem"]};
    }
    ASSERT_EQ(found.size(), expected.size());
    for (const auto& [start, system] : expected) {
      SCOPED_TRACE(start);
      ASSERT_EQ(found.count(start), 1u);
      const auto& [sectors, listedAs] = found.at(start);
      // As large as the volume says it is: its partition, but for what ext's whole blocks leave over.
      EXPECT_LE(sectors, sizes.at(start));
      EXPECT_GE(sectors + 8, sizes.at(start));
      if (start == 2048 || system == "NTFS") {
        EXPECT_EQ(listedAs, system);  // probed, or named by the engines where the probe finds nothing
      }
      std::map<std::string, std::string> listed;
      for (const nlohmann::json& j :
           JsonLines(Execute(cli + " scan " + Quote(fmt::format("{}@{}", wiped.string(), start)) +
                             " --quick --all --list --json")
                         .out))
        if (j["type"] == "file" && !j["deleted"].get<bool>())
          listed[j["path"].get<std::string>() + j["name"].get<std::string>()] = "";
      std::map<std::string, std::string> fls = FlsExisting(intact, start);
      for (auto& [path, address] : fls) address.clear();
      EXPECT_EQ(listed, fls);
      EXPECT_GE(listed.size(), 2u);
    }
    const CliRun deep = Execute(cli + " scan " + Quote(wiped) + " --fresh", true);
    EXPECT_NE(deep.out.find(fmt::format("{} volumes found by their own structures", expected.size())),
              std::string::npos)
        << deep.out;
  }

  // The primary GPT alone wiped (its protective MBR kept): the table is read from its backup at the end.
  const fs::path primary = dir.path() / "primary.img";
  test::GunzipFixture("disk/gpt.img.gz", primary);
  std::vector<uint8_t> gpt = test::ReadFile(primary);
  std::fill(gpt.begin() + 512, gpt.begin() + 34 * 512, 0);
  test::WriteFile(primary, gpt);
  std::set<uint64_t> volumes;
  for (const nlohmann::json& j : JsonLines(Execute(cli + " list --json " + Quote(primary)).out))
    if (j["kind"] == "volume") volumes.insert(j["startSector"].get<uint64_t>());
  EXPECT_EQ(volumes, (std::set<uint64_t>{2048, 18432, 51200}));

  // One entry from sector 1 over the whole disk, over the FAT16 and the NTFS volume: it holds no volume, and
  // both are found.
  const fs::path spanning = dir.path() / "spanning.img";
  test::GunzipFixture("disk/mbr.img.gz", spanning);
  std::vector<uint8_t> disk = test::ReadFile(spanning);
  std::fill(disk.begin() + 446, disk.begin() + 510, 0);
  disk[446 + 4] = 0x07;
  PutLe32(disk, 446 + 8, 1);
  PutLe32(disk, 446 + 12, static_cast<uint32_t>(disk.size() / 512 - 1));
  test::WriteFile(spanning, disk);
  const CliRun searched = Execute(cli + " list --search --json " + Quote(spanning), true);
  EXPECT_NE(searched.out.find("entry 1 of the partition table (sectors 1-"), std::string::npos)
      << searched.out;
  std::set<uint64_t> starts;
  std::istringstream lines(searched.out);
  for (std::string line; std::getline(lines, line);)
    if (line.starts_with("{") && nlohmann::json::parse(line)["kind"] == "found")
      starts.insert(nlohmann::json::parse(line)["startSector"].get<uint64_t>());
  EXPECT_TRUE(starts.count(2048) == 1 && starts.count(110592) == 1) << searched.out;
}

// LVM2 volume groups made by the real tools: logical volumes are listed by name (a removed one too), scan and
// recover like partitions, and one whose extents lie in two runs reads as one (a file crossing the seam comes
// back whole), in a scan and in a copy made with 'image'.
TEST(CliScan, LogicalVolumesAreListedByNameAndReadThroughTheirExtents) {
  test::ScratchAppData appData;
  test::TempDir dir;
  const std::string cli = SNAPSAVE_CLI;
  const fs::path image = dir.path() / "lvm.img";
  test::GunzipFixture("lvm/lvm.img.gz", image);
  // Each sector of a fixture file names the file and the sector.
  auto stamped = [](const std::string& name, size_t size) {
    std::string out;
    for (size_t s = 0; out.size() < size; ++s) {
      std::string line = name + " sector " + std::to_string(s) + "\n";
      out += line + std::string(511 - line.size(), '.') + "\n";
    }
    out.resize(size);
    return std::vector<uint8_t>(out.begin(), out.end());
  };

  std::map<std::string, nlohmann::json> listed;
  for (const nlohmann::json& j : JsonLines(Execute(cli + " list --json " + Quote(image)).out))
    if (j.contains("logicalVolume")) listed[j["logicalVolume"].get<std::string>()] = j;
  ASSERT_EQ(listed.size(), 3u);
  EXPECT_EQ(listed["vg0/data"]["fileSystem"], "FAT");
  EXPECT_EQ(listed["vg0/data"]["label"], "DATA");
  EXPECT_EQ(listed["vg0/data"]["totalBytes"], 12u << 20);
  EXPECT_EQ(listed["vg0/data"]["removed"], false);
  EXPECT_EQ(listed["vg0/old"]["removed"], true);
  EXPECT_EQ(listed["vg0/old"]["device"], "removed logical volume vg0/old");
  EXPECT_EQ(listed["vg0/old"]["label"], "OLD");

  const fs::path data = dir.path() / "data";
  ASSERT_EQ(Execute(cli + " scan " + Quote(image) + ":vg0/data --quick --all --recover " + Quote(data)).code,
            0);
  EXPECT_EQ(test::ReadFile(data / "big.bin"), stamped("big.bin", 2097152));
  EXPECT_EQ(test::ReadFile(data / "docs/report.txt"), stamped("report.txt", 6000));
  EXPECT_EQ(test::ReadFile(data / "docs/!one.txt"), stamped("gone.txt", 3000));
  const std::string id = std::to_string(listed["vg0/old"]["id"].get<std::string>().back() - '0');
  const fs::path old = dir.path() / "old";
  ASSERT_EQ(Execute(cli + " scan " + Quote(image) + ":" + id + " --quick --all --recover " + Quote(old)).code,
            0);
  EXPECT_EQ(test::ReadFile(old / "keep.txt"), stamped("keep.txt", 2500));
  EXPECT_EQ(test::ReadFile(old / "!one.txt"), stamped("gone.txt", 3000));

  // A copy of the volume is the volume: its file system reads whole from the copy.
  const fs::path copy = dir.path() / "data-copy.img";
  ASSERT_EQ(Execute(cli + " image " + Quote(image) + ":vg0/data " + Quote(copy)).code, 0);
  EXPECT_EQ(fs::file_size(copy), 12u << 20);
  const fs::path fromCopy = dir.path() / "from-copy";
  ASSERT_EQ(Execute(cli + " scan " + Quote(copy) + " --quick --all --recover " + Quote(fromCopy)).code, 0);
  EXPECT_EQ(test::ReadFile(fromCopy / "big.bin"), stamped("big.bin", 2097152));

  // A deep scan of the disk reads the logical volumes, not the physical volume around them.
  const CliRun deep = Execute(cli + " scan " + Quote(image) + " --list");
  EXPECT_EQ(deep.code, 0);
  EXPECT_EQ(deep.out.find("lvm.img:1\n"), std::string::npos) << deep.out;
  EXPECT_NE(deep.out.find("lvm.img:2\n"), std::string::npos) << deep.out;

  // Striped over two physical volumes, and run from one into the other.
  const fs::path striped = dir.path() / "striped.img";
  test::GunzipFixture("lvm/striped.img.gz", striped);
  for (const char* lv : {"vg2/stripes", "vg2/span"}) {
    const fs::path out = dir.path() / fs::path(lv).filename();
    ASSERT_EQ(
        Execute(cli + " scan " + Quote(striped) + ":" + lv + " --quick --all --recover " + Quote(out)).code,
        0);
    EXPECT_EQ(test::ReadFile(out / "big.bin"), stamped("big.bin", 2097152)) << lv;
  }

  // A whole disk that is a physical volume, with no partition table.
  const fs::path whole = dir.path() / "pv.img";
  test::GunzipFixture("lvm/pv.img.gz", whole);
  const CliRun photos = Execute(cli + " scan " + Quote(whole) + ":vg1/photos --quick --list --json");
  EXPECT_EQ(photos.code, 0);
  EXPECT_NE(photos.out.find("photo1.jpg"), std::string::npos) << photos.out;
  EXPECT_EQ(Execute(cli + " scan " + Quote(whole) + ":vg1/nothing --quick --list", true).code != 0, true);
}

// An XFS volume: listed with its label and the free space its superblock counts, its files (and those deleted
// after the log took them) by the quick scan, and the deep scan's pass over its free blocks finishes beside
// them.
TEST(CliScan, AnXfsVolumeIsReadByItsOwnMetadata) {
  test::ScratchAppData appData;
  test::TempDir dir;
  const std::string cli = SNAPSAVE_CLI;
  const fs::path image = dir.path() / "xfs.img";
  test::GunzipFixture("xfs/xfs.img.gz", image);
  const std::vector<nlohmann::json> listed = JsonLines(Execute(cli + " list --json " + Quote(image)).out);
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0]["fileSystem"], "xfs");
  EXPECT_EQ(listed[0]["label"], "SNAPXFS");
  EXPECT_TRUE(listed[0]["freeBytes"].is_number());
  size_t files = 0;
  for (const nlohmann::json& j :
       JsonLines(Execute(cli + " scan " + Quote(image) + " --quick --all --list --json").out))
    files += j["type"] == "file" ? 1u : 0u;
  EXPECT_EQ(files, 3445u + 19u);  // and the nineteen the log still names
  EXPECT_EQ(Execute(cli + " scan " + Quote(image) + " --list").code, 0);
}

TEST(CliScan, ABtrfsVolumeIsReadByItsOwnMetadata) {
  test::ScratchAppData appData;
  test::TempDir dir;
  const std::string cli = SNAPSAVE_CLI;
  const fs::path image = dir.path() / "btrfs.img";
  test::GunzipFixture("btrfs/btrfs.img.gz", image);
  const std::vector<nlohmann::json> listed = JsonLines(Execute(cli + " list --json " + Quote(image)).out);
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0]["fileSystem"], "btrfs");
  EXPECT_EQ(listed[0]["label"], "SNAPBTRFS");
  EXPECT_TRUE(listed[0]["freeBytes"].is_number());
  size_t files = 0;
  bool deletedFolder = false, subvolume = false;
  for (const nlohmann::json& j :
       JsonLines(Execute(cli + " scan " + Quote(image) + " --quick --all --list --json").out)) {
    files += j["type"] == "file" ? 1u : 0u;
    if (j["type"] == "folder" && j["path"] == "/") {
      deletedFolder = deletedFolder || (j["name"] == "trip" && j["deleted"] == true);
      subvolume = subvolume || (j["name"] == "sub" && j["deleted"] == false);
    }
  }
  EXPECT_EQ(files, 411u + 11u);  // and the eleven deleted since
  EXPECT_TRUE(deletedFolder);
  EXPECT_TRUE(subvolume);
  // Its first superblock overwritten: the copy at 64 MiB says what the volume is and where its trees are.
  std::vector<uint8_t> bytes = test::ReadFile(image);
  std::fill_n(bytes.begin() + 0x10000, 4096, uint8_t{0xEE});
  const fs::path damaged = dir.path() / "damaged.img";
  test::WriteFile(damaged, bytes);
  files = 0;
  for (const nlohmann::json& j :
       JsonLines(Execute(cli + " scan " + Quote(damaged) + " --quick --all --list --json").out))
    files += j["type"] == "file" ? 1u : 0u;
  EXPECT_EQ(files, 411u + 11u);
  // The deep scan carves the free space only: nothing is found twice.
  const std::vector<nlohmann::json> deep =
      JsonLines(Execute(cli + " scan " + Quote(image) + " --list --json").out);
  size_t named = 0;
  for (const nlohmann::json& j : deep) named += j["type"] == "file" && j["path"] != "/" ? 1u : 0u;
  EXPECT_GE(named, 10u);
}

TEST(CliScan, RecoveredFilesKeepTheirTimes) {
  test::ScratchAppData appData;
  test::TempDir dir;
  const std::string cli = SNAPSAVE_CLI;
  auto modified = [](const fs::path& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return std::pair<int64_t, int64_t>{st.st_mtim.tv_sec, st.st_mtim.tv_nsec};
  };
  test::GunzipFixture("ntfs/ntfs_small.img.gz", dir.path() / "ntfs.img");
  ASSERT_EQ(Execute(cli + " scan " + Quote(dir.path() / "ntfs.img") + " --quick --recover " +
                    Quote(dir.path() / "ntfs"))
                .code,
            0);
  // notes/small.txt: 2026-12-06 09:29:08.4098099 UTC.
  EXPECT_EQ(modified(dir.path() / "ntfs/notes/small.txt"),
            (std::pair<int64_t, int64_t>{1796549348, 409809900}));

  test::GunzipFixture("fat/fat32.img.gz", dir.path() / "fat.img");
  // A zone an hour ahead of UTC all year, spelt out so that no time-zone data is needed.
  ASSERT_EQ(Execute("TZ=XXX-1 " + cli + " scan " + Quote(dir.path() / "fat.img") + " --quick --recover " +
                    Quote(dir.path() / "fat"))
                .code,
            0);
  // "Holiday Trip/beach.jpg" says 2026-12-06 09:31:00: 08:31:00 UTC.
  EXPECT_EQ(modified(dir.path() / "fat/Holiday Trip/beach.jpg"),
            (std::pair<int64_t, int64_t>{1796545860, 0}));
}

#ifdef SNAPSAVE_BAD_SECTORS_FS
// A failing disk served by a FUSE file system whose listed sectors fail every read.
class FailingDisk {
 public:
  // `options`: "--die-after-bytes N", "--page-cache" (see the file system's own usage).
  FailingDisk(const fs::path& backing, const fs::path& mountPoint, const std::string& bad, int delayUs,
              int rateMbps = 0, std::vector<std::string> options = {})
      : mountPoint_(mountPoint) {
    fs::create_directories(mountPoint);
    std::vector<std::string> args = {SNAPSAVE_BAD_SECTORS_FS, backing.string(),
                                     mountPoint.string(),     bad,
                                     std::to_string(delayUs), std::to_string(rateMbps)};
    args.insert(args.end(), options.begin(), options.end());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
      execv(SNAPSAVE_BAD_SECTORS_FS, argv.data());
      _exit(127);
    }
    for (int i = 0; i < 100 && !Mounted(); ++i) usleep(50000);
  }
  ~FailingDisk() {
    if (Mounted()) Execute("fusermount3 -u " + Quote(mountPoint_));
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
  }
  bool Mounted() const {
    std::error_code ec;
    return fs::exists(Disk(), ec);
  }
  fs::path Disk() const { return mountPoint_ / "disk.img"; }
  // Reads served so far, and how many of them failed.
  std::pair<uint64_t, uint64_t> Reads() const {
    std::istringstream in(Slurp(mountPoint_ / "stats"));
    std::string word;
    uint64_t reads = 0, failed = 0;
    in >> word >> reads >> word >> failed;
    return {reads, failed};
  }
  // The cable pulled: the file system dies mid-read, and every read of it fails from then on.
  void Pull() {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
    Execute("fusermount3 -u -z " + Quote(mountPoint_));
  }

 private:
  fs::path mountPoint_;
  pid_t pid_ = -1;
};

// The sectors the map lists as bad ("-").
std::set<uint64_t> BadInMap(const fs::path& map) {
  std::set<uint64_t> bad;
  std::ifstream in(map);
  bool header = false;
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    if (!header) {
      header = true;
      continue;
    }
    std::istringstream f(line);
    std::string pos, size, status;
    f >> pos >> size >> status;
    if (status != "-") continue;
    for (uint64_t s = std::stoull(pos, nullptr, 16) / 512;
         s < (std::stoull(pos, nullptr, 16) + std::stoull(size, nullptr, 16)) / 512; ++s)
      bad.insert(s);
  }
  return bad;
}

// Imaging a failing disk: the image equals the disk outside its bad sectors (zeros there), the map lists
// exactly those (ddrescuelog, where installed, agrees), and a copy stopped half-way resumes to the same image
// and map.
TEST(CliImage, AFailingDiskIsRescuedAroundItsBadSectorsAndAStoppedCopyResumes) {
  test::ScratchAppData appData;
  test::TempDir dir;
  const fs::path backing = dir.path() / "disk.img";
  test::GunzipFixture("fat/holes16.img.gz", backing);
  std::set<uint64_t> bad = {100, 101, 102, 103, 104, 105, 106, 107, 5000};
  for (uint64_t s = 9000; s < 9400; ++s) bad.insert(s);
  std::vector<uint8_t> expected = test::ReadFile(backing);
  for (uint64_t s : bad) std::fill_n(expected.begin() + static_cast<ptrdiff_t>(s * 512), 512, 0);

  FailingDisk disk(backing, dir.path() / "mnt", "100-107,5000,9000-9399", 1500);
  if (!disk.Mounted()) GTEST_SKIP() << "FUSE is not available here";
  const fs::path image = dir.path() / "rescued.img";
  fs::path map = image;
  map += ".map";
  const std::string command = std::string(SNAPSAVE_CLI) + " image " + Quote(disk.Disk()) + " " + Quote(image);
  // Stopped with Ctrl-C while it works through the bad areas, then run again.
  const CliRun stopped = Execute("timeout --preserve-status -s INT 0.6 " + command);
  ASSERT_EQ(stopped.code, 130) << stopped.out;
  ASSERT_TRUE(fs::exists(map));
  const CliRun resumed = Execute(command);
  EXPECT_EQ(resumed.code, 4) << resumed.out;  // finished, with sectors that stay unreadable
  EXPECT_TRUE(test::ReadFile(image) == expected);
  EXPECT_EQ(BadInMap(map), bad);
  EXPECT_NE(resumed.out.find("bad 204.5 KiB in 3 areas, not yet read 0 B"), std::string::npos) << resumed.out;
  if (std::system("command -v ddrescuelog >/dev/null 2>&1") == 0) {
    const CliRun listed = Execute("ddrescuelog -b512 -l- " + Quote(map));
    std::set<uint64_t> theirs;
    std::istringstream numbers(listed.out);
    for (uint64_t s; numbers >> s;) theirs.insert(s);
    EXPECT_EQ(theirs, bad);
  }
}

// The same disk as the system shows a block device read through its cache (a loop device over the failing
// file, the kernel reading pages and ahead): the copy reads past the cache, so each bad sector costs about
// one failing read, as ddrescue -d's, and no good sector beside a bad one is lost. Needs loop devices.
TEST(CliImage, ADiskReadPastTheCacheCostsAboutOneFailingReadPerBadSector) {
  test::ScratchAppData appData;
  test::TempDir dir;
  const fs::path backing = dir.path() / "disk.img";
  test::GunzipFixture("fat/holes16.img.gz", backing);
  // In whole pages: the loop device reads its file a page at a time.
  std::set<uint64_t> bad;
  for (const auto& [lo, hi] : {std::pair<uint64_t, uint64_t>{96, 112}, {5000, 5008}, {9000, 9400}})
    for (uint64_t s = lo; s < hi; ++s) bad.insert(s);
  std::vector<uint8_t> expected = test::ReadFile(backing);
  for (uint64_t s : bad) std::fill_n(expected.begin() + static_cast<ptrdiff_t>(s * 512), 512, 0);
  FailingDisk disk(backing, dir.path() / "mnt", "96-111,5000-5007,9000-9399", 0, 0, {"--page-cache"});
  if (!disk.Mounted()) GTEST_SKIP() << "FUSE is not available here";
  const CliRun loop = Execute("losetup -r -f --show " + Quote(disk.Disk()));
  std::string device = loop.out.substr(0, loop.out.find('\n'));
  if (loop.code != 0 || device.empty()) GTEST_SKIP() << "no loop devices here";
  const fs::path image = dir.path() / "rescued.img";
  const CliRun run = Execute(std::string(SNAPSAVE_CLI) + " image " + Quote(device) + " " + Quote(image));
  Execute("losetup -d " + Quote(device));
  EXPECT_EQ(run.code, 4) << run.out;
  EXPECT_TRUE(test::ReadFile(image) == expected);
  fs::path map = image;
  map += ".map";
  EXPECT_EQ(BadInMap(map), bad);
  EXPECT_LE(disk.Reads().second, bad.size() * 3 / 2);
}

// A card that dies for good in the middle of a copy (every read failing from then on) stops it at once with
// exit code 3, nothing it did not give marked bad; back again, the same command goes on to the whole copy.
TEST(CliImage, ACardThatDiesMidCopyStopsItAndTheSameCommandGoesOnWhenItIsBack) {
  test::ScratchAppData appData;
  test::TempDir dir;
  const fs::path backing = dir.path() / "disk.img";
  test::GunzipFixture("fat/holes16.img.gz", backing);
  std::set<uint64_t> bad = {100, 101, 102, 103, 104, 105, 106, 107, 5000};
  std::vector<uint8_t> expected = test::ReadFile(backing);
  for (uint64_t s : bad) std::fill_n(expected.begin() + static_cast<ptrdiff_t>(s * 512), 512, 0);
  const fs::path image = dir.path() / "rescued.img";
  fs::path map = image;
  map += ".map";
  std::optional<FailingDisk> disk;
  disk.emplace(backing, dir.path() / "mnt", "100-107,5000", 0, 20,
               std::vector<std::string>{"--die-after-bytes", "3145728"});
  if (!disk->Mounted()) GTEST_SKIP() << "FUSE is not available here";
  const std::string command =
      std::string(SNAPSAVE_CLI) + " image " + Quote(disk->Disk()) + " " + Quote(image);
  const CliRun died = Execute(command, /*withErrors=*/true);
  EXPECT_EQ(died.code, 3) << died.out;
  EXPECT_NE(died.out.find("stopped answering"), std::string::npos) << died.out;
  EXPECT_LE(disk->Reads().second, 40u);
  for (uint64_t s : BadInMap(map)) EXPECT_EQ(bad.count(s), 1u) << "a good sector marked bad: " << s;

  disk.reset();
  disk.emplace(backing, dir.path() / "mnt", "100-107,5000", 0);
  ASSERT_TRUE(disk->Mounted());
  const CliRun back = Execute(command);
  EXPECT_EQ(back.code, 4) << back.out;
  EXPECT_TRUE(test::ReadFile(image) == expected);
  EXPECT_EQ(BadInMap(map), bad);
}

// A source that goes away in the middle of a deep scan (its USB cable pulled) ends the scan at once with a
// message that says so, its last checkpoint kept; connected again, the scan goes on to the files of a scan
// run in one go.
TEST(CliDeep, ASourceThatGoesAwayEndsTheScanAndItResumesWhenBack) {
  test::ScratchAppData appData;
  test::TempDir dir;
  const fs::path backing = MakeMixedDisk(dir.path());
  const CliRun once = DeepScan(backing, "--fresh --list");
  ASSERT_EQ(once.code, 0);
  // Pulled out, or dead for good while still attached (every read failing).
  for (const bool pulled : {true, false}) {
    SCOPED_TRACE(pulled ? "pulled" : "dead");
    std::optional<FailingDisk> disk;
    disk.emplace(backing, dir.path() / "mnt", "-", 0, 50,  // some 3 s for the whole disk
                 pulled ? std::vector<std::string>{}
                        : std::vector<std::string>{"--die-after-bytes",
                                                   std::to_string(fs::file_size(backing) * 2 / 5)});
    if (!disk->Mounted()) GTEST_SKIP() << "FUSE is not available here";
    const pid_t pid = Spawn({"scan", disk->Disk().string(), "--fresh", "--checkpoint-mib", "1"},
                            dir.path() / "out", dir.path() / "err");
    ASSERT_GT(pid, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    if (pulled) disk->Pull();
    EXPECT_EQ(WaitExit(pid), 3);
    // Ended within a few failing reads, not by grinding through the rest of the disk.
    if (!pulled) {
      EXPECT_LE(disk->Reads().second, 100u);
    }
    const std::string said = Slurp(dir.path() / "err");
    EXPECT_NE(said.find("in the middle of the scan"), std::string::npos) << said;
    EXPECT_NE(said.find("--resume"), std::string::npos) << said;

    disk.reset();
    disk.emplace(backing, dir.path() / "mnt", "-", 0);
    ASSERT_TRUE(disk->Mounted());
    const auto folders = ScanFolders(appData.path());
    const CliRun resumed = DeepScan(disk->Disk(), "--resume --list");
    ASSERT_EQ(resumed.code, 0);
    EXPECT_EQ(ScanFolders(appData.path()), folders);  // continued, not started afresh
    EXPECT_EQ(SortedLines(resumed.out), SortedLines(once.out));
  }
}

// A deep scan of a failing disk: the pass jumps over the bad areas and reads what it jumped over once more at
// its end; it finishes, names the unreadable stretches, and finds every file that lies outside them.
TEST(CliDeep, AFailingDiskIsScannedAroundItsBadAreas) {
  test::ScratchAppData appData;
  test::TempDir dir;
  // Photos before, between and after the bad areas; one just after a bad area, in what the pass jumps over.
  const std::map<uint64_t, std::string> placed = {
      {100, "photo.jpg"}, {2100, "pic.png"}, {4300, "tone.wav"}, {9500, "photo.jpg"}, {15000, "pic.gif"}};
  const fs::path backing = dir.path() / "raw.img";
  const auto crcs = NoiseWithMedia(backing, 8 << 20, 99, placed);
  std::map<std::string, uint32_t> expected;
  for (const auto& [sector, name] : placed) {
    const std::string category = name == "tone.wav" ? "audio" : "photo";
    expected[category + "/" + std::to_string(sector) + name.substr(name.find('.'))] = crcs.at(sector);
  }
  FailingDisk disk(backing, dir.path() / "mnt", "3000-3999,9400-9420,12000", 0);
  if (!disk.Mounted()) GTEST_SKIP() << "FUSE is not available here";
  const fs::path out = dir.path() / "out";
  const CliRun run =
      Execute(std::string(SNAPSAVE_CLI) + " scan " + Quote(disk.Disk()) + " --recover " + Quote(out), true);
  EXPECT_EQ(run.code, 0) << run.out;
  EXPECT_NE(
      run.out.find("1022 unreadable sectors were skipped, the first at sector 3000; unreadable: 3000-3999, "
                   "9400-9420, 12000"),
      std::string::npos)
      << run.out;
  const auto files = Recovered(out);
  for (const auto& [name, crc] : expected) {
    ASSERT_EQ(files.count(name), 1u) << name << "\n" << run.out;
    EXPECT_EQ(files.at(name), crc) << name;
  }
}
#endif

// The used and free space of a volume nothing has mounted come from its file system's own allocation records,
// as its tools count them (mdir, dumpe2fs, ntfsinfo, dump.exfat gave these figures); what no file system
// describes says "unknown" (null), not "all used".
TEST(Cli, FreeSpaceIsWhatTheFileSystemCounts) {
  test::ScratchAppData appData;
  test::TempDir dir;
  for (const auto& [fixture, free] : {std::pair<const char*, uint64_t>{"fat/fat32.img.gz", 6620672},
                                      {"ntfs/ntfs_small.img.gz", 302 * 4096},
                                      {"ext/card.img.gz", 2792 * 4096},
                                      {"exfat/formatted.img.gz", 3580 * 4096}}) {
    const fs::path image = dir.path() / "v.img";
    test::GunzipFixture(fixture, image);
    const CliRun listed = Execute(std::string(SNAPSAVE_CLI) + " list --json " + Quote(image));
    ASSERT_EQ(listed.code, 0) << fixture;
    const auto lines = JsonLines(listed.out);
    ASSERT_EQ(lines.size(), 1u) << listed.out;
    EXPECT_EQ(lines[0]["freeBytes"], free) << fixture;
    EXPECT_EQ(lines[0]["usedBytes"], lines[0]["totalBytes"].get<uint64_t>() - free) << fixture;
  }
  const fs::path noise = dir.path() / "noise.img";
  test::WriteFile(noise, std::vector<uint8_t>(1 << 20, 0x5A));
  const auto lines = JsonLines(Execute(std::string(SNAPSAVE_CLI) + " list --json " + Quote(noise)).out);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(lines[0]["freeBytes"].is_null());
  EXPECT_TRUE(lines[0]["usedBytes"].is_null());
}

TEST(Cli, SourcesImagesAndTheDiskList) {
  test::ScratchAppData appData;
  test::TempDir dir;
  const CliRun list = Execute(std::string(SNAPSAVE_CLI) + " list --json");
  ASSERT_EQ(list.code, 0);
  for (const auto& j : JsonLines(list.out))
    EXPECT_TRUE(j.contains("id") && j.contains("kind") && j.contains("sectorCount")) << j.dump();
  EXPECT_EQ(Execute(std::string(SNAPSAVE_CLI) + " scan 60000 --list").code, 2);
  EXPECT_EQ(Execute(std::string(SNAPSAVE_CLI) + " scan " + Quote(dir.path() / "none.img")).code, 2);
  EXPECT_EQ(Execute(std::string(SNAPSAVE_CLI) + " scan x.img --resume --fresh").code, 1);

  // An image of an image is the same bytes; an older, longer file there ends at the copied length.
  const fs::path image = dir.path() / "v.img";
  test::GunzipFixture("fat/fat32.img.gz", image);
  const fs::path copy = dir.path() / "copy.img";
  test::WriteFile(copy, std::vector<uint8_t>(fs::file_size(image) + 4096, 0xEE));
  const CliRun imaged = Execute(std::string(SNAPSAVE_CLI) + " image " + Quote(image) + " " + Quote(copy));
  ASSERT_EQ(imaged.code, 0);
  EXPECT_EQ(test::ReadFile(copy), test::ReadFile(image));
  // Writing an image over its own source is refused, and the source stays as it was.
  EXPECT_NE(Execute(std::string(SNAPSAVE_CLI) + " image " + Quote(copy) + " " + Quote(copy)).code, 0);
  EXPECT_EQ(test::ReadFile(copy), test::ReadFile(image));

  // The map beside the image says every byte was rescued; ddrescuelog, where installed, agrees. Run again,
  // the copy finds its map finished and leaves the image as it is.
  fs::path map = copy;
  map += ".map";
  ASSERT_TRUE(fs::exists(map));
  EXPECT_NE(imaged.out.find("rescued "), std::string::npos) << imaged.out;
  EXPECT_NE(imaged.out.find("bad 0 B in 0 areas, not yet read 0 B"), std::string::npos) << imaged.out;
  if (std::system("command -v ddrescuelog >/dev/null 2>&1") == 0) {
    const CliRun summary = Execute("ddrescuelog -t " + Quote(map));
    EXPECT_EQ(summary.code, 0);
    EXPECT_EQ(Execute("ddrescuelog -D " + Quote(map)).code, 0)
        << "ddrescuelog -D: the map says all is rescued";
  }
  const CliRun again =
      Execute(std::string(SNAPSAVE_CLI) + " image " + Quote(image) + " " + Quote(copy) + " --retries 2");
  EXPECT_EQ(again.code, 0) << again.out;
  EXPECT_EQ(test::ReadFile(copy), test::ReadFile(image));
  EXPECT_EQ(
      Execute(std::string(SNAPSAVE_CLI) + " image " + Quote(image) + " " + Quote(copy) + " --retries -1")
          .code,
      1);
}

}  // namespace
}  // namespace snapsave
