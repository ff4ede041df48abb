// The descriptor list: 24-byte slots of big-endian words, the first two slots a
// header, then one slot per declared parameter.
//
// Text entries and 64-bit processors: the value word of a "Pth " entry was
// meant to hold the address of the entry's string, which only works where an
// address fits in 32 bits. The slot layout is kept exactly (the logs and the
// dialog read the block by byte offset), and the strings' addresses live in a
// side table of pointer-sized cells allocated behind the slots, one cell per
// slot. The value word of a text entry then only says whether a text is held:
// 0 for none, kTextHeldMarker otherwise. A small prefix in front of the list
// remembers the slot count so that the side table can be found and every held
// text freed when the list is disposed of or re-initialised.
#include "plugin/params/descriptor_list.h"

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <limits>

#include "plugin/core/memory.h"
#include "plugin/core/strings.h"
#include "plugin/params/parameter_block.h"

namespace {

// Hidden prefix in front of the list; 16 bytes keep the slots and the side
// table aligned for pointers.
struct ListPrefix {
  std::int32_t slots;
  std::int32_t reserved[3];
};
static_assert(sizeof(ListPrefix) == 16);
static_assert(kDescriptorSlotBytes % alignof(char*) == 0);

constexpr std::uint32_t kTextHeldMarker = 1;
constexpr int kHeaderSlots = kDescriptorHeaderBytes / kDescriptorSlotBytes;

// Header offsets.
constexpr int kInputCountOffset = 12;
constexpr int kOutputCountOffset = 16;
constexpr int kSignatureOffset = 20;
constexpr int kNeedsMaskOffset = 24;
constexpr int kNoWritebackOffset = 28;

// Entry offsets.
constexpr int kKeyOffset = 0;
constexpr int kTypeOffset = 4;
constexpr int kMarkerOffset = 8;
constexpr int kMinimumOffset = 12;
constexpr int kMaximumOffset = 16;
constexpr int kValueOffset = 20;

ListPrefix* PrefixOf(DescriptorList list) {
  return reinterpret_cast<ListPrefix*>(list - sizeof(ListPrefix));
}

std::int32_t SlotCount(DescriptorList list) {
  return PrefixOf(list)->slots;
}

char** TextCells(DescriptorList list) {
  return reinterpret_cast<char**>(list + std::size_t(SlotCount(list)) * kDescriptorSlotBytes);
}

// Entry i occupies slot kHeaderSlots + i; only entries inside the block have a cell.
bool EntryFits(DescriptorList list, std::int32_t index) {
  return index >= 0 && index < SlotCount(list) - kHeaderSlots;
}

std::uint32_t LoadWord(const std::uint8_t* p) {
  return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) |
         std::uint32_t(p[3]);
}

void StoreWord(std::uint8_t* p, std::uint32_t word) {
  p[0] = std::uint8_t(word >> 24);
  p[1] = std::uint8_t(word >> 16);
  p[2] = std::uint8_t(word >> 8);
  p[3] = std::uint8_t(word);
}

std::uint8_t* EntryAt(DescriptorList list, std::int32_t index) {
  return list + kDescriptorHeaderBytes + std::ptrdiff_t(index) * kDescriptorSlotBytes;
}

std::uint32_t EntryWord(DescriptorList list, std::int32_t index, int offset) {
  return LoadWord(EntryAt(list, index) + offset);
}

void FreeAllTexts(DescriptorList list) {
  char** cells = TextCells(list);
  for (std::int32_t i = 0; i < SlotCount(list); ++i) {
    DisposeBlock(cells[i]);
    cells[i] = nullptr;
  }
}

}  // namespace

std::uint32_t SwapWord(std::uint32_t word) {
  if constexpr (std::endian::native == std::endian::big) return word;
  return (word >> 24) | ((word >> 8) & 0x0000FF00u) | ((word << 8) & 0x00FF0000u) | (word << 24);
}

float SwapWordToFloat(std::uint32_t word) {
  return std::bit_cast<float>(SwapWord(word));
}

DescriptorList CreateDescriptorList(std::int32_t slots) {
  // Fewer than the header's two slots could not even be initialised.
  if (slots < kHeaderSlots) return nullptr;
  const std::size_t bytes = sizeof(ListPrefix) + std::size_t(slots) * kDescriptorSlotBytes +
                            std::size_t(slots) * sizeof(char*);
  if (bytes > std::numeric_limits<std::uint32_t>::max()) return nullptr;
  auto* base = static_cast<std::uint8_t*>(NewZeroedBlock(static_cast<std::uint32_t>(bytes)));
  if (base == nullptr) return nullptr;
  reinterpret_cast<ListPrefix*>(base)->slots = slots;
  return base + sizeof(ListPrefix);
}

void DisposeDescriptorList(DescriptorList list) {
  if (list == nullptr) return;
  FreeAllTexts(list);
  DisposeBlock(PrefixOf(list));
}

