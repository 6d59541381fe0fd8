// The control's form description: every component, its kind, parent, geometry and initial
// state, in one table. Subsystems add their components here as they are built.
#pragma once

#include <cstddef>
#include <span>

#include "platform/form.h"

namespace tessomar::shell {

constexpr int kFormWidth = 1024;
constexpr int kFormHeight = 616;
constexpr int kVideoWidth = 704;
constexpr int kVideoHeight = 576;

std::span<const platform::ComponentSpec> main_form_description();

}  // namespace tessomar::shell
