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
    // System: the DVR's identity texts and the address the control reached it at.
    {"Label_System1", ComponentKind::Label, "TabSheet1", Geometry{24, 160, 600, 20}},
    {"Label_System2", ComponentKind::Label, "TabSheet1", Geometry{24, 184, 600, 20}},
    {"Label_System3", ComponentKind::Label, "TabSheet1", Geometry{24, 208, 600, 20}},
    {"Label_System4", ComponentKind::Label, "TabSheet1", Geometry{24, 232, 600, 20}},
    {"Label_System5", ComponentKind::Label, "TabSheet1", Geometry{24, 256, 600, 20}},
    {"LabeledEdit_System1", ComponentKind::LabeledEdit, "TabSheet1", Geometry{24, 40, 200, 24}, "",
     true, false, 0, "Remote IP : "},
    {"LabeledEdit_System2", ComponentKind::LabeledEdit, "TabSheet1", Geometry{24, 96, 200, 24}, "",
     true, false, 0, "Remote Port : "},
    // Bitrate.
    {"Label_bitrate", ComponentKind::Label, "TabSheet2", Geometry{24, 40, 90, 20}, "Bitrate : "},
    {"ComboBox_bitrate", ComponentKind::ComboBox, "TabSheet2", Geometry{120, 36, 200, 24}},
    {"Memo_Bitrate", ComponentKind::Memo, "TabSheet2", Geometry{24, 100, 650, 300}},
    {"Button_Bitrate", ComponentKind::Button, "TabSheet2", Geometry{24, 480, 90, 28}, "Apply"},
    // PPPoE.
    {"Label_pppoe1", ComponentKind::Label, "TabSheet3", Geometry{24, 40, 130, 20},
     "PPPoE Status : "},
    {"ComboBox_pppoe1", ComponentKind::ComboBox, "TabSheet3", Geometry{160, 36, 120, 24}},
    {"LabeledEdit_pppoe2", ComponentKind::LabeledEdit, "TabSheet3", Geometry{24, 100, 300, 24},
     "placeholder", true, true, 0, "PPPoE User Name : "},
    {"LabeledEdit_pppoe3", ComponentKind::LabeledEdit, "TabSheet3", Geometry{24, 156, 300, 24},
     "placeholder", true, true, 0, "PPPoE Password : ", '*'},
    {"Memo_PPPoE", ComponentKind::Memo, "TabSheet3", Geometry{24, 200, 650, 260}},
    {"Button_PPPoE", ComponentKind::Button, "TabSheet3", Geometry{24, 480, 90, 28}, "Apply"},
    {"Button_PPPoE2", ComponentKind::Button, "TabSheet3", Geometry{124, 480, 90, 28}, "Clear"},
    // DDNS; the two link labels open the chosen provider's pages.
    {"Label_ddns1", ComponentKind::Label, "TabSheet4", Geometry{24, 40, 110, 20}, "DDNS Select : "},
    {"ComboBox_ddns1", ComponentKind::ComboBox, "TabSheet4", Geometry{140, 36, 300, 24}},
    {"Label_ddns2", ComponentKind::Label, "TabSheet4", Geometry{460, 40, 60, 20}, "Home"},
    {"Label_ddns3", ComponentKind::Label, "TabSheet4", Geometry{530, 40, 120, 20},
     "Create Account"},
    {"LabeledEdit_ddns2", ComponentKind::LabeledEdit, "TabSheet4", Geometry{24, 100, 300, 24},
     "placeholder", true, true, 0, "DDNS User Name : "},
    {"LabeledEdit_ddns3", ComponentKind::LabeledEdit, "TabSheet4", Geometry{24, 156, 300, 24},
     "placeholder", true, true, 0, "DDNS Password : ", '*'},
    {"LabeledEdit_ddns4", ComponentKind::LabeledEdit, "TabSheet4", Geometry{24, 212, 300, 24},
     "placeholder", true, true, 0, "DDNS Host Name : "},
    {"Memo_DDNS", ComponentKind::Memo, "TabSheet4", Geometry{24, 250, 650, 215}},
    {"Button_DDNS", ComponentKind::Button, "TabSheet4", Geometry{24, 480, 90, 28}, "Apply"},
    {"Button_DDNS2", ComponentKind::Button, "TabSheet4", Geometry{124, 480, 90, 28}, "Clear"},
    // Mail: server fields on the left, addresses and texts on the right.
    {"Label_smtp1", ComponentKind::Label, "TabSheet5", Geometry{24, 40, 130, 20},
     "Send Mail Status : "},
    {"ComboBox_smtp1", ComponentKind::ComboBox, "TabSheet5", Geometry{160, 36, 120, 24}},
    {"Label_smtp2", ComponentKind::Label, "TabSheet5", Geometry{320, 40, 70, 20}, "Interval : "},
    {"ComboBox_smtp2", ComponentKind::ComboBox, "TabSheet5", Geometry{390, 36, 70, 24}},
    {"Label_smtp3", ComponentKind::Label, "TabSheet5", Geometry{466, 40, 40, 20}, "Min"},
    {"LabeledEdit_smtp1", ComponentKind::LabeledEdit, "TabSheet5", Geometry{24, 96, 300, 24},
     "placeholder", true, true, 0, "* SMTP Server : "},
    {"LabeledEdit_smtp10", ComponentKind::LabeledEdit, "TabSheet5", Geometry{24, 152, 300, 24},
     "placeholder", true, true, 0, "* SMTP Port : "},
    {"LabeledEdit_smtp2", ComponentKind::LabeledEdit, "TabSheet5", Geometry{24, 208, 300, 24},
     "placeholder", true, true, 0, "SMTP User : "},
    {"LabeledEdit_smtp3", ComponentKind::LabeledEdit, "TabSheet5", Geometry{24, 264, 300, 24},
     "placeholder", true, true, 0, "SMTP Password : ", '*'},
    {"CheckBox_SMTP", ComponentKind::CheckBox, "TabSheet5", Geometry{24, 296, 330, 24},
     "Log on using Secure Passwd Authentication"},
    {"LabeledEdit_smtp9", ComponentKind::LabeledEdit, "TabSheet5", Geometry{24, 352, 300, 24},
     "placeholder", true, true, 0, "Location : "},
    {"LabeledEdit_smtp4", ComponentKind::LabeledEdit, "TabSheet5", Geometry{360, 96, 300, 24},
     "placeholder", true, true, 0, "* Sender's E-mail :  "},
    {"LabeledEdit_smtp5", ComponentKind::LabeledEdit, "TabSheet5", Geometry{360, 152, 300, 24},
     "placeholder", true, true, 0, "* Receiver's E-mail 1 : "},
    {"LabeledEdit_smtp6", ComponentKind::LabeledEdit, "TabSheet5", Geometry{360, 208, 300, 24},
     "placeholder", true, true, 0, "Receiver's E-mail 2 : "},
    {"LabeledEdit_smtp7", ComponentKind::LabeledEdit, "TabSheet5", Geometry{360, 264, 300, 24},
     "placeholder", true, true, 0, "Receiver's E-mail 3 : "},
    {"LabeledEdit_smtp8", ComponentKind::LabeledEdit, "TabSheet5", Geometry{360, 320, 300, 24},
     "placeholder", true, true, 0, "Subject : "},
    {"Memo_SMTP", ComponentKind::Memo, "TabSheet5", Geometry{24, 390, 650, 80}},
    {"Button_SMTP", ComponentKind::Button, "TabSheet5", Geometry{24, 480, 90, 28}, "Apply"},
    {"Button_SMTP2", ComponentKind::Button, "TabSheet5", Geometry{124, 480, 90, 28}, "Clear"},
    {"Button_SMTP3", ComponentKind::Button, "TabSheet5", Geometry{224, 480, 90, 28}, "Test Mail"},
    // Title: the channel title editor comes with its own module.
    {"Button_Title1", ComponentKind::Button, "TabSheet6", Geometry{24, 480, 90, 28}, "Apply"},
    // UPnP.
    {"Label_upnp1", ComponentKind::Label, "TabSheet7", Geometry{24, 40, 120, 20}, "UPnP Status : "},
    {"ComboBox_upnp", ComponentKind::ComboBox, "TabSheet7", Geometry{150, 36, 120, 24}},
    {"LabeledEdit_upnp", ComponentKind::LabeledEdit, "TabSheet7", Geometry{24, 100, 200, 24}, "80",
     true, true, 0, "UPnP Port : "},
    {"Memo_UPNP", ComponentKind::Memo, "TabSheet7", Geometry{24, 140, 650, 320}},
    {"Button_UPNP", ComponentKind::Button, "TabSheet7", Geometry{24, 480, 90, 28}, "Apply"},
};

}  // namespace

std::span<const ComponentSpec> main_form_description() { return kMainForm; }

}  // namespace tessomar::shell
