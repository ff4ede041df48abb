// The descriptor list: the typed table of a filter's scriptable parameters
// (key, type, accepted range, value). One block of 24-byte slots; the first two
// slots are the header, each further slot one entry. Every 32-bit word is held
// big-endian whatever the processor.
#pragma once

#include <cstdint>

struct ParameterBlock;

using DescriptorList = std::uint8_t*;

inline constexpr int kDescriptorSlotBytes = 24;
inline constexpr int kDescriptorHeaderBytes = 48;
inline constexpr int kDescriptorListSlots = 22;

// Byte order of stored words.
std::uint32_t SwapWord(std::uint32_t word);
float SwapWordToFloat(std::uint32_t word);

DescriptorList CreateDescriptorList(std::int32_t slots);  // null when out of memory
void DisposeDescriptorList(DescriptorList list);
void InitDescriptorList(DescriptorList list, std::uint32_t signature, std::uint8_t needsMask,
                        std::uint8_t noWriteback);
// Returns the new entry's index, or -1 (and adds nothing) when the block has
// no free slot left.
std::int32_t AddInputParameter(DescriptorList list, std::uint32_t key, std::uint32_t type,
                               std::uint32_t minimum, std::uint32_t maximum, std::uint32_t value);

std::int32_t GetInputCount(DescriptorList list);
std::int32_t GetOutputCount(DescriptorList list);
std::uint32_t GetListSignature(DescriptorList list);
std::uint32_t GetNeedsMaskFlag(DescriptorList list);
std::uint32_t GetNoWritebackFlag(DescriptorList list);

// Entry fields (native values).
std::uint32_t GetEntryKey(DescriptorList list, std::int32_t index);
std::uint32_t GetEntryType(DescriptorList list, std::int32_t index);
std::uint32_t GetEntryMinimum(DescriptorList list, std::int32_t index);
std::uint32_t GetEntryMaximum(DescriptorList list, std::int32_t index);

std::int32_t GetEntryLong(DescriptorList list, std::int32_t index);
float GetEntryFloat(DescriptorList list, std::int32_t index);
std::int32_t GetEntryBool(DescriptorList list, std::int32_t index);
const char* GetEntryText(DescriptorList list, std::int32_t index);
void SetEntryLong(DescriptorList list, std::int32_t index, std::int32_t value);
void SetEntryFloat(DescriptorList list, std::int32_t index, float value);
// Frees the entry's old text and stores a copy of `text` (null: none). When
// the copy cannot be allocated the entry holds no text.
void SetEntryText(DescriptorList list, std::int32_t index, const char* text);

// This filter's declaration: signature "BFcB", one input "EFMd" of enumeration
// "rB42", codes 4 to 6, starting at the saved operation params[205].
void DeclareFilterParameters(DescriptorList list, const ParameterBlock* block);
