// A descriptor list owned by a test, built through the list's own operations.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>

#include "plugin/core/strings.h"
#include "plugin/params/descriptor_list.h"

namespace testsupport {

class OwnedList {
 public:
  explicit OwnedList(std::int32_t slots = kDescriptorListSlots)
      : list_(CreateDescriptorList(slots)) {
    EXPECT_NE(list_, nullptr);
    if (list_ != nullptr) InitDescriptorList(list_, FourCC("BFcB"), 0, 0);
  }
  ~OwnedList() { DisposeDescriptorList(list_); }
  OwnedList(const OwnedList&) = delete;
  OwnedList& operator=(const OwnedList&) = delete;
  DescriptorList get() const { return list_; }

  // The system adds inputs only; a filter that reports values has its last
  // entries counted as outputs in the header's big-endian counts (bytes 12, 16).
  void SplitOutputs(std::int32_t outputs) {
    const std::int32_t total = GetInputCount(list_) + GetOutputCount(list_);
    for (int i = 0; i < 4; ++i) {
      list_[12 + i] = std::uint8_t(std::uint32_t(total - outputs) >> (24 - 8 * i));
      list_[16 + i] = std::uint8_t(std::uint32_t(outputs) >> (24 - 8 * i));
    }
  }

 private:
  DescriptorList list_ = nullptr;
};

}  // namespace testsupport
