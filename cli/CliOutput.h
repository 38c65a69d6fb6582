// CliOutput: the command line's output forms: JSON strings, aligned
// tables, and a status line on stderr that only a terminal gets.
#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

// A JSON string of Latin-1 text: quoted, escaped, each byte one character.
std::string JsonText(std::string_view Text);
// Rows of cells with every column as wide as its widest cell.
std::string TableText(const std::vector<std::vector<std::string>>& Rows);

// One line on stderr that rewrites itself; silent when stderr is no terminal.
class TStatusLine {
 public:
  TStatusLine();
  ~TStatusLine();
  bool On() const { return FOn; }
  void Show(const std::string& Text);
  // At most every Period: true when it is time to show again.
  bool Due(std::chrono::milliseconds Period);
  void Clear();

 private:
  bool FOn;
  bool FShown = false;
  std::chrono::steady_clock::time_point FLast{};
};
