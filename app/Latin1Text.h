// The wire carries one byte per character: the window's texts meet it in
// Latin-1, and a character outside it is refused, never replaced.
#pragma once

#include <QString>

#include <optional>
#include <string>
#include <string_view>

inline QString Latin1(std::string_view Text) {
  return QString::fromLatin1(Text.data(), static_cast<qsizetype>(Text.size()));
}

// The bytes of Text; none when a character has no Latin-1 byte.
inline std::optional<std::string> Latin1Bytes(const QString& Text) {
  std::string bytes;
  bytes.reserve(static_cast<std::size_t>(Text.size()));
  for (const QChar c : Text) {
    if (c.unicode() > 0xFF) return std::nullopt;
    bytes += static_cast<char>(c.unicode());
  }
  return bytes;
}
