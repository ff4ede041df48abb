// The items of a scripting descriptor as the host keeps them: a key, a kind
// and a value each. Shared by the host's descriptor suites (scripting_host.h)
// and the action files that record and replay them (action_file.h).
#pragma once

#include <cstdint>
#include <string>

namespace host {

// A 4-character code from its text: the first character in the most
// significant byte.
constexpr std::uint32_t Code(const char (&c)[5]) {
  return (std::uint32_t(std::uint8_t(c[0])) << 24) | (std::uint32_t(std::uint8_t(c[1])) << 16) |
         (std::uint32_t(std::uint8_t(c[2])) << 8) | std::uint32_t(std::uint8_t(c[3]));
}

// The type codes the read suite reports for the kinds of item.
inline constexpr std::uint32_t kTypeInteger = Code("long");
inline constexpr std::uint32_t kTypeFloat = Code("doub");
inline constexpr std::uint32_t kTypeBoolean = Code("bool");
inline constexpr std::uint32_t kTypeText = Code("TEXT");
inline constexpr std::uint32_t kTypeEnumerated = Code("enum");

struct DescriptorItem {
  enum class Kind { kInteger, kFloat, kBoolean, kText, kEnumerated };

  std::uint32_t key = 0;
  Kind kind = Kind::kInteger;
  std::int32_t integer = 0;
  double real = 0.0;
  bool boolean = false;
  std::string text = {};
  std::uint32_t enumType = 0;  // the enumeration (e.g. "rB42")
  std::uint32_t enumValue = 0;

  // The type code the read suite reports: "long", "doub", "bool", "TEXT", "enum".
  std::uint32_t TypeCode() const;

  static DescriptorItem Integer(std::uint32_t key, std::int32_t value);
  static DescriptorItem Float(std::uint32_t key, double value);
  static DescriptorItem Bool(std::uint32_t key, bool value);
  static DescriptorItem Text(std::uint32_t key, std::string value);
  static DescriptorItem Enumerated(std::uint32_t key, std::uint32_t type, std::uint32_t value);

  // Compares the fields that the item's kind uses (a float by its bits).
  bool operator==(const DescriptorItem& other) const;
};

// A 4-character code from text (exactly four bytes, else 0) and back.
std::uint32_t CodeFromText(const std::string& text);
std::string CodeToString(std::uint32_t code);

}  // namespace host
