// Load and save of a large Wine registry file, side by side with `wc -l` over the same
// file, and the peak memory of a load, and of a save of a file made of one huge value line,
// as a share of the file's size.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "platform/RegistryStore.h"
#include "platform/TRegistry.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// A prefix whose system.reg is about `megabytes` MB of keys shaped like a real one's.
const fs::path& LargePrefix() {
  static fs::path dir = [] {
    const char* env = std::getenv("KESTROVE_BENCH_HIVE_MB");
    const std::size_t megabytes = env ? std::strtoul(env, nullptr, 10) : 100;
    fs::path d = fs::temp_directory_path() / ("kestrove-bench-hive-" + std::to_string(megabytes));
    if (fs::exists(d / "system.reg") && fs::file_size(d / "system.reg") >= megabytes * 1000000) return d;
    fs::create_directories(d / "drive_c");
    std::ofstream out(d / "system.reg", std::ios::binary);
    out << "WINE REGISTRY Version 2\n;; All keys relative to REGISTRY\\\\Machine\n\n#arch=win64\n";
    std::mt19937 rng(7);
    char line[512];
    std::size_t written = 0;
    for (unsigned vendor = 0; written < megabytes * 1000000; ++vendor) {
      for (unsigned app = 0; app < 50 && written < megabytes * 1000000; ++app) {
        for (unsigned k = 0; k < 20; ++k) {
          int n = std::snprintf(line, sizeof line,
                                "\n[Software\\\\Vendor%05u\\\\Application %02u\\\\Settings\\\\Group%02u] 1796628164\n"
                                "#time=1dd861bc07068c2\n",
                                vendor, app, k);
          out.write(line, n);
          written += static_cast<std::size_t>(n);
          n = std::snprintf(line, sizeof line,
                            "@=\"Default value %u\"\n\"InstallPath\"=\"C:\\\\Program Files\\\\Vendor%05u\\\\App%02u\\\\bin\\\\app%u.exe\"\n"
                            "\"Flags\"=dword:%08x\n\"Path\"=str(2):\"%%ProgramFiles%%\\\\Vendor%05u\\\\data\"\n",
                            k, vendor, app, k, static_cast<unsigned>(rng()), vendor);
          out.write(line, n);
          written += static_cast<std::size_t>(n);
          if (k % 4 == 0) {
            std::string hex = "\"Blob\"=hex:";
            std::size_t count = hex.size();
            for (int b = 0; b < 48; ++b) {
              char byte[4];
              std::snprintf(byte, sizeof byte, "%02x", static_cast<unsigned>(rng() & 0xFF));
              hex += byte;
              count += 2;
              if (b < 47) {
                hex += ',';
                if (++count > 76) {
                  hex += "\\\n  ";
                  count = 2;
                }
              }
            }
            hex += '\n';
            out << hex;
            written += hex.size();
          }
        }
      }
    }
    out.close();
    std::ofstream(d / "user.reg") << "WINE REGISTRY Version 2\n;; All keys relative to REGISTRY\\\\User\\\\S-1-5-21-0-0-0-1000\n\n#arch=win64\n";
    return d;
  }();
  return dir;
}

double SecondsOf(const std::function<void()>& f) {
  auto t0 = Clock::now();
  f();
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

double WcSeconds(const fs::path& file) {
  std::string cmd = "wc -l '" + file.string() + "' > /dev/null";
  return SecondsOf([&] {
    if (std::system(cmd.c_str()) != 0) std::abort();
  });
}

void BM_LoadHiveVsWc(benchmark::State& state) {
  const fs::path& prefix = LargePrefix();
  const double mb = static_cast<double>(fs::file_size(prefix / "system.reg")) / 1e6;
  WcSeconds(prefix / "system.reg");  // warm the page cache
  double load = 0, wc = 0;
  for (auto _ : state) {
    wc += WcSeconds(prefix / "system.reg");
    double t = SecondsOf([&] { benchmark::DoNotOptimize(kestrove::RegistryStore::OpenWinePrefix(prefix)); });
    load += t;
    state.SetIterationTime(t);
  }
  state.counters["file_MB"] = mb;
  state.counters["load_s"] = load / static_cast<double>(state.iterations());
  state.counters["wc_l_s"] = wc / static_cast<double>(state.iterations());
  state.counters["load_over_wc"] = load / wc;
}
BENCHMARK(BM_LoadHiveVsWc)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

// One value changed, then the whole file written back (untouched keys are copied).
void BM_SaveHiveVsWc(benchmark::State& state) {
  const fs::path& prefix = LargePrefix();
  const fs::path copy = prefix.string() + "-save";
  fs::remove_all(copy);
  fs::create_directories(copy / "drive_c");
  fs::copy_file(prefix / "system.reg", copy / "system.reg");
  fs::copy_file(prefix / "user.reg", copy / "user.reg");
  auto store = std::shared_ptr<kestrove::RegistryStore>(kestrove::RegistryStore::OpenWinePrefix(copy));
  kestrove::TRegistry reg(store);
  reg.SetRootKey(kestrove::HKEY_LOCAL_MACHINE);
  reg.OpenKey("Software\\Vendor00000\\Application 00\\Settings\\Group00", false);
  double save = 0, wc = 0;
  int i = 0;
  for (auto _ : state) {
    wc += WcSeconds(copy / "system.reg");
    reg.WriteInteger("Counter", ++i);
    double t = SecondsOf([&] { store->Commit(); });
    save += t;
    state.SetIterationTime(t);
  }
  state.counters["save_s"] = save / static_cast<double>(state.iterations());
  state.counters["wc_l_s"] = wc / static_cast<double>(state.iterations());
  state.counters["save_over_wc"] = save / wc;
  fs::remove_all(copy);
}
BENCHMARK(BM_SaveHiveVsWc)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

long StatusKb(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind(field, 0) == 0) return std::strtol(line.c_str() + std::strlen(field), nullptr, 10);
  return 0;
}

