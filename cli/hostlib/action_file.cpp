// Action files: descriptor items to and from their JSON text form, and the
// check that a step is one this filter can play.
#include "cli/hostlib/action_file.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <nlohmann/json.hpp>
#include <set>
#include <utility>

namespace host {
namespace {

// Members keep the order they are written in.
using Json = nlohmann::ordered_json;

// A code's bytes as the characters U+0000 to U+00FF, so that every byte has
// exactly one spelling; the library escapes the control characters.
std::string CodeToJson(std::uint32_t code) {
  std::string out;
  for (char c : CodeToString(code)) {
    const auto b = std::uint8_t(c);
    if (b < 0x80) {
      out += c;
    } else {
      out += char(0xC0 | (b >> 6));
      out += char(0x80 | (b & 0x3F));
    }
  }
  return out;
}

// The reverse: four characters, each below U+0100. The library has checked
// that the string is UTF-8.
bool CodeFromJson(const std::string& text, std::uint32_t* code) {
  std::uint32_t value = 0;
  int characters = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    auto b = std::uint8_t(text[i]);
    if (b >= 0x80) {
      // Two bytes C2 or C3 then one continuation byte spell U+0080 to U+00FF.
      if ((b != 0xC2 && b != 0xC3) || i + 1 == text.size()) return false;
      b = std::uint8_t(((b & 0x03) << 6) | (std::uint8_t(text[++i]) & 0x3F));
    }
    value = (value << 8) | b;
    ++characters;
  }
  if (characters != 4) return false;
  *code = value;
  return true;
}

Json RealToJson(double value) {
  // JSON has no NaN or infinities: they travel as strings.
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  return value;
}

class ItemReader {
 public:
  std::string error;

  bool Fail(const std::string& where, const std::string& message) {
    error = where + message;
    return false;
  }

  // Refuses members not in `allowed`, so that a misspelt name does not pass
  // unnoticed, and finds the required ones.
  bool Members(const Json& object, const std::string& where,
               std::initializer_list<const char*> allowed,
               std::initializer_list<const char*> required) {
    if (!object.is_object()) return Fail(where, "expected an object");
    for (const auto& member : object.items()) {
      bool known = false;
      for (const char* name : allowed) known = known || member.key() == name;
      if (!known) return Fail(where, "unknown member \"" + member.key() + "\"");
    }
    for (const char* name : required) {
      if (!object.contains(name)) return Fail(where, std::string("missing \"") + name + "\"");
    }
    return true;
  }

  bool CodeOf(const Json& value, const std::string& where, const char* what, std::uint32_t* code) {
    if (!value.is_string() || !CodeFromJson(value.get_ref<const std::string&>(), code)) {
      return Fail(where, std::string("\"") + what + "\" must be a 4-character code");
    }
    return true;
  }

  // An integer written without fraction or exponent, within [low, high].
  bool IntegerOf(const Json& value, const std::string& where, std::int64_t low, std::int64_t high,
                 std::int64_t* out) {
    if (!value.is_number_integer()) return Fail(where, "\"value\" must be an integer");
    const bool fits = value.is_number_unsigned()
                          ? value.get<std::uint64_t>() <= std::uint64_t(high)
                          : value.get<std::int64_t>() >= low && value.get<std::int64_t>() <= high;
    if (!fits) return Fail(where, "\"value\" is out of range");
    *out = value.get<std::int64_t>();
    return true;
  }

  bool RealOf(const Json& value, const std::string& where, double* out) {
    if (value.is_number()) {
      *out = value.get<double>();
      return true;
    }
    if (value == "nan") {
      *out = std::numeric_limits<double>::quiet_NaN();
    } else if (value == "inf" || value == "-inf") {
      *out = value == "inf" ? std::numeric_limits<double>::infinity()
                            : -std::numeric_limits<double>::infinity();
    } else {
      return Fail(where, "\"value\" must be a number");
    }
    return true;
  }

  bool Item(const Json& object, const std::string& where, DescriptorItem* item) {
    if (!Members(object, where, {"key", "type", "enumType", "value"}, {"key", "type", "value"})) {
      return false;
    }
    std::uint32_t key = 0;
    std::uint32_t type = 0;
    if (!CodeOf(object["key"], where, "key", &key) ||
        !CodeOf(object["type"], where, "type", &type)) {
      return false;
    }
    const Json& value = object["value"];
    if ((type == kTypeEnumerated) != object.contains("enumType")) {
      return Fail(where, "\"enumType\" belongs to type \"enum\", and only to it");
    }
    std::int64_t integer = 0;
    if (type == kTypeInteger) {
      if (!IntegerOf(value, where, std::numeric_limits<std::int32_t>::min(),
                     std::numeric_limits<std::int32_t>::max(), &integer)) {
        return false;
      }
      *item = DescriptorItem::Integer(key, std::int32_t(integer));
    } else if (type == kTypeFloat) {
      double real = 0;
      if (!RealOf(value, where, &real)) return false;
      *item = DescriptorItem::Float(key, real);
    } else if (type == kTypeBoolean) {
      if (!value.is_boolean()) return Fail(where, "\"value\" must be true or false");
      *item = DescriptorItem::Bool(key, value.get<bool>());
    } else if (type == kTypeText) {
      if (!value.is_string()) return Fail(where, "\"value\" must be a string");
      *item = DescriptorItem::Text(key, value.get<std::string>());
    } else if (type == kTypeEnumerated) {
      std::uint32_t enumType = 0;
      if (!CodeOf(object["enumType"], where, "enumType", &enumType) ||
          !IntegerOf(value, where, 0, std::numeric_limits<std::uint32_t>::max(), &integer)) {
        return false;
      }
      *item = DescriptorItem::Enumerated(key, enumType, std::uint32_t(integer));
    } else {
      return Fail(where,
                  "unknown type \"" + CodeToString(type) + "\" (long, doub, bool, TEXT or enum)");
    }
    return true;
  }
};

// The library keeps the last of two members of one name; a step that says
// two things must not pass as one of them.
class DuplicateFinder {
 public:
  bool operator()(int, Json::parse_event_t event, Json& parsed) {
    if (event == Json::parse_event_t::object_start) {
      open_.emplace_back();
    } else if (event == Json::parse_event_t::object_end) {
      if (!open_.empty()) open_.pop_back();
    } else if (event == Json::parse_event_t::key && !open_.empty()) {
      const std::string& name = parsed.get_ref<const std::string&>();
      if (!open_.back().insert(name).second && duplicate_.empty()) duplicate_ = name;
    }
    return true;
  }
  const std::string& Duplicate() const { return duplicate_; }

