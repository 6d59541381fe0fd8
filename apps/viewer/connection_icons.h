// The viewer's own connection icons, drawn in code into the pictures of Image_Conn (a green
// dot) and Image_Disconn (a red dot) over the given background colour, and its speaker icons.
#pragma once

#include <QColor>

#include "platform/form.h"

namespace tessomar::viewer {

constexpr uint32_t kConnectedColour = 0x0022B14C;
constexpr uint32_t kDisconnectedColour = 0x00D83A2F;

void draw_connection_icons(platform::Form& form, QColor background);

// The speaker icons over the video: Image_Trumpet_On (a speaker with sound waves) and
// Image_Trumpet_Off (a speaker struck through), white on a dark plate.
void draw_speaker_icons(platform::Form& form);

}  // namespace tessomar::viewer
