// The NAND support list is read anew for every model the operator picks: the cost of opening
// the shipped workbook, and of a whole lookup that fills the geometry fields.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <string>
#include <unistd.h>

#include "foundation/station_state.h"
#include "foundation/work_paths.h"
#include "package/nand_support_list.h"
#include "platform/spreadsheet.h"

namespace {

namespace fs = std::filesystem;

const std::string& ListPath() {
  static const std::string path =
      (fs::path(__FILE__).parent_path().parent_path() / "resources/Tempfile/nand_flash_support_list.xlsx").string();
  return path;
}

void BM_OpenWorkbook(benchmark::State& state) {
  for (auto _ : state) {
    auto book = plat::Workbook::Open(ListPath());
    if (!book) state.SkipWithError("the shipped list does not open");
    benchmark::DoNotOptimize(book);
  }
}

void BM_LookupByName(benchmark::State& state) {
  const fs::path home = fs::temp_directory_path() / ("nandbench-" + std::to_string(::getpid()));
  fs::create_directories(home / "Tempfile");
  fs::copy_file(ListPath(), home / "Tempfile/nand_flash_support_list.xlsx", fs::copy_options::overwrite_existing);
  station::SetAppDir(home.string());
  {
    station::ScopedStation st;
    for (auto _ : state)
      if (!station::SetupNandFlashSpec(-1, "MT29F64G08CBABA")) state.SkipWithError("lookup failed");
  }
  station::SetAppDir("");
  fs::remove_all(home);
}

BENCHMARK(BM_OpenWorkbook);
BENCHMARK(BM_LookupByName);

}  // namespace

BENCHMARK_MAIN();
