// kestrove-cli end to end, whole processes, each beside its reference, run in turn in every
// iteration (so that a busy machine weighs on both alike); the figures are medians:
//  - reg add on a large system.reg (load, change, save) against cp + sync of the file;
//  - reg query (the load) against wc -l of the file;
//  - scan of string values naming files, half of them present, against the load plus one
//    stat of every distinct file. The load is `info`, which opens the target and reads its
//    whole registry, as the scan must (a reg query reads only the key it is about).
// Sizes: KESTROVE_BENCH_CLI_REG_MB (100), KESTROVE_BENCH_CLI_SCAN_VALUES (500,000, naming a
// fifth as many files). kestrove-cli is taken from beside this program.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;

std::size_t EnvSize(const char* name, std::size_t fallback) {
  const char* v = std::getenv(name);
  return v ? std::strtoul(v, nullptr, 10) : fallback;
}

fs::path Cli() {
  static const fs::path cli = [] {
    // Settings of its own: the developer's stored selection and lists play no part.
    const fs::path home = fs::temp_directory_path() / "kestrove-bench-cli-home";
    fs::create_directories(home);
    ::setenv("KESTROVE_HOME", home.c_str(), 1);
    return fs::read_symlink("/proc/self/exe").parent_path() / "kestrove-cli";
  }();
  return cli;
}

struct TRun {
  double seconds = 0;
  double peakMiB = 0;
};

// One whole process; its output goes nowhere.
TRun Run(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  const auto t0 = std::chrono::steady_clock::now();
  pid_t pid = 0;
  if (posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ) != 0) std::abort();
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  rusage usage{};
  if (::wait4(pid, &status, 0, &usage) != pid) std::abort();
  TRun r;
  r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  r.peakMiB = static_cast<double>(usage.ru_maxrss) / 1024.0;
  if (!WIFEXITED(status) || WEXITSTATUS(status) > 1) {
    std::fprintf(stderr, "failed: %s\n", argv[0].c_str());
    std::abort();
  }
  return r;
}

TRun Shell(const std::string& cmd) { return Run({"/bin/sh", "-c", cmd}); }

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : (v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2);
}

std::string Q(const fs::path& p) { return "'" + p.string() + "'"; }

// A sample prefix with `extra` appended to its system.reg.
fs::path MakePrefix(const std::string& name, const std::function<void(std::ofstream&, const fs::path&)>& extra) {
  const fs::path dir = fs::temp_directory_path() / name;
  if (fs::exists(dir / ".complete")) return dir;
  fs::remove_all(dir);
  Run({Cli().string(), "sample", dir.string()});
  {
    std::ofstream out(dir / "system.reg", std::ios::binary | std::ios::app);
    extra(out, dir);
  }
  std::ofstream(dir / ".complete") << "";
  return dir;
}

const fs::path& RegPrefix() {
  static const fs::path dir = [] {
    const std::size_t mb = EnvSize("KESTROVE_BENCH_CLI_REG_MB", 100);
    return MakePrefix("kestrove-bench-cli-reg-" + std::to_string(mb), [mb](std::ofstream& out, const fs::path&) {
      char buf[512];
      std::size_t written = 0;
      for (unsigned vendor = 0; written < mb * 1048576; ++vendor)
        for (unsigned app = 0; app < 50; ++app)
          for (unsigned k = 0; k < 20; ++k) {
            const int n = std::snprintf(
                buf, sizeof buf,
                "\n[Software\\\\Vendor%05u\\\\Application %02u\\\\Settings\\\\Group%02u] 1796628164\n"
                "#time=1dd861bc07068c2\n@=\"Default value %u\"\n"
                "\"InstallPath\"=\"C:\\\\Program Files\\\\Vendor%05u\\\\App%02u\\\\bin\\\\app%u.exe\"\n"
                "\"Flags\"=dword:%08x\n\"Path\"=str(2):\"%%ProgramFiles%%\\\\Vendor%05u\\\\data\"\n",
                vendor, app, k, k, vendor, app, k, vendor * 7919u + k, vendor);
            out.write(buf, n);
            written += static_cast<std::size_t>(n);
          }
    });
  }();
  return dir;
}

struct TScanPrefix {
  fs::path dir;
  fs::path pathList;  // one host path per line, for the stat floor
};

