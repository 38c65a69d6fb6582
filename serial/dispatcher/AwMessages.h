// The library's message texts: the messages of its result codes, the
// runtime's file errors and the words of the dispatch log, looked up by code.
#pragma once

#include <cstdint>
#include <span>
#include <string>

// The version the component reports and the dispatch log prints.
inline constexpr const char* QeltVersion = "v4.05";

struct TErrorMessage {
  int32_t Code;
  const char* Text;
};

// Sorted by the absolute value of the code, strictly increasing.
std::span<const TErrorMessage> ErrorMessageTable();

// The message for |code|: the table's text, else the operating system's text
// for that error number (tidied), else empty. At most 255 characters.
std::string ErrorMessageText(int32_t code);

// A system message made fit for one line: characters below 32 become
// spaces and every run of spaces shrinks to one.
std::string TidySystemMessage(std::string text);

// Codes of the dispatch log's words in the table.
namespace logword {
inline constexpr int32_t TypeBase = 15001;     // + type 0..20
inline constexpr int32_t SubtypeBase = 15100;  // + subtype 1..19
inline constexpr int32_t ColumnHeading = 15201;
inline constexpr int32_t ModemBitBase = 15301;   // + bit 0..7
inline constexpr int32_t StatusKindBase = 15401; // + kind 0..5
inline constexpr uint8_t LastType = 20;
inline constexpr uint8_t LastSubtype = 19;
inline constexpr uint8_t LastStatusKind = 5;
}  // namespace logword
