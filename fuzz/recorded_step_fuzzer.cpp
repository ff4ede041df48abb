// Recorded steps in their JSON text form, as `sharpstack run --play` reads
// them from a file: any text either parses, and then writes back to a text
// that parses to the same step, or is refused with a reason.
#include <string>
#include <vector>

#include "cli/hostlib/action_file.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::uint32_t event = 0;
  std::vector<host::DescriptorItem> items;
  std::string error;
  if (!host::DescriptorFromJson(text, &event, &items, &error)) {
    if (error.empty()) abort();
    return 0;
  }
  const std::string again = host::DescriptorToJson(event, items);
  std::uint32_t event2 = 0;
  std::vector<host::DescriptorItem> items2;
  if (!host::DescriptorFromJson(again, &event2, &items2, &error)) abort();
  if (event2 != event || !(items2 == items)) abort();
  return 0;
}
