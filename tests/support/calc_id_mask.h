#ifndef SERIVANE_TESTS_SUPPORT_CALC_ID_MASK_H_
#define SERIVANE_TESTS_SUPPORT_CALC_ID_MASK_H_

#include <set>
#include <string>

namespace serivane {

// Replaces the case identifier of the records ("<digits>: " at the start of a line and
// "(calcID <digits>)"), a clock reading, by "<calcID>"; sets `oneId` false when they differ.
inline std::string maskCalcIds(const std::string& log, bool& oneId) {
  std::set<std::string> ids;
  std::string out;
  const auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
  const std::string marker = "(calcID ";
  std::string::size_type i = 0;
  bool lineStart = true;
  while (i < log.size()) {
    std::string::size_type j = i;
    if (lineStart) {
      while (j < log.size() && isDigit(log[j])) ++j;
      if (j > i && log.compare(j, 2, ": ") == 0) {
        ids.insert(log.substr(i, j - i));
        out += "<calcID>";
        i = j;
      }
    }
    if (log.compare(i, marker.size(), marker) == 0) {
      j = i + marker.size();
      std::string::size_type k = j;
      while (k < log.size() && isDigit(log[k])) ++k;
      if (k > j && k < log.size() && log[k] == ')') {
        ids.insert(log.substr(j, k - j));
        out += marker + "<calcID>";
        i = k;
      }
    }
    lineStart = log[i] == '\n';
    out += log[i++];
  }
  oneId = ids.size() <= 1;
  return out;
}

}  // namespace serivane

#endif  // SERIVANE_TESTS_SUPPORT_CALC_ID_MASK_H_