const TScanPrefix& ScanPrefix() {
  static const TScanPrefix prefix = [] {
    const std::size_t values = EnvSize("KESTROVE_BENCH_CLI_SCAN_VALUES", 500000);
    const std::size_t distinct = std::max<std::size_t>(1, values / 5);
    TScanPrefix p;
    p.dir = MakePrefix("kestrove-bench-cli-scan-" + std::to_string(values), [&](std::ofstream& out, const fs::path& dir) {
      char buf[160];
      for (std::size_t i = 0; i < values; ++i) {
        if (i % 1000 == 0) out << "\n[Software\\\\Bench\\\\K" << i / 1000 << "] 1796628164\n#time=1dd861bc07068c2\n";
        const std::size_t j = i % distinct;
        const int n = std::snprintf(buf, sizeof buf, "\"Value%zu\"=\"C:\\\\bench\\\\folder%03zu\\\\file%06zu.dll\"\n", i % 1000,
                                    j / 1000, j);
        out.write(buf, n);
      }
      std::ofstream list(dir / "paths.txt");
      for (std::size_t j = 0; j < distinct; ++j) {
        char sub[24], name[32];
        std::snprintf(sub, sizeof sub, "folder%03zu", j / 1000);
        std::snprintf(name, sizeof name, "file%06zu.dll", j);
        const fs::path folder = dir / "drive_c" / "bench" / sub;
        if (j % 1000 == 0) fs::create_directories(folder);
        if (j % 2 == 0) std::ofstream(folder / name) << 'M';
        list << (folder / name).string() << '\n';
      }
    });
    p.pathList = p.dir / "paths.txt";
    return p;
  }();
  return prefix;
}

// Runs `ours` and the references in turn, `iterations` times, and reports medians. An
// argument "{n}" of ours is a new number each time (a value set to what it holds already is
// not written, so a save would be measured only once).
void Compare(benchmark::State& state, const std::vector<std::string>& ours, const std::vector<std::string>& references,
             const fs::path& sizeOf) {
  std::vector<double> mine, theirs, peak;
  for (auto _ : state) {
    double ref = 0;
    for (const std::string& r : references) ref += Shell(r).seconds;
    std::vector<std::string> args = ours;
    for (std::string& a : args)
      if (a == "{n}") a = std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
    const TRun run = Run(args);
    mine.push_back(run.seconds);
    theirs.push_back(ref);
    peak.push_back(run.peakMiB);
    state.SetIterationTime(run.seconds);
  }
  state.counters["ours_s"] = Median(mine);
  state.counters["reference_s"] = Median(theirs);
  state.counters["time_over_reference"] = Median(mine) / Median(theirs);
  state.counters["peak_MiB"] = Median(peak);
  state.counters["peak_over_file"] = Median(peak) * 1048576.0 / static_cast<double>(fs::file_size(sizeOf));
}

void BM_CliRegAddVsCpSync(benchmark::State& state) {
  const fs::path& dir = RegPrefix();
  const fs::path copy = dir.string() + "-copy.reg";
  Compare(state,
          {Cli().string(), "--root", dir.string(), "reg", "add", "HKLM\\Software\\Bench", "/v", "Counter", "/d", "{n}", "/f"},
          {"cp " + Q(dir / "system.reg") + " " + Q(copy) + " && sync " + Q(copy)}, dir / "system.reg");
  fs::remove(copy);
}
BENCHMARK(BM_CliRegAddVsCpSync)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);

void BM_CliRegQueryVsWc(benchmark::State& state) {
  const fs::path& dir = RegPrefix();
  Compare(state,
          {Cli().string(), "--root", dir.string(), "reg", "query",
           "HKLM\\Software\\Vendor00000\\Application 00\\Settings\\Group00"},
          {"wc -l " + Q(dir / "system.reg") + " > /dev/null"}, dir / "system.reg");
}
BENCHMARK(BM_CliRegQueryVsWc)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);

void BM_CliScanVsLoadAndStat(benchmark::State& state) {
  const TScanPrefix& p = ScanPrefix();
  const std::string cli = Q(Cli());
  Compare(state, {Cli().string(), "--root", p.dir.string(), "scan", "1"},
          {cli + " --root " + Q(p.dir) + " info > /dev/null",
           "perl -ne 'chomp; stat $_' " + Q(p.pathList)},
          p.dir / "system.reg");
}
BENCHMARK(BM_CliScanVsLoadAndStat)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);

}  // namespace
