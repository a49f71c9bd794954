// DetectType per 512-byte sector: random sectors (what a deep scan sees almost always) and sectors that start
// each known header. The baseline runs every row's test in table order on the same sectors.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <string_view>
#include <vector>

#include "filetypes/carving_context.h"
#include "filetypes/file_type_catalogue.h"
#include "os/byte_reader.h"

namespace {

using snapsave::ByteSpan;
using Sector = std::vector<uint8_t>;
using namespace std::literals;

constexpr size_t kSectorBytes = 512;

std::vector<Sector> RandomSectors() {
  std::mt19937_64 rng(42);
  std::vector<Sector> sectors(4096, Sector(kSectorBytes));
  for (auto& s : sectors) {
    for (auto& b : s) b = static_cast<uint8_t>(rng());
  }
  return sectors;
}

Sector With(std::initializer_list<std::pair<size_t, std::string_view>> parts) {
  Sector s(kSectorBytes, 0);
  for (const auto& [off, bytes] : parts) std::memcpy(s.data() + off, bytes.data(), bytes.size());
  return s;
}

struct Header {
  const char* name;
  Sector sector;
};

// One sector per header test that the test accepts without reading further sectors. (With no sector source
// the transport-stream and Office tests stop at their first read.)
std::vector<Header> HeaderSectors() {
  Sector ts(kSectorBytes, 0);
  for (size_t p = 0; p < kSectorBytes; p += 188) ts[p] = 0x47, ts[p + 1] = 1;
  Sector ico = With({{0, "\0\0\1\0\1\0\x10\x10"sv}, {14, "\x40\0\0\0\x16\0\0\0"sv}});
  Sector exe = With({{0, "MZ"sv}, {60, "\x40\0\0\0"sv}, {64, "PE\0\0"sv}, {86, "\x22\0"sv}});
  return {
      {"mpeg", With({{0, "\0\0\1\xBA"sv}, {14, "\0\0\1\xBB"sv}})},
      {"mp4", With({{4, "ftypisom"sv}})},
      {"rm", With({{0, ".RMF"sv}})},
      {"wmv", With({{0, "\x30\x26\xB2\x75\x8E\x66\xCF\x11\xA6\xD9\x00\xAA\x00\x62\xCE\x6C"sv}})},
      {"swf", With({{0, "FWS\x04"sv}})},
      {"avi", With({{0, "RIFF"sv}, {8, "AVI LIST"sv}})},
      {"flv", With({{0, "FLV\x01\x05\0\0\0\x09"sv}})},
      {"3gp", With({{4, "ftyp3gp4"sv}})},
      {"mkv", With({{0, "\x1A\x45\xDF\xA3"sv}})},
      {"ts (no source)", ts},
      {"mts", With({{8, "\0\0\xB0\x11\0\0\xC1\0"sv}})},
      {"mxf", With({{0, "\x06\x0E\x2B\x34\x02\x05\x01\x01\x0D\x01\x02\x01\x01\x02\x04\x00"sv}})},
      {"mp3", With({{0, "ID3\x04\0\0\0\0\0\0"sv}})},
      {"mid", With({{0, "MThd\0\0\0\x06"sv}, {14, "MTrk"sv}})},
      {"ape", With({{0, "MAC "sv}})},
      {"wav", With({{0, "RIFF"sv}, {8, "WAVEfmt "sv}})},
      {"mov", With({{4, "moov"sv}})},
      {"mp2", With({{0, "\xFF\xFD\xE4\x00"sv}})},
      {"mmf", With({{0, "MMMD"sv}})},
      {"fla", With({{0, "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1"sv}})},
      {"gif", With({{0, "GIF89a"sv}})},
      {"bmp", With({{0, "BM"sv}, {14, "\x28"sv}})},
      {"jpg", With({{0, "\xFF\xD8\xFF\xE0\0\x10JFIF"sv}})},
      {"png", With({{0, "\x89PNG\r\n\x1A\n"sv}})},
      {"psd", With({{0, "8BPS"sv}})},
      {"tif", With({{0, "II*\0"sv}})},
      {"ico", ico},
      {"zip (no source)", With({{0, "PK\3\4"sv}, {30, "a.txt"sv}})},
      {"pdf", With({{0, "%PDF-1.4"sv}})},
      {"gz", With({{0, "\x1F\x8B\x08\0\0\0\0\0\x02\x03"sv}})},
      {"7z", With({{0, "7z\xBC\xAF\x27\x1C"sv}})},
      {"rar", With({{0, "Rar!\x1A\x07\0"sv}})},
      {"cab", With({{0, "MSCF"sv}})},
      {"exe", exe},
      {"gho", With({{0, "\xFE\xEF\0\0"sv}})},
      {"db", With({{0, "SQLite format 3\0"sv}})},
      {"dbx", With({{0, "\xCF\xAD\x12\xFE"sv}})},
      {"pst", With({{0, "!BDN"sv}, {8, "SM"sv}})},
      {"ttf", With({{0, "\0\1\0\0\0\1\0\1\0\1\0\1"sv}, {28, "\0\1\0\0"sv}})},
  };
}

template <uint32_t (*Detect)(const snapsave::CarvingContext&, std::span<const uint8_t>)>
void RandomSectorsBench(benchmark::State& state) {
  const snapsave::CarvingContext ctx;
  const auto sectors = RandomSectors();
  size_t i = 0;
  uint64_t hits = 0;
  for (auto _ : state) {
    hits += Detect(ctx, sectors[i]) != snapsave::kNoType;
    i = (i + 1) % sectors.size();
  }
  benchmark::DoNotOptimize(hits);
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kSectorBytes));
  state.counters["hits"] = static_cast<double>(hits);
}
BENCHMARK(RandomSectorsBench<snapsave::DetectType>)->Name("DetectType/random");
BENCHMARK(RandomSectorsBench<snapsave::DetectTypeSequential>)->Name("Sequential/random");

template <uint32_t (*Detect)(const snapsave::CarvingContext&, std::span<const uint8_t>)>
void HeaderSectorBench(benchmark::State& state) {
  const snapsave::CarvingContext ctx;
  const auto headers = HeaderSectors();
  const auto& h = headers[static_cast<size_t>(state.range(0))];
  const uint32_t expected = snapsave::DetectTypeSequential(ctx, h.sector);
  uint32_t got = 0;
  for (auto _ : state) {
    got = Detect(ctx, h.sector);
    benchmark::DoNotOptimize(got);
  }
  state.SetLabel(std::string(h.name) + " -> " + std::to_string(got));
  if (got != expected) state.SkipWithError("differs from the table-order result");
}
BENCHMARK(HeaderSectorBench<snapsave::DetectType>)->Name("DetectType/header")->DenseRange(0, 38);
BENCHMARK(HeaderSectorBench<snapsave::DetectTypeSequential>)->Name("Sequential/header")->DenseRange(0, 38);

}  // namespace

BENCHMARK_MAIN();
