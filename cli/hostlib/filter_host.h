// An in-memory image editor for filter plug-ins. It owns a picture (with an
// optional selection mask and a filter rectangle), builds the filter record
// with every callback a plug-in may use, and drives a run the way an editor
// does:
//
//   [filterSelectorParameters]  when RunOptions::askParameters
//   filterSelectorPrepare
//   filterSelectorStart         with advanceState offered, the plug-in may run
//                               the whole exchange inside this call
//   filterSelectorContinue      while inRect, outRect or maskRect asks for rows
//   filterSelectorFinish        whenever Start was called
//
// Rows are exchanged at every advanceState call and before every Continue:
// the outData of the previous exchange is taken back into the picture, then
// the rows now requested are delivered in inData, outData and maskData. Like
// an editor, the host works on a copy and keeps it only when the run succeeds:
// a failed or cancelled run leaves the picture as it was.
//
// Taking rows back honours the selection: outside the filter rectangle and
// where the mask is 0 the picture keeps its values, where the mask is 255 it
// takes the plug-in's, and partly selected pixels blend by the mask value.
//
// The callbacks take no context, so they act on the FilterHost whose Run (or
// Call) is in progress; runs of two hosts must not interleave. The host's own
// handle suite belongs to the most recently constructed FilterHost still alive.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "cli/hostlib/picture.h"
#include "interface/filter_record.h"

namespace host {

// A rectangle in picture coordinates, right and bottom exclusive.
struct Area {
  int left = 0;
  int top = 0;
  int right = 0;
  int bottom = 0;
  bool Empty() const { return right <= left || bottom <= top; }
  int Width() const { return right - left; }
  int Height() const { return bottom - top; }
};

enum class DriverMode {
  kAdvanceState,  // advanceState offered: the plug-in may pull every row in Start
  kContinue,      // no advanceState: one filterSelectorContinue per exchange
};

// Result codes of the host itself (not the plug-in's).
inline constexpr OSErr kHostNoPlugin = -30101;    // no entry point to call
inline constexpr OSErr kHostRunaway = -30102;     // the plug-in never stopped asking for rows
inline constexpr OSErr kHostBadPicture = -30103;  // picture or filter area unusable

struct RunOptions {
  DriverMode mode = DriverMode::kAdvanceState;
  bool askParameters = false;  // call filterSelectorParameters first

  // The document's file path handed in documentInfo->fileSpec; no value means
  // documentInfo is null (an untitled document).
  std::optional<std::string> documentPath;
  std::uint8_t backColor[4] = {255, 255, 255, 0};  // in the picture's colour space
  std::intptr_t ownerWindow = 0;                   // platformData->hwnd

  // Called with every progressProc report, after it has been recorded.
  std::function<void(std::int32_t done, std::int32_t total)> onProgress;
  // Answers abortProc; null: never cancel.
  std::function<bool()> shouldAbort;
  // When not 0, abortProc also answers true once progressProc has been
  // called this many times in the run (a user cancelling part-way).
  std::size_t abortAfterProgress = 0;
  // Answers advanceState before any row is exchanged: returning non-zero makes
  // that advanceState call fail with the code (e.g. the user cancelled while
  // the editor was reading the picture). Argument: 1 for the first call.
  std::function<OSErr(int call)> advanceFailure;

  // Scripting: the descriptor parameters and handle suite handed to the
  // plug-in (null: none, and the host's own handle suite). A ScriptingHost
  // can fill both with `attach`, which is called with the finished record just
  // before the first selector, e.g.
  //   options.attach = [&](FilterRecord* r) { scripting.Attach(r); };
  PIDescriptorParameters* descriptorParameters = nullptr;
  HandleProcs* handleProcs = nullptr;
  std::function<void(FilterRecord*)> attach;

  // Continue calls allowed before the host gives up with kHostRunaway;
  // 0: 4 x picture height + 16.
  int maxContinueCalls = 0;
  // When not 0, the editor cancels the run instead of making this
  // filterSelectorContinue call (1 for the first): it calls Finish and the
  // run ends with userCanceledErr.
  int cancelBeforeContinue = 0;

  // The plug-in's rows go straight into the picture rather than into a copy
  // that becomes the picture only when the run succeeds: for a host that
  // discards the picture afterwards (adding to the focus buffer) or keeps it
  // only when the run succeeds (showing the buffer into a picture to be
  // written out), which then holds one picture instead of two. A failed or
  // cancelled run leaves the picture partly written.
  bool inPlace = false;
};

struct RunResult {
  // The outcome: the first non-zero code of Parameters, Prepare, Start or
  // Continue, else of Finish, else a host code; 0 when the run succeeded.
  OSErr result = noErr;
  OSErr parametersResult = noErr;
  OSErr prepareResult = noErr;
  OSErr startResult = noErr;
  OSErr continueResult = noErr;  // the first failing Continue, else 0
  OSErr finishResult = noErr;

  int advanceCalls = 0;      // advanceState calls made by the plug-in
  int continueCalls = 0;     // filterSelectorContinue calls made by the host
  int abortPolls = 0;        // abortProc calls
  bool pictureKept = false;  // the picture took the run's output

  std::vector<std::pair<std::int32_t, std::int32_t>> progress;  // (done, total)
  // Every non-empty request that the host served, in order.
  std::vector<Area> inRequests;
  std::vector<Area> outRequests;
  std::vector<Area> maskRequests;

  // The descriptor that the plug-in left in descriptorParameters (null when
  // none was offered); read it with the scripting host that supplied it.
  PIDescriptorHandle descriptor = nullptr;
  // bufferSpace as the plug-in left it after filterSelectorPrepare.
  std::int32_t bufferSpace = 0;
};

class FilterHost {
 public:
  explicit FilterHost(EntryPointProc entry);
  ~FilterHost();
  FilterHost(const FilterHost&) = delete;
  FilterHost& operator=(const FilterHost&) = delete;

  // The picture the runs work on.
  Picture picture;
  // The selection: picture.width x picture.height bytes, 0 unselected, 255
  // selected; empty for no selection (haveMask 0).
  std::vector<std::uint8_t> selection;
  // The filter rectangle; empty means the whole picture.
  Area filterArea;

  // Runs the plug-in once on the picture.
  RunResult Run(const RunOptions& options = {});

  // Calls one selector with the record of the last Run or Rebuild, without
  // any row exchange and with the plug-in's data slot. For tests of selector
  // handling; Rebuild makes a fresh record for the picture and `options`.
  // Outside a Run no rows can be delivered: advanceState, when offered,
  // answers kHostNoPlugin, and progress and abort reports are ignored.
  OSErr Call(std::int16_t selector);
  void Rebuild(const RunOptions& options = {});
  FilterRecord& Record() { return record_; }

  // What the editor keeps for the plug-in between runs.
  std::intptr_t DataSlot() const { return data_; }
  Handle ParametersHandle() const { return record_.parameters; }

  // The host's own handle suite (when RunOptions::handleProcs is null):
  // handles still alive.
  std::size_t LiveHandles() const;

 private:
  struct Impl;
  Impl* impl_;
  EntryPointProc entry_;
  FilterRecord record_{};
  std::intptr_t data_ = 0;
};

}  // namespace host
