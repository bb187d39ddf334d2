// The rows, field tables and blocks of the test data files under tests/data.
// In all, lines starting with '#' and blank lines are skipped, \r, \n and \xHH
// stand for those bytes, and {N*TEXT} for TEXT N times.
#ifndef RTSPPULL_TESTS_SUPPORT_DATA_ROWS_H_
#define RTSPPULL_TESTS_SUPPORT_DATA_ROWS_H_

#include <algorithm>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace rtsptest {

inline std::string unescape(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text.compare(i, 2, "\\x") == 0) {
      out += static_cast<char>(std::stoi(text.substr(i + 2, 2), nullptr, 16));
      i += 3;
    } else if (text.compare(i, 2, "\\r") == 0 || text.compare(i, 2, "\\n") == 0) {
      out += text[++i] == 'r' ? '\r' : '\n';
    } else {
      out += text[i];
    }
  }
  return out;
}

inline std::string expand(std::string text) {
  for (std::string::size_type at = 0; (at = text.find('{', at)) != std::string::npos; ++at) {
    const std::string::size_type star = text.find_first_not_of("0123456789", at + 1);
    const std::string::size_type end = text.find('}', star);
    if (star == at + 1 || end == std::string::npos || text[star] != '*') continue;
    std::string out;
    for (int n = std::stoi(text.substr(at + 1, star - at - 1)); n > 0; --n)
      out += text.substr(star + 1, end - star - 1);
    text.replace(at, end - at + 1, out);
    at += out.size() - 1;
  }
  return text;
}

// `text` cut at every `separator`.
inline std::vector<std::string> split(const std::string& text, const std::string& separator) {
  std::vector<std::string> parts;
  std::string::size_type from = 0;
  for (std::string::size_type at; (at = text.find(separator, from)) != std::string::npos;
       from = at + separator.size())
    parts.push_back(text.substr(from, at - from));
  parts.push_back(text.substr(from));
  return parts;
}

struct DataRow {
  std::string where;  // "<file>:<line>", for the failure messages
  std::string function, input, output;
};

// The lines of tests/data/`file` that are neither blank nor comments, each
// with its "<file>:<line>". Throws when the file is missing.
inline std::vector<std::pair<std::string, std::string>> dataLines(const std::string& file) {
  std::ifstream in(std::string(RTSPPULL_TEST_DATA) + "/" + file);
  if (!in) throw std::runtime_error("cannot read " + file);
  std::vector<std::pair<std::string, std::string>> lines;
  std::string line;
  for (int number = 1; std::getline(in, line); ++number)
    if (!line.empty() && line[0] != '#')
      lines.emplace_back(file + ":" + std::to_string(number), line);
  return lines;
}

// One "function input => output" a line: the function a word, then one
// space, then the input exactly, spaces included. Throws when a line is no row.
inline std::vector<DataRow> dataRows(const std::string& file) {
  std::vector<DataRow> rows;
  for (const auto& [where, line] : dataLines(file)) {
    const std::string::size_type space = line.find(' '), arrow = line.find(" => ", space);
    if (space == std::string::npos || arrow == std::string::npos)
      throw std::runtime_error(where + " is no row");
    rows.push_back({where, line.substr(0, space),
                    expand(unescape(line.substr(space + 1, arrow - space - 1))),
                    expand(unescape(line.substr(arrow + 4)))});
  }
  return rows;
}

// Each line's fields, apart by `separator` and trimmed of spaces.
inline std::vector<std::vector<std::string>> dataFields(const std::string& file,
                                                        const std::string& separator = "|") {
  std::vector<std::vector<std::string>> rows;
  for (const auto& line : dataLines(file)) {
    rows.emplace_back();
    for (std::string field : split(line.second, separator)) {
      field.erase(0, field.find_first_not_of(' '));
      field.erase(field.find_last_not_of(' ') + 1);
      rows.back().push_back(expand(unescape(field)));
    }
  }
  return rows;
}

// Blocks of "key: value" lines, each opened by its "case: <name>" line (a key
// alone with its colon has the value "").
inline std::vector<std::map<std::string, std::string>> dataBlocks(const std::string& file) {
  std::vector<std::map<std::string, std::string>> blocks;
  for (const auto& [where, line] : dataLines(file)) {
    const std::string::size_type colon = line.find(':');
    if (line.compare(0, 5, "case:") == 0) blocks.emplace_back();
    if (colon == std::string::npos || blocks.empty())
      throw std::runtime_error(where + ": no case for " + line);
    blocks.back()[line.substr(0, colon)] =
        expand(unescape(line.substr(std::min(line.size(), colon + 2))));
  }
  return blocks;
}

}  // namespace rtsptest

#endif  // RTSPPULL_TESTS_SUPPORT_DATA_ROWS_H_
