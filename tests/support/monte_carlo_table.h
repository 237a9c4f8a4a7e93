#ifndef SERIVANE_TESTS_SUPPORT_MONTE_CARLO_TABLE_H_
#define SERIVANE_TESTS_SUPPORT_MONTE_CARLO_TABLE_H_

// The Monte Carlo reference tables of tests/data/monte_carlo/ (written by tools/mc_reference.cpp):
// '#' comment lines, a header line naming the columns, then one row per option. Columns are found
// by name, so a table may carry more of them, in any order.

#include <cmath>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace serivane {

namespace monte_carlo {

// One option of a table: market data, model parameters (dv = kappa (vBar - v) dt + xi v^p dW2),
// and the Monte Carlo price and implied volatility with their standard errors.
struct Row {
  double S, K, T, r, d;
  int put;
  double v0, vBar, kappa, xi, rho, p;
  double price, se, iv, ivSe;
  double days;
};

// The rows of the table at path; throws std::runtime_error when the file cannot be read, lacks a
// column or holds a malformed row.
inline std::vector<Row> loadTable(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw std::runtime_error("cannot open " + path);
  std::string line;
  std::map<std::string, std::size_t> column;
  std::vector<Row> rows;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream ls(line);
    std::vector<std::string> fields;
    for (std::string f; ls >> f;) fields.push_back(f);
    if (fields.empty()) continue;
    if (column.empty()) {
      for (std::size_t i = 0; i < fields.size(); ++i) column[fields[i]] = i;
      continue;
    }
    auto get = [&](const char* name) {
      const auto it = column.find(name);
      if (it == column.end()) throw std::runtime_error(path + ": no column " + name);
      if (it->second >= fields.size()) throw std::runtime_error(path + ": short row: " + line);
      std::size_t used = 0;
      const double x = std::stod(fields[it->second], &used);
      if (used != fields[it->second].size())
        throw std::runtime_error(path + ": bad field: " + line);
      return x;
    };
    Row r{};
    r.S = get("S");
    r.K = get("K");
    r.T = get("T");
    r.r = get("r");
    r.d = get("d");
    r.put = static_cast<int>(get("put"));
    r.v0 = get("v0");
    r.vBar = get("vBar");
    r.kappa = get("kappa");
    r.xi = get("xi");
    r.rho = get("rho");
    r.p = get("p");
    r.price = get("price");
    r.se = get("se");
    r.iv = get("iv");
    r.ivSe = get("iv_se");
    r.days = get("days");
    rows.push_back(r);
  }
  if (column.empty()) throw std::runtime_error(path + ": no header line");
  return rows;
}

// The rows of one parameter set (all expiries), in table order: those with the given v0, vBar,
// kappa, xi, rho and p.
inline std::vector<Row> parameterSet(const std::vector<Row>& rows,
                                     double v0,
                                     double vBar,
                                     double kappa,
                                     double xi,
                                     double rho,
                                     double p) {
  std::vector<Row> out;
  for (const Row& r : rows)
    if (r.v0 == v0 && r.vBar == vBar && r.kappa == kappa && r.xi == xi && r.rho == rho && r.p == p)
      out.push_back(r);
  return out;
}

// The tolerance of a comparison with a table row: 0.5 bp of implied volatility (the calibration's
// accuracy goal) plus four Monte Carlo standard errors.
inline constexpr double kToleranceIV = 0.5e-4;
inline double allowedError(const Row& r) { return kToleranceIV + 4.0 * r.ivSe; }

}  // namespace monte_carlo

}  // namespace serivane

#endif  // SERIVANE_TESTS_SUPPORT_MONTE_CARLO_TABLE_H_
