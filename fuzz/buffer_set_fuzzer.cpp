// The three focus buffer files made of arbitrary bytes, then the set check,
// and an Add and a Show through the entry point when the set is small enough
// to run on quickly: every run ends with a status, never a crash.
#include <vector>

#include "cli/hostlib/filter_host.h"
#include "cli/hostlib/scripting_host.h"
#include "fuzz_support.h"
#include "interface/filter_record.h"
#include "plugin/core/strings.h"
#include "plugin/focus/buffer_set.h"
#include "plugin/focus/operation_choice.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzsupport::MakeRoot();
  return 0;
}

namespace {

OSErr RunOnce(std::int32_t operation, int width, int height, int planes, int depth) {
  // One editor for the whole session, as a real one: the plug-in keeps its
  // run state in the editor's data slot from one run to the next.
  static host::ScriptingHost* const scripting = new host::ScriptingHost;
  static host::FilterHost* const h = new host::FilterHost(&ENTRYPOINT);
  scripting->SetPlayback({host::DescriptorItem::Enumerated(FourCC("EFMd"), FourCC("rB42"),
                                                           static_cast<std::uint32_t>(operation))},
                         plugInDialogOptional);
  h->picture.Allocate(width, height, planes, 0, depth);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x)
      for (int k = 0; k < planes; ++k)
        h->picture.Set(x, y, k,
                       std::uint32_t(x * 977 + y * 131 + k * 71) % (depth == 16 ? 32769 : 256));
  host::RunOptions options;
  options.attach = [](FilterRecord* r) { scripting->Attach(r); };
  return h->Run(options).result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzzsupport::Reader in(data, size);
  const std::uint8_t shape = in.Byte();
  const std::size_t lengths[3] = {in.Word(), in.Word(), in.Word()};
  const std::uint8_t* rest = in.Rest();
  std::size_t left = in.RestSize();
  const char* names[3] = {"CountVXBuffer.xxx", "BestVariance.xxx", "BestFocus.xxx"};
  for (int i = 0; i < 3; ++i) {
    const std::size_t n = lengths[i] < left ? lengths[i] : left;
    // A length of 0xFFFF leaves the file missing.
    if (lengths[i] == 0xFFFF) {
      fuzzsupport::RemoveFile(names[i]);
    } else {
      fuzzsupport::WriteFile(names[i], rest, n);
    }
    rest += n;
    left -= n;
  }
  std::int16_t w = 0, h = 0;
  const bool valid = CheckFocusBufferSet(&w, &h);
  // Large sets take long to run on; their checks and opens are what matter.
  if (valid && std::int32_t(w) * h > 4096) return 0;
  const int width = 1 + shape % 12;
  const int height = 1 + (shape >> 4) % 9;
  const int planes = (shape & 0x40) != 0 ? 3 : 1;
  const int depth = (shape & 0x80) != 0 ? 16 : 8;
  const std::int32_t first = (shape & 1) != 0 ? kOperationShowBuffer : kOperationAddToBuffer;
  const std::int32_t second =
      first == kOperationShowBuffer ? kOperationAddToBuffer : kOperationShowBuffer;
  (void)RunOnce(first, width, height, planes, depth);
  const OSErr result = RunOnce(second, width, height, planes, depth);
  // An Add that worked leaves a valid set.
  if (second == kOperationAddToBuffer && result == noErr && !CheckFocusBufferSet(&w, &h)) abort();
  return 0;
}