 private:
  std::vector<std::set<std::string>> open_;
  std::string duplicate_;
};

// The library's message without its "[json.exception.…] " tag.
std::string LibraryMessage(const Json::exception& e) {
  std::string message = e.what();
  const std::size_t tag = message.find("] ");
  return tag == std::string::npos ? message : message.substr(tag + 2);
}

}  // namespace

std::string DescriptorToJson(std::uint32_t event, const std::vector<DescriptorItem>& items) {
  Json document = {{"event", CodeToJson(event)}, {"items", Json::array()}};
  for (const DescriptorItem& item : items) {
    Json entry = {{"key", CodeToJson(item.key)}, {"type", CodeToJson(item.TypeCode())}};
    switch (item.kind) {
      case DescriptorItem::Kind::kInteger:
        entry["value"] = item.integer;
        break;
      case DescriptorItem::Kind::kFloat:
        entry["value"] = RealToJson(item.real);
        break;
      case DescriptorItem::Kind::kBoolean:
        entry["value"] = item.boolean;
        break;
      case DescriptorItem::Kind::kText:
        entry["value"] = item.text;
        break;
      case DescriptorItem::Kind::kEnumerated:
        entry["enumType"] = CodeToJson(item.enumType);
        entry["value"] = item.enumValue;
        break;
    }
    document["items"].push_back(std::move(entry));
  }
  return document.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

bool DescriptorFromJson(const std::string& json, std::uint32_t* event,
                        std::vector<DescriptorItem>* items, std::string* error) {
  auto fail = [error](const std::string& message) {
    if (error != nullptr) *error = message;
    return false;
  };
  Json document;
  DuplicateFinder duplicates;
  try {
    document = Json::parse(json, std::ref(duplicates));
  } catch (const Json::exception& e) {
    return fail("not JSON: " + LibraryMessage(e));
  }
  if (!duplicates.Duplicate().empty()) {
    return fail("the member \"" + duplicates.Duplicate() + "\" is given twice");
  }

  ItemReader reader;
  std::uint32_t eventCode = 0;
  if (!reader.Members(document, "", {"event", "items"}, {"event", "items"}) ||
      !reader.CodeOf(document["event"], "", "event", &eventCode)) {
    return fail(reader.error);
  }
  const Json& list = document["items"];
  if (!list.is_array()) return fail("\"items\" must be an array");
  std::vector<DescriptorItem> parsed;
  for (std::size_t i = 0; i < list.size(); ++i) {
    DescriptorItem item;
    if (!reader.Item(list[i], "item " + std::to_string(i + 1) + ": ", &item)) {
      return fail(reader.error);
    }
    parsed.push_back(std::move(item));
  }
  if (event != nullptr) *event = eventCode;
  if (items != nullptr) *items = std::move(parsed);
  return true;
}

std::vector<DescriptorItem> OperationStep(std::int32_t operation) {
  return {DescriptorItem::Enumerated(kOperationKey, kOperationEnum, std::uint32_t(operation))};
}

std::string OperationStepProblem(std::uint32_t event, const std::vector<DescriptorItem>& items) {
  auto quoted = [](std::uint32_t code) { return "'" + CodeToString(code) + "'"; };
  if (event != kFilterEvent) {
    return "it records event " + quoted(event) + ", not this filter's " + quoted(kFilterEvent);
  }
  if (items.empty()) return "it names no operation";
  if (items.size() > 1) {
    return "it holds " + std::to_string(items.size()) +
           " items; this filter's action holds one, the operation " + quoted(kOperationKey);
  }
  const DescriptorItem& item = items[0];
  if (item.key != kOperationKey) {
    return "its item has key " + quoted(item.key) + ", not the operation's " +
           quoted(kOperationKey);
  }
  if (item.kind != DescriptorItem::Kind::kEnumerated) {
    return "the operation has type " + quoted(item.TypeCode()) + ", not 'enum'";
  }
  if (item.enumType != kOperationEnum) {
    return "the operation is of enumeration " + quoted(item.enumType) + ", not " +
           quoted(kOperationEnum);
  }
  if (item.enumValue < 4 || item.enumValue > 6) {
    return "the operation is " + std::to_string(item.enumValue) +
           "; it must be 4 (clear), 5 (add) or 6 (show)";
  }
  return "";
}

}  // namespace host
