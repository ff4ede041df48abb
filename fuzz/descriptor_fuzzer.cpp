// Descriptors handed in by a host with arbitrary keys, types and values, read
// into the filter's descriptor list and written back. The operation that the
// list ends with is one the filter knows (4, 5 or 6) or the one it started
// with; the recorded descriptor always decodes.
#include <cstring>
#include <vector>

#include "cli/hostlib/scripting_host.h"
#include "fuzz_support.h"
#include "interface/filter_record.h"
#include "plugin/core/memory.h"
#include "plugin/core/strings.h"
#include "plugin/params/descriptor_list.h"
#include "plugin/params/parameter_block.h"
#include "plugin/params/scripting.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzsupport::MakeRoot();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzzsupport::Reader in(data, size);
  const std::uint8_t flags = in.Byte();
  const auto start = static_cast<float>(in.Byte() % 8);
  std::vector<host::DescriptorItem> items;
  while (in.RestSize() > 0 && items.size() < 64) {
    const std::uint8_t kind = in.Byte();
    // Most keys are the filter's own, so that the reading paths are reached.
    const std::uint32_t key = (kind & 0x80) != 0 ? in.Long() : FourCC("EFMd");
    switch (kind % 5) {
      case 0:
        items.push_back(host::DescriptorItem::Integer(key, std::int32_t(in.Long())));
        break;
      case 1: {
        const std::uint64_t bits = std::uint64_t(in.Long()) << 32 | in.Long();
        double value;
        static_assert(sizeof value == sizeof bits);
        std::memcpy(&value, &bits, sizeof value);
        items.push_back(host::DescriptorItem::Float(key, value));
        break;
      }
      case 2:
        items.push_back(host::DescriptorItem::Bool(key, (in.Byte() & 1) != 0));
        break;
      case 3: {
        std::string text;
        const std::size_t n = in.Word() % 1200;
        for (std::size_t i = 0; i < n && in.RestSize() > 0; ++i) text.push_back(char(in.Byte()));
        items.push_back(host::DescriptorItem::Text(key, text));
        break;
      }
      default: {
        const std::uint32_t type = (kind & 0x40) != 0 ? in.Long() : FourCC("rB42");
        items.push_back(host::DescriptorItem::Enumerated(key, type, in.Long()));
        break;
      }
    }
  }

  host::ScriptingHost scripting;
  scripting.SetPlayback(items, (flags & 1) != 0 ? plugInDialogDisplay : plugInDialogOptional);
  FilterRecord record{};
  scripting.Attach(&record);
  auto* block = static_cast<ParameterBlock*>(NewZeroedBlock(sizeof(ParameterBlock)));
  if (block == nullptr) return 0;
  block->params[kParamOperation] = start;
  DescriptorList list = CreateDescriptorList(kDescriptorListSlots);
  if (list == nullptr) abort();
  InitDescriptorList(list, FourCC("udef"), 0, 0);
  DeclareFilterParameters(list, block);
  const std::int32_t before = GetEntryLong(list, 0);
  const std::uint8_t noDialog = ReadScriptedParameters(&record, list);
  if (noDialog > 1) abort();
  const std::int32_t after = GetEntryLong(list, 0);
  if (after != before && (after < 4 || after > 6)) abort();
  (void)WriteScriptedParameters(&record, list);
  std::vector<host::DescriptorItem> recorded;
  if (record.descriptorParameters->descriptor != nullptr &&
      !scripting.DecodeDescriptor(record.descriptorParameters->descriptor, &recorded)) {
    abort();
  }
  DisposeDescriptorList(list);
  DisposeBlock(block);
  return 0;
}
