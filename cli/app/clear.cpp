// `sharpstack clear`: deletes the focus buffer.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <optional>
#include <sstream>
#include <thread>

#include "cli/app/command_support.h"
#include "cli/app/interrupt.h"
#include "cli/app/status_text.h"
#include "cli/image/image_io.h"
#include "cli/image/sample_scale.h"
#include "plugin/core/memory.h"
#include "plugin/focus/buffer_set.h"
#include "plugin/focus/operation_choice.h"
#include "plugin/platform/platform.h"
#include "plugin/storage/store.h"
#include "tools/series/series.h"

namespace cli {

int ClearCommand(const Settings& settings) {
  Context context(settings);
  Runner runner(settings);
  if (!LoadRunner(context, &runner)) return kExitError;
  int code = RunClear(context, &runner);
  if (code == kExitOk) context.Say("cleared the focus buffer in " + BufferFolder());
  return code;
}

}  // namespace cli
