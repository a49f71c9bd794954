// The file list with 100,000 and 1,000,000 found files of one type, under the results page's header (so that
// the size and date columns are fitted to their texts as in the program): filling it, sorting it by size and
// filtering the records by name and size as a keystroke in the find field does (goal: under 500 ms each). A
// plain vector sort of the same records is the baseline, measured in the same run.
#include <QApplication>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <random>

#include "app/result_views.h"
#include "catalog/record_filter.h"
#include "ui/list.h"

namespace {

using namespace snapsave;

RecordList MakeRecords(size_t n) {
  std::mt19937_64 rng(7);
  RecordList records;
  records.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    FoundFileRecord r = MakeEmptyRecord();
    r.SetName("IMG_" + std::to_string(rng() % 1000000) + ".JPG");
    r.fileSize = rng() % (64u << 20);
    r.writeTime = 132000000000000000ull + rng() % 10000000000000ull;
    r.creationTime = r.writeTime;
    r.isIntact = (i % 7) != 0 ? 1 : 0;
    r.recordId = static_cast<uint32_t>(i + 1);
    records.push_back(r);
  }
  return records;
}

// The results page's columns: the check box, name, size, modified, created, path, type.
void AddHeader(app::CListExUI& list) {
  auto* header = new ui::CListHeaderUI(&list);
  for (const char* name : {"ChkSel", "FileName", "Size", "ModifiedTime", "CreatedTime", "Path", "Type"}) {
    auto* item = new ui::CListHeaderItemUI(header);
    item->SetName(QString::fromLatin1(name));
    item->SetText(QString::fromLatin1(name));
    header->Add(item);
  }
  list.SetHeader(header);
}

// As the results page hands them over: shared, not copied.
void BM_FillFileList(benchmark::State& state) {
  const app::SharedRecords records =
      std::make_shared<const RecordList>(MakeRecords(static_cast<size_t>(state.range(0))));
  app::CListExUI list;
  AddHeader(list);
  for (auto _ : state) benchmark::DoNotOptimize(list.Fill(records, {}));
}
BENCHMARK(BM_FillFileList)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);

// A header click on `column` of a freshly filled list.
void BM_SortFileList(benchmark::State& state, const char* column) {
  const app::SharedRecords records =
      std::make_shared<const RecordList>(MakeRecords(static_cast<size_t>(state.range(0))));
  app::CListExUI list;
  AddHeader(list);
  for (auto _ : state) {
    state.PauseTiming();
    list.Fill(records, {});
    state.ResumeTiming();
    list.SortByHeader(QString::fromLatin1(column));
  }
}
BENCHMARK_CAPTURE(BM_SortFileList, BySize, "Size")->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_SortFileList, ByName, "FileName")
    ->Arg(100000)
    ->Arg(1000000)
    ->Unit(benchmark::kMillisecond);

// What the results keep of each type after a keystroke: every record matched against a name pattern with
// stars and a size range (about half pass, so that keeping them is measured too).
void BM_FilterRecords(benchmark::State& state) {
  const RecordList records = MakeRecords(static_cast<size_t>(state.range(0)));
  RecordFilter filter;
  filter.name = "img_*7*.jpg";
  filter.minSize = 1 << 20;
  size_t kept = 0;
  for (auto _ : state) {
    RecordList shown;
    for (const FoundFileRecord& r : records)
      if (filter.Matches(r)) shown.push_back(r);
    kept = shown.size();
    benchmark::DoNotOptimize(shown.data());
  }
  state.counters["kept"] = static_cast<double>(kept);
}
BENCHMARK(BM_FilterRecords)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);

void BM_BaselineVectorSortBySize(benchmark::State& state) {
  const RecordList records = MakeRecords(static_cast<size_t>(state.range(0)));
  for (auto _ : state) {
    state.PauseTiming();
    RecordList copy = records;
    state.ResumeTiming();
    std::stable_sort(copy.begin(), copy.end(), [](const FoundFileRecord& a, const FoundFileRecord& b) {
      return a.fileSize > b.fileSize;
    });
    benchmark::DoNotOptimize(copy.data());
  }
}
BENCHMARK(BM_BaselineVectorSortBySize)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  return 0;
}
