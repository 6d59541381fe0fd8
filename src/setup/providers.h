// Our configuration of the DDNS providers the setup pages offer: the list texts, home and
// new-account pages, and the example hosts of the help texts. Code 2 is the DVR maker's own
// service; ours is a stand-in address until a real one exists.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace tessomar::setup {

constexpr int32_t kProviderDisabled = 0;
constexpr int32_t kProviderDynDns = 1;
constexpr int32_t kProviderMaker = 2;
constexpr int32_t kProviderNoIp = 3;
constexpr int32_t kProviderCount = 4;

struct Provider {
  int32_t code;
  std::string_view cli_name;  // as the command line names it
  std::string_view list_text;
  std::string_view home_page;     // empty: no page
  std::string_view account_page;  // empty: no page
};

// Each text fits the 64-byte entries the provider table was laid out for.
inline constexpr std::array<Provider, kProviderCount> kProviders = {{
    {kProviderDisabled, "disable", "Disable", "", ""},
    {kProviderDynDns, "dyndns", "https://account.dyn.com/", "https://account.dyn.com/",
     "https://account.dyn.com/entrance/"},
    {kProviderMaker, "maker", "https://ddns.tessomar.example/", "https://ddns.tessomar.example/",
     "https://ddns.tessomar.example/signup"},
    {kProviderNoIp, "noip", "https://www.noip.com/", "https://www.noip.com/",
     "https://www.noip.com/sign-up"},
}};

// The examples of the DDNS help texts.
inline constexpr std::string_view kDynDnsExampleHost = "guest1.dyndns.org";
inline constexpr std::string_view kDynDnsExampleWeb = "http://guest1.dyndns.org";
inline constexpr std::string_view kMakerExampleWeb = "http://guest.ddns.tessomar.example";

// The provider of a code; nullptr outside 0 to 3.
inline const Provider* find_provider(int32_t code) {
  if (code < 0 || code >= kProviderCount) return nullptr;
  return &kProviders[size_t(code)];
}

}  // namespace tessomar::setup
