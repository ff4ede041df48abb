// Shared helpers of the log tests: files under a private drive root, and
// descriptor lists built through the list's own operations.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "plugin/core/strings.h"
#include "plugin/params/descriptor_list.h"
#include "plugin/storage/file.h"
#include "support/temp_root.h"

namespace logtest {

inline std::string ReadText(const testsupport::TempRoot& root, const std::string& name) {
  const std::vector<unsigned char> bytes = root.Read(name);
  return std::string(bytes.begin(), bytes.end());
}

// An open handle on "c:\<name>", which is created empty first.
class OpenFile {
 public:
  OpenFile(const testsupport::TempRoot& root, const std::string& name) {
    root.Write(name, std::string());
    EXPECT_EQ(OpenDataFile(("c:\\" + name).c_str(), &file_), noErr);
  }
  ~OpenFile() { Close(); }
  OpenFile(const OpenFile&) = delete;
  OpenFile& operator=(const OpenFile&) = delete;
  FileRef get() const { return file_; }
  void Close() {
    if (file_ != platform::kInvalidFile) CloseDataFile(file_);
    file_ = platform::kInvalidFile;
  }

 private:
  FileRef file_ = platform::kInvalidFile;
};

// A descriptor list owned by the test.
class List {
 public:
  List() : list_(CreateDescriptorList(kDescriptorListSlots)) {
    EXPECT_NE(list_, nullptr);
    InitDescriptorList(list_, FourCC("BFcB"), 0, 0);
  }
  ~List() { DisposeDescriptorList(list_); }
  List(const List&) = delete;
  List& operator=(const List&) = delete;
  DescriptorList get() const { return list_; }

  // The system adds inputs only; a filter that reports values has its last
  // `outputs` entries counted as outputs, which the header says in its two
  // big-endian counts (input count at byte 12, output count at byte 16).
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

}  // namespace logtest
