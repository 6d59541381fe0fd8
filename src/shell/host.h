// What every host does before it creates the control: gather the page parameters from the
// DVR's web page (a file or an http:// address) and from NAME=VALUE options, put them into
// the control's properties in order, and give "systemroot" its default.
#pragma once

#include <string>
#include <vector>

#include "platform/log.h"
#include "shell/page_params.h"
#include "shell/properties.h"

namespace tessomar::shell {

// Reads the page's parameters from a file path or an http:// address.
bool read_page_params(const std::string& file_or_url, std::vector<PageParam>& out,
                      std::string& error);

// Puts each parameter that names a control property; returns one message per failure
// (an unknown name, or a put that failed such as a non-integer HTTP_PAGE).
std::vector<std::string> apply_page_params(ControlProperties& props,
                                           const std::vector<PageParam>& params);

// The data folder that hosts use as "systemroot" when it is unset: beside the executable
// in the build tree (bin/../data).
std::string default_systemroot(const std::string& executable_path);

// What every host process does first: "systemroot" defaulted from the executable's own path
// when it is unset.
void prepare_host_process();

// The sink for a host's logger: lines on stderr when TESSOMAR_LOG is set (and not "0"),
// else none.
platform::LogSink host_log_sink();

}  // namespace tessomar::shell
