// Descriptor items, and 4-character codes as text.
#include "cli/hostlib/descriptor_item.h"

#include <bit>
#include <utility>

namespace host {

std::uint32_t DescriptorItem::TypeCode() const {
  switch (kind) {
    case Kind::kInteger:
      return kTypeInteger;
    case Kind::kFloat:
      return kTypeFloat;
    case Kind::kBoolean:
      return kTypeBoolean;
    case Kind::kText:
      return kTypeText;
    case Kind::kEnumerated:
      return kTypeEnumerated;
  }
  return 0;
}

DescriptorItem DescriptorItem::Integer(std::uint32_t key, std::int32_t value) {
  return {.key = key, .kind = Kind::kInteger, .integer = value};
}

DescriptorItem DescriptorItem::Float(std::uint32_t key, double value) {
  return {.key = key, .kind = Kind::kFloat, .real = value};
}

DescriptorItem DescriptorItem::Bool(std::uint32_t key, bool value) {
  return {.key = key, .kind = Kind::kBoolean, .boolean = value};
}

DescriptorItem DescriptorItem::Text(std::uint32_t key, std::string value) {
  return {.key = key, .kind = Kind::kText, .text = std::move(value)};
}

DescriptorItem DescriptorItem::Enumerated(std::uint32_t key, std::uint32_t type,
                                          std::uint32_t value) {
  return {.key = key, .kind = Kind::kEnumerated, .enumType = type, .enumValue = value};
}

bool DescriptorItem::operator==(const DescriptorItem& other) const {
  if (key != other.key || kind != other.kind) return false;
  switch (kind) {
    case Kind::kInteger:
      return integer == other.integer;
    case Kind::kFloat:
      return std::bit_cast<std::uint64_t>(real) == std::bit_cast<std::uint64_t>(other.real);
    case Kind::kBoolean:
      return boolean == other.boolean;
    case Kind::kText:
      return text == other.text;
    case Kind::kEnumerated:
      return enumType == other.enumType && enumValue == other.enumValue;
  }
  return false;
}

std::uint32_t CodeFromText(const std::string& text) {
  if (text.size() != 4) return 0;
  std::uint32_t code = 0;
  for (char c : text) code = (code << 8) | std::uint8_t(c);
  return code;
}

std::string CodeToString(std::uint32_t code) {
  std::string text(4, '\0');
  for (int i = 0; i < 4; ++i) text[std::size_t(i)] = char(std::uint8_t(code >> (24 - 8 * i)));
  return text;
}

}  // namespace host
