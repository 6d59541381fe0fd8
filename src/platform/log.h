// The one way library code reports diagnostics. Hosts choose the sink; the default is silent.
#pragma once

#include <functional>
#include <string_view>

namespace tessomar::platform {

enum class LogLevel { Debug, Info, Warning, Error };

using LogSink = std::function<void(LogLevel, std::string_view)>;

// Installs the sink for this process; passing an empty function silences logging.
void set_log_sink(LogSink sink);
void log(LogLevel level, std::string_view message);

}  // namespace tessomar::platform
