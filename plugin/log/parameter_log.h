// The rule-driven parameter log: a tab-separated line appended per run to the
// file that string slot 2 of the preferences names, holding the descriptor
// list's outputs, each with a label and a unit suffix from the rule file
// "c:\QZLogDef.rul", and ending with the document's path and the date and time.
//
// Only outputs are logged. This filter's list holds none, so for it the log is
// never opened; the framework keeps the facility for filters that report values.
#pragma once

#include <cstdint>

#include "interface/filter_record.h"
#include "plugin/params/descriptor_list.h"
#include "plugin/platform/platform.h"

struct ParameterBlock;

inline constexpr char kLogRulePath[] = "c:\\QZLogDef.rul";
// The rule file is a sequence of fixed records.
inline constexpr int kLogRuleRecordSize = 64;
// Byte offsets within a record.
inline constexpr int kLogRuleLabelOffset = 5;
inline constexpr int kLogRuleSuffixOffset = 48;

// Appends the line for the list's outputs. Returns noErr when the log is
// switched off (slot 2 empty) or there is nothing to log, the status of opening
// when the log file could be neither opened nor created, else the status of
// closing it. Callers need not examine it: every failure here is silent.
OSErr WriteParameterLog(ParameterBlock* block, DescriptorList list);

// Finds the rule record for output `key` and fills `label` and `suffix` (each
// kStringSize bytes, terminated strings) with its texts, the suffix code
// applied for `unitCode`. Returns noErr when found, fnfErr when no record names
// the key or its record says "omit", or the status of opening the rule file.
[[nodiscard]] OSErr LookupLogRule(std::uint32_t key, char* label, char* suffix,
                                  std::int32_t unitCode);

// The unit code that the suffixes name: params[2] as an integer, or 6 (inches)
// when that is 0 or no pixel size (params[3]) is set.
std::int32_t GetLogUnitCode(const ParameterBlock* block);
// The two characters of a unit (unit 1 is the Windows Latin-1 micro sign 0xB5
// and "m"); codes outside the table give the unknown unit "xx".
const char* GetLogUnitText(std::int32_t unitCode);

// "3/7/05" and "9:05:03 PM": counted strings (length byte first) with a NUL
// after the characters, in buffers of at least 16 bytes.
void FormatLogDate(const platform::LocalTime& time, char* out);
void FormatLogTime(const platform::LocalTime& time, char* out);