void InitDescriptorList(DescriptorList list, std::uint32_t signature, std::uint8_t needsMask,
                        std::uint8_t noWriteback) {
  // Re-initialising forgets every entry, so their texts go too.
  FreeAllTexts(list);
  StoreWord(list + kInputCountOffset, 0);
  StoreWord(list + kOutputCountOffset, 0);
  StoreWord(list + kSignatureOffset, signature);
  StoreWord(list + kNeedsMaskOffset, needsMask);
  StoreWord(list + kNoWritebackOffset, noWriteback);
}

std::int32_t AddInputParameter(DescriptorList list, std::uint32_t key, std::uint32_t type,
                               std::uint32_t minimum, std::uint32_t maximum, std::uint32_t value) {
  const std::int32_t n = GetInputCount(list);
  // A full list takes nothing more: writing past the block would corrupt memory.
  if (!EntryFits(list, n + GetOutputCount(list))) return -1;
  std::uint8_t* entry = EntryAt(list, n);
  StoreWord(entry + kKeyOffset, key);
  StoreWord(entry + kTypeOffset, type);
  StoreWord(entry + kMarkerOffset, 1);
  StoreWord(entry + kMinimumOffset, minimum);
  StoreWord(entry + kMaximumOffset, maximum);
  StoreWord(entry + kValueOffset, value);
  StoreWord(list + kInputCountOffset, std::uint32_t(n + 1));
  return n;
}

std::int32_t GetInputCount(DescriptorList list) {
  return std::int32_t(LoadWord(list + kInputCountOffset));
}
std::int32_t GetOutputCount(DescriptorList list) {
  return std::int32_t(LoadWord(list + kOutputCountOffset));
}
std::uint32_t GetListSignature(DescriptorList list) {
  return LoadWord(list + kSignatureOffset);
}
std::uint32_t GetNeedsMaskFlag(DescriptorList list) {
  return LoadWord(list + kNeedsMaskOffset);
}
std::uint32_t GetNoWritebackFlag(DescriptorList list) {
  return LoadWord(list + kNoWritebackOffset);
}

std::uint32_t GetEntryKey(DescriptorList list, std::int32_t index) {
  return EntryWord(list, index, kKeyOffset);
}
std::uint32_t GetEntryType(DescriptorList list, std::int32_t index) {
  return EntryWord(list, index, kTypeOffset);
}
std::uint32_t GetEntryMinimum(DescriptorList list, std::int32_t index) {
  return EntryWord(list, index, kMinimumOffset);
}
std::uint32_t GetEntryMaximum(DescriptorList list, std::int32_t index) {
  return EntryWord(list, index, kMaximumOffset);
}

std::int32_t GetEntryLong(DescriptorList list, std::int32_t index) {
  return std::int32_t(EntryWord(list, index, kValueOffset));
}

float GetEntryFloat(DescriptorList list, std::int32_t index) {
  return std::bit_cast<float>(EntryWord(list, index, kValueOffset));
}

std::int32_t GetEntryBool(DescriptorList list, std::int32_t index) {
  return EntryWord(list, index, kValueOffset) != 0 ? 1 : 0;
}

const char* GetEntryText(DescriptorList list, std::int32_t index) {
  if (!EntryFits(list, index)) return nullptr;
  return TextCells(list)[kHeaderSlots + index];
}

void SetEntryLong(DescriptorList list, std::int32_t index, std::int32_t value) {
  StoreWord(EntryAt(list, index) + kValueOffset, std::uint32_t(value));
}

void SetEntryFloat(DescriptorList list, std::int32_t index, float value) {
  StoreWord(EntryAt(list, index) + kValueOffset, std::bit_cast<std::uint32_t>(value));
}

void SetEntryText(DescriptorList list, std::int32_t index, const char* text) {
  if (!EntryFits(list, index)) return;
  char*& cell = TextCells(list)[kHeaderSlots + index];
  DisposeBlock(cell);
  cell = nullptr;
  if (text != nullptr) {
    const std::size_t length = std::strlen(text);
    auto* copy = static_cast<char*>(NewBlock(static_cast<std::uint32_t>(length + 1)));
    if (copy != nullptr) {
      std::memcpy(copy, text, length + 1);
      cell = copy;
    }
  }
  StoreWord(EntryAt(list, index) + kValueOffset, cell != nullptr ? kTextHeldMarker : 0);
}

void DeclareFilterParameters(DescriptorList list, const ParameterBlock* block) {
  InitDescriptorList(list, FourCC("BFcB"), 0, 0);
  // The saved operation comes from the preferences file; a damaged file must
  // not make the conversion undefined, so anything that is not a plain number
  // in range counts as "none saved yet".
  std::int32_t operation = 0;
  if (block != nullptr) {
    const float saved = block->params[kParamOperation];
    if (std::isfinite(saved) && saved > -2147483648.0f && saved < 2147483648.0f) {
      operation = static_cast<std::int32_t>(saved);
    }
  }
  AddInputParameter(list, FourCC("EFMd"), FourCC("rB42"), 4, 6, std::uint32_t(operation));
}
