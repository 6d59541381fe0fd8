#include "shell/form_description.h"

namespace tessomar::shell {

using platform::ComponentKind;
using platform::ComponentSpec;
using platform::Geometry;

namespace {

// Order matters only for painting: later components lie over earlier ones.
constexpr ComponentSpec kMainForm[] = {
    {"TTessomarX", ComponentKind::Form, "", Geometry{0, 0, kFormWidth, kFormHeight}, "TessomarX"},
    {"Timer1", ComponentKind::Timer, "TTessomarX", {}, "", true, false, 10},
    {"Timer2", ComponentKind::Timer, "TTessomarX", {}, "", true, false, 1000},
    {"Image3", ComponentKind::Image, "TTessomarX", Geometry{0, 0, kFormWidth, kFormHeight}},
    {"Image_video", ComponentKind::Image, "TTessomarX", Geometry{0, 0, kVideoWidth, kVideoHeight}},
    {"Image1", ComponentKind::Image, "TTessomarX",
     Geometry{kVideoWidth, 0, kFormWidth - kVideoWidth, kVideoHeight}},
    {"Label_time", ComponentKind::Label, "TTessomarX", Geometry{8, 584, 420, 24}},
    {"Label1", ComponentKind::Label, "TTessomarX", Geometry{440, 584, 300, 24}, "", false},
    {"Image_Conn", ComponentKind::Image, "TTessomarX", Geometry{884, 584, 24, 24}, "", false},
    {"Image_Disconn", ComponentKind::Image, "TTessomarX", Geometry{884, 584, 24, 24}},
    {"Label_Version", ComponentKind::Label, "TTessomarX", Geometry{920, 588, 100, 20}},
    // Transparent: it takes the pointer over the video picture, which itself takes no input.
    {"Image_Trumpet_BG", ComponentKind::Image, "TTessomarX",
     Geometry{0, 0, kVideoWidth, kVideoHeight}},
    {"Image_Trumpet_On", ComponentKind::Image, "TTessomarX", Geometry{656, 528, 32, 32}, "", false},
    {"Image_Trumpet_Off", ComponentKind::Image, "TTessomarX", Geometry{656, 528, 32, 32}, "",
     false},
    // The setup pages lie over the video picture and are shown in Setup mode only.
    {"PageControl1", ComponentKind::PageControl, "TTessomarX",
     Geometry{0, 0, kVideoWidth, kVideoHeight}, "", false},
    {"TabSheet1", ComponentKind::TabSheet, "PageControl1", {}, "System"},
    {"TabSheet2", ComponentKind::TabSheet, "PageControl1", {}, "Bitrate"},
    {"TabSheet3", ComponentKind::TabSheet, "PageControl1", {}, "PPPoE"},
    {"TabSheet4", ComponentKind::TabSheet, "PageControl1", {}, "DDNS"},
    {"TabSheet5", ComponentKind::TabSheet, "PageControl1", {}, "Mail"},
    {"TabSheet6", ComponentKind::TabSheet, "PageControl1", {}, "Title"},
    {"TabSheet7", ComponentKind::TabSheet, "PageControl1", {}, "UPnP"},
    {"Label_System1", ComponentKind::Label, "TabSheet1", Geometry{24, 160, 400, 20}},
    {"Label_System2", ComponentKind::Label, "TabSheet1", Geometry{24, 184, 400, 20}},
    {"Label_System3", ComponentKind::Label, "TabSheet1", Geometry{24, 208, 400, 20}},
    {"Label_System4", ComponentKind::Label, "TabSheet1", Geometry{24, 232, 400, 20}},
    {"Label_System5", ComponentKind::Label, "TabSheet1", Geometry{24, 256, 400, 20}},
    {"LabeledEdit_System1", ComponentKind::LabeledEdit, "TabSheet1", Geometry{24, 40, 200, 24}, "",
     true, false},
    {"LabeledEdit_System2", ComponentKind::LabeledEdit, "TabSheet1", Geometry{24, 96, 200, 24}, "",
     true, false},
    {"Button_Bitrate", ComponentKind::Button, "TabSheet2", Geometry{24, 480, 90, 28}, "Apply"},
    {"Button_PPPoE", ComponentKind::Button, "TabSheet3", Geometry{24, 480, 90, 28}, "Apply"},
    {"Button_DDNS", ComponentKind::Button, "TabSheet4", Geometry{24, 480, 90, 28}, "Apply"},
    {"Button_SMTP", ComponentKind::Button, "TabSheet5", Geometry{24, 480, 90, 28}, "Apply"},
    {"Button_Title1", ComponentKind::Button, "TabSheet6", Geometry{24, 480, 90, 28}, "Apply"},
    {"Button_UPNP", ComponentKind::Button, "TabSheet7", Geometry{24, 480, 90, 28}, "Apply"},
};

}  // namespace

std::span<const ComponentSpec> main_form_description() { return kMainForm; }

}  // namespace tessomar::shell
