// varno-ctl hosts check: etc/hosts read line by line as the agent reads it, each problem
// named by its line, then every server the agent would use tried: connected and asked for
// the greeting's answer, so a wrong port or a dead server shows before a night's job fails.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/env.h"
#include "platform/error.h"
#include "platform/socket.h"
#include "protocol/ckfs.h"
#include "tools/varno-ctl/ctl.h"

namespace {

constexpr const char kHostsPath[] = "etc/hosts";
constexpr int kMaxServers = 2;       // the agent uses the first two
constexpr int kAnswerWaitMs = 5000;  // for the server's key announcement
constexpr int kKeyTextMax = 511;     // longest key text a server may announce
constexpr uint8_t kGreeting[4] = {0x01, 0x30, 0x32, 0x02};

struct Server {
  int line;
  std::string host;
  std::string port_text;
};

// The port as the agent reads it: leading digits, 0 when there are none; -1 when the text
// holds more than digits (the agent drops the rest) or more than fits.
long strict_port(const std::string& text, long* lenient) {
  size_t i = text.find_first_not_of(" \t");
  if (i == std::string::npos) i = text.size();
  size_t start = i;
  long value = 0;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9' && value <= 65535) {
    value = value * 10 + (text[i] - '0');
    ++i;
  }
  *lenient = value;
  return i == text.size() && start == 0 && i > 0 ? value : -1;
}

// Connects and reads the length of the key the server announces. Empty when it answered.
std::string try_server(const std::string& host, long port) {
  if (!plat_tcp_host_known(host.c_str())) return "host not found";
  Socket s = plat_tcp_connect(host.c_str(), static_cast<int>(port));
  if (!s.valid()) return plat_error_message(errno);
  if (plat_socket_send_all(s.get(), kGreeting, sizeof kGreeting) != sizeof kGreeting)
    return std::string("connected, but the greeting could not be sent: ") +
           plat_error_message(errno);
  uint8_t length[2];
  size_t got = 0;
  while (got < sizeof length) {
    if (plat_socket_wait_readable(s.get(), kAnswerWaitMs) != 1)
      return "connected, but no answer to the greeting (not a backup server?)";
    ssize_t n = plat_socket_recv(s.get(), length + got, sizeof length - got);
    if (n <= 0) return "connected, but the server closed the connection (not a backup server?)";
    got += static_cast<size_t>(n);
  }
  int announced = length[0] << 8 | length[1];
  if (announced == 0 || announced > kKeyTextMax)
    return "connected, but the answer is no server key (not a backup server?)";
  return "";
}

// The servers of the file as the agent reads its lines, each problem line named.
std::vector<Server> read_servers(FILE* file, int* warnings) {
  std::vector<Server> servers;
  char text[1024];  // the agent's line buffer: a longer line goes on as a line of its own
  for (int number = 1; fgets(text, sizeof text, file) != nullptr; ++number) {
    std::string line = text;
    line = line.substr(0, line.find('\n'));
    line = line.substr(0, line.find('\r'));
    line = line.substr(0, line.find('#'));
    while (!line.empty() && line.back() == ' ') line.pop_back();
    size_t colon = line.find(':');
    if (colon == std::string::npos) {
      if (line.find_first_not_of(" \t") != std::string::npos) {
        printf("%s:%d: warning: no ':' (host:port); the agent skips this line\n", kHostsPath,
               number);
        ++*warnings;
      }
      continue;
    }
    if (static_cast<int>(servers.size()) == kMaxServers) {
      printf("%s:%d: warning: the agent uses only the first %d servers and ignores this one\n",
             kHostsPath, number, kMaxServers);
      ++*warnings;
      continue;
    }
    servers.push_back({number, line.substr(0, colon), line.substr(colon + 1)});
  }
  return servers;
}

// Checks one server's line and tries the server; adds to the counts.
void check_server(Server s, int* errors, int* warnings) {
  long port = 0;
  long strict = strict_port(s.port_text, &port);
  std::string shown = s.host + ":" + s.port_text;
  if (s.host == ckfs_default_address()) {
    printf("%s:%d: note: the agent rewrites '%s' as '%s'\n", kHostsPath, s.line, s.host.c_str(),
           ckfs_default_host());
    s.host = ckfs_default_host();
  }
  if (port <= 0 || port > 65535) {
    printf("%s:%d: error: '%s': %s\n", kHostsPath, s.line, shown.c_str(),
           port <= 0 ? "no port (write host:port)" : "the port is not a port (1 to 65535)");
    ++*errors;
    return;
  }
  if (strict < 0) {
    printf("%s:%d: warning: '%s': the agent reads the port as %ld\n", kHostsPath, s.line,
           shown.c_str(), port);
    ++*warnings;
  }
  std::string why = try_server(s.host, port);
  if (why.empty()) {
    printf("%s:%d: %s:%ld: the backup server answered\n", kHostsPath, s.line, s.host.c_str(), port);
  } else {
    printf("%s:%d: error: %s:%ld: %s\n", kHostsPath, s.line, s.host.c_str(), port, why.c_str());
    ++*errors;
  }
}

}  // namespace

int ctl_hosts(int argc, char** argv) {
  if (argc != 2 || strcmp(argv[1], "check") != 0) {
    fprintf(stderr, "usage: varno-ctl hosts check\n");
    return CTL_USAGE;
  }
  FILE* file = plat_env()->open_stream(kHostsPath, "r");
  if (file == nullptr) {
    printf("%s: error: cannot be read: %s\n", kHostsPath, plat_error_message(errno));
    return CTL_FAILED;
  }
  int errors = 0;
  int warnings = 0;
  const std::vector<Server> servers = read_servers(file, &warnings);
  fclose(file);
  if (servers.empty()) {
    printf("%s: error: names no server (no line of the form host:port)\n", kHostsPath);
    return CTL_FAILED;
  }
  for (const Server& s : servers) check_server(s, &errors, &warnings);
  printf("%s: %d errors, %d warnings\n", kHostsPath, errors, warnings);
  return errors == 0 ? CTL_OK : CTL_FAILED;
}