// Peak memory of a load: the high-water mark is reset first, so only the load counts.
void BM_LoadPeakMemory(benchmark::State& state) {
  const fs::path& prefix = LargePrefix();
  const double size = static_cast<double>(fs::file_size(prefix / "system.reg"));
  double ratio = 0;
  for (auto _ : state) {
    ::malloc_trim(0);  // memory freed by earlier benchmarks must not hide this one's
    std::ofstream("/proc/self/clear_refs") << "5";
    const long base = StatusKb("VmRSS:");
    {
      auto store = kestrove::RegistryStore::OpenWinePrefix(prefix);
      benchmark::DoNotOptimize(store);
      ratio = static_cast<double>(StatusKb("VmHWM:") - base) * 1024.0 / size;
    }
  }
  state.counters["peak_over_file_size"] = ratio;
}
BENCHMARK(BM_LoadPeakMemory)->Iterations(1)->Unit(benchmark::kMillisecond);

// Peak memory of a load and a save of a user.reg that is mostly one huge value line (as big
// as KESTROVE_BENCH_HIVE_MB), with one small key changed: the huge key is written back from
// the file's text, so the peak stays a small multiple of the file, however long the line.
void BM_SaveHugeValuePeakMemory(benchmark::State& state) {
  const char* env = std::getenv("KESTROVE_BENCH_HIVE_MB");
  const std::size_t megabytes = env ? std::strtoul(env, nullptr, 10) : 100;
  const fs::path dir = fs::temp_directory_path() / ("kestrove-bench-huge-value-" + std::to_string(megabytes));
  double ratio = 0;
  for (auto _ : state) {
    state.PauseTiming();
    fs::remove_all(dir);
    fs::create_directories(dir / "drive_c");
    {
      std::ofstream out(dir / "user.reg", std::ios::binary);
      out << "WINE REGISTRY Version 2\n;; All keys relative to REGISTRY\\\\User\\\\S-1-5-21-0-0-0-1000\n\n#arch=win64\n"
          << "\n[Software\\\\Big] 1796628164\n#time=1dd861bc07068c2\n\"Huge\"=\"";
      const std::string chunk(1 << 20, 'x');
      for (std::size_t i = 0; i < megabytes; ++i) out << chunk;
      out << "\"\n\n[Software\\\\Small] 1796628164\n#time=1dd861bc07068c2\n\"n\"=dword:00000001\n";
    }
    const double size = static_cast<double>(fs::file_size(dir / "user.reg"));
    ::malloc_trim(0);
    std::ofstream("/proc/self/clear_refs") << "5";
    const long base = StatusKb("VmRSS:");
    state.ResumeTiming();
    {
      auto store = kestrove::RegistryStore::OpenWinePrefix(dir);
      store->SetValue(kestrove::HKEY_CURRENT_USER, "Software\\Small", "n", kestrove::REG_DWORD, {2, 0, 0, 0});
      store->Commit();
      ratio = static_cast<double>(StatusKb("VmHWM:") - base) * 1024.0 / size;
    }
  }
  state.counters["peak_over_file_size"] = ratio;
  fs::remove_all(dir);
}
BENCHMARK(BM_SaveHugeValuePeakMemory)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

