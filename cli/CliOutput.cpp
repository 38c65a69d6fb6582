#include "CliOutput.h"

#include <algorithm>
#include <cstdio>
#include <unistd.h>

std::string JsonText(std::string_view Text) {
  std::string json = "\"";
  for (const char c : Text) {
    const auto code = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      json += '\\';
      json += c;
    } else if (code < 0x20 || code >= 0x7F) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", code);
      json += escape;
    } else {
      json += c;
    }
  }
  return json + "\"";
}

std::string TableText(const std::vector<std::vector<std::string>>& Rows) {
  std::vector<std::size_t> widths;
  for (const auto& row : Rows)
    for (std::size_t i = 0; i < row.size(); ++i) {
      if (widths.size() <= i) widths.push_back(0);
      widths[i] = std::max(widths[i], row[i].size());
    }
  std::string text;
  for (const auto& row : Rows) {
    std::string line;
    for (std::size_t i = 0; i < row.size(); ++i) {
      line += row[i];
      if (i + 1 < row.size()) line += std::string(widths[i] - row[i].size() + 2, ' ');
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    text += line + "\n";
  }
  return text;
}

TStatusLine::TStatusLine() : FOn(isatty(STDERR_FILENO) == 1) {}

TStatusLine::~TStatusLine() { Clear(); }

void TStatusLine::Show(const std::string& Text) {
  if (!FOn) return;
  std::fprintf(stderr, "\r\033[K%s", Text.c_str());
  std::fflush(stderr);
  FShown = true;
}

bool TStatusLine::Due(std::chrono::milliseconds Period) {
  const auto now = std::chrono::steady_clock::now();
  if (FShown && now - FLast < Period) return false;
  FLast = now;
  return true;
}

void TStatusLine::Clear() {
  if (!FShown) return;
  std::fprintf(stderr, "\r\033[K");
  std::fflush(stderr);
  FShown = false;
}
