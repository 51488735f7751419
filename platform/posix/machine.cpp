#include "platform/machine.h"

#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <sys/socket.h>
#include <sys/sysinfo.h>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace {

std::string first_line(const char* path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  while (!line.empty() && isspace(static_cast<unsigned char>(line.back()))) line.pop_back();
  return line;
}

std::string upper(std::string s) {
  for (char& c : s) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return s;
}

bool is_uuid_text(const std::string& s) {
  if (s.size() != 36) return false;
  for (size_t i = 0; i < s.size(); ++i) {
    bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash ? s[i] != '-' : !isxdigit(static_cast<unsigned char>(s[i]))) return false;
  }
  return true;
}

}  // namespace

uint32_t plat_total_physical_memory() {
  struct sysinfo info {};
  if (sysinfo(&info) != 0) return 0;
  unsigned long long total =
      static_cast<unsigned long long>(info.totalram) * (info.mem_unit ? info.mem_unit : 1);
  return total > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(total);
}

int plat_first_adapter_address(uint8_t* address, size_t capacity) {
  ifaddrs* list = nullptr;
  if (address == nullptr || getifaddrs(&list) != 0) return -1;
  int best_index = INT_MAX;
  int length = -1;
  for (ifaddrs* a = list; a != nullptr; a = a->ifa_next) {
    if (a->ifa_addr == nullptr || a->ifa_addr->sa_family != AF_PACKET) continue;
    if (a->ifa_flags & IFF_LOOPBACK) continue;
    const auto* ll = reinterpret_cast<const sockaddr_ll*>(a->ifa_addr);
    if (ll->sll_halen == 0 || ll->sll_ifindex >= best_index) continue;
    size_t n = ll->sll_halen;
    if (n > sizeof(ll->sll_addr)) n = sizeof(ll->sll_addr);
    if (n > capacity) n = capacity;
    memcpy(address, ll->sll_addr, n);
    length = static_cast<int>(n);
    best_index = ll->sll_ifindex;
  }
  freeifaddrs(list);
  return length;
}

int plat_product_id(char* buffer, size_t capacity) {
  if (buffer == nullptr || capacity == 0) return -1;
  std::string id = first_line("/etc/machine-id");
  if (id.empty()) return -1;
  size_t n = id.size() < 39 ? id.size() : 39;
  if (n > capacity - 1) n = capacity - 1;
  memcpy(buffer, id.data(), n);
  buffer[n] = '\0';
  return static_cast<int>(n);
}

std::string plat_hardware_profile_guid() {
  std::string uuid = first_line("/sys/class/dmi/id/product_uuid");
  if (is_uuid_text(uuid)) return "{" + upper(uuid) + "}";
  std::string id = first_line("/etc/machine-id");
  if (id.size() != 32) return {};
  for (char c : id) {
    if (!isxdigit(static_cast<unsigned char>(c))) return {};
  }
  std::string made = id.substr(0, 8) + "-" + id.substr(8, 4) + "-" + id.substr(12, 4) + "-" +
                     id.substr(16, 4) + "-" + id.substr(20, 12);
  return "{" + upper(made) + "}";
}

std::string plat_profile_root() {
  const char* root = getenv("VARNO_PROFILE_ROOT");
  return root != nullptr ? std::string(root) : std::string();
}
