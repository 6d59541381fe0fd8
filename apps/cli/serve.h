// The RTSP bridge (`serve`): the command that publishes the DVR's streams, and the worker
// process it runs for each DVR session.
#pragma once

#include "commands.h"

namespace tessomar::cli {

// `serve --worker ...`: one control on one DVR session, writing records to the bridge.
int run_serve_worker(const Args& args);

}  // namespace tessomar::cli
