// The 32-bit and the 64-bit console program calibrate the bundled sample chain
// (data/OptionsData.txt) to the same parameters. Each program is copied with the chain into a
// temporary folder of its own (it reads the chain from its own folder and writes "ModelIVs.txt"
// into the current one) and run there with the answers "1" (GARCH diffusion) and "0" (speed) on its
// standard input; both run at once, four threads each.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/program_launcher.h"

namespace serivane {

namespace {

// A console program copied with the sample chain into a fresh temporary folder and started there.
class ConsoleRun {
 public:
  // `launcher` goes in front of the program's path in the shell command (the emulator of a
  // 32-bit program, or nothing).
  ConsoleRun(const std::string& program,
             const std::string& answers,
             const std::string& launcher = "") {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "serivane_console_XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    folder_ = pattern;
    const std::filesystem::path copy = folder_ / std::filesystem::path(program).filename();
    std::filesystem::copy_file(program, copy);
    std::filesystem::copy_file(SERIVANE_SAMPLE_CHAIN, folder_ / "OptionsData.txt");
    std::ofstream(folder_ / "answers.txt") << answers;
    const std::string command = "cd '" + folder_.string() + "' && OMP_NUM_THREADS=4 " + launcher +
                                "'" + copy.string() + "' < answers.txt 2>&1";
    pipe_ = popen(command.c_str(), "r");
    if (pipe_ == nullptr) throw std::runtime_error("popen failed");
  }
  ConsoleRun(const ConsoleRun&) = delete;
  ConsoleRun& operator=(const ConsoleRun&) = delete;
  ~ConsoleRun() {
    if (pipe_ != nullptr) pclose(pipe_);
    std::error_code ec;
    std::filesystem::remove_all(folder_, ec);
  }

  // Waits for the program; its exit code (-1 when it did not exit normally).
  int wait() {
    char buffer[4096];
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, pipe_)) > 0) output_.append(buffer, got);
    const int status = pclose(pipe_);
    pipe_ = nullptr;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  const std::string& output() const { return output_; }

  std::string report() const {
    std::ifstream in(folder_ / "ModelIVs.txt");
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

 private:
  std::filesystem::path folder_;
  FILE* pipe_ = nullptr;
  std::string output_;
};

// The numbers of "ModelIVs.txt": the five parameters, then each quote's model implied volatility.
struct Report {
  std::vector<double> parameters;
  std::vector<double> modelIVs;
};

Report readReport(const std::string& text) {
  Report r;
  std::istringstream in(text);
  std::string line;
  const char* labels[5] = {"v0 = \t", "vBar = \t", "kappa =\t", "xi = \t", "rho = \t"};
  bool rows = false;
  while (std::getline(in, line)) {
    for (const char* label : labels) {
      if (line.rfind(label, 0) == 0)
        r.parameters.push_back(std::stod(line.substr(std::string(label).size())));
    }
    if (rows) {
      double T, K, model, market;
      if (std::sscanf(line.c_str(), "%lf\t%lf\t %lf\t%lf", &T, &K, &model, &market) == 4) {
        r.modelIVs.push_back(model);
      }
    }
    if (line.rfind("expiration\tstrike", 0) == 0) rows = true;
  }
  return r;
}

double relativeDifference(double a, double b) { return std::fabs(a - b) / std::fabs(b); }

TEST(Console32And64, CalibrateTheSampleChainToTheSameParameters) {
  // Both at once: the calibration is the longest part of the test.
  ConsoleRun run32(SERIVANE_CONSOLE_PROGRAM, "1\n0\n", SERIVANE_PROGRAM_LAUNCHER);
  ConsoleRun run64(SERIVANE_CONSOLE_PROGRAM_64, "1\n0\n");
  ASSERT_EQ(run32.wait(), 0) << run32.output();
  ASSERT_EQ(run64.wait(), 0) << run64.output();
  const Report r32 = readReport(run32.report());
  const Report r64 = readReport(run64.report());
  ASSERT_EQ(r64.parameters.size(), 5u) << run64.report();
  ASSERT_EQ(r32.parameters.size(), 5u) << run32.report();
  const char* names[5] = {"v0", "vBar", "kappa", "xi", "rho"};
  for (int i = 0; i < 5; ++i) {
    EXPECT_LT(relativeDifference(r32.parameters[i], r64.parameters[i]), 1e-6)
        << names[i] << ": 32-bit " << r32.parameters[i] << ", 64-bit " << r64.parameters[i];
  }
  // The sample chain's 224 quotes, each at the same model implied volatility.
  ASSERT_EQ(r64.modelIVs.size(), 224u);
  ASSERT_EQ(r32.modelIVs.size(), r64.modelIVs.size());
  for (std::size_t i = 0; i < r64.modelIVs.size(); ++i) {
    EXPECT_LT(relativeDifference(r32.modelIVs[i], r64.modelIVs[i]), 1e-6) << "quote " << i;
  }
}

}  // namespace

}  // namespace serivane
