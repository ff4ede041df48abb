// Action files: one recorded step of a filter run as JSON text, written by
// `sharpstack run --record` and played back by `--play`:
//   {
//     "event": "BFcB",
//     "items": [
//       {"key": "EFMd", "type": "enum", "enumType": "rB42", "value": 5}
//     ]
//   }
// Every item has "key", "type" and "value", and "enumType" when (and only
// when) its type is "enum". Types: "long" (a 32-bit integer), "doub" (a
// number; "nan", "inf" and "-inf" as strings), "bool" (true or false), "TEXT"
// (a string), "enum" (value a 32-bit unsigned integer). A code (event, key,
// type, enumType) is four characters from U+0000 to U+00FF, one byte each.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cli/hostlib/descriptor_item.h"

namespace host {

// The text form of a step: the event, then the items in order. A text that is
// not UTF-8 has its stray bytes replaced (U+FFFD).
std::string DescriptorToJson(std::uint32_t event, const std::vector<DescriptorItem>& items);

// Parses the text form (members in any order; no member twice, none unknown).
// On failure returns false, leaves the outputs untouched and says why in
// `error` (when not null).
bool DescriptorFromJson(const std::string& json, std::uint32_t* event,
                        std::vector<DescriptorItem>* items, std::string* error);

// This filter's step: event "BFcB" with exactly one item, the operation, as
// key "EFMd" of enumeration "rB42": 4 Clear, 5 Add, 6 Show.
inline constexpr std::uint32_t kFilterEvent = Code("BFcB");
inline constexpr std::uint32_t kOperationKey = Code("EFMd");
inline constexpr std::uint32_t kOperationEnum = Code("rB42");

std::vector<DescriptorItem> OperationStep(std::int32_t operation);

// Empty when the step is this filter's, naming Clear, Add or Show; otherwise
// what is wrong with it, as a phrase. A step the plug-in could not take would
// leave it to fall back on an earlier choice, which is never what was meant.
std::string OperationStepProblem(std::uint32_t event, const std::vector<DescriptorItem>& items);

}  // namespace host
