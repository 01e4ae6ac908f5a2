// count_proxy: an ssh ProxyCommand that relays the connection to
// host:port and counts its bytes, for the collector's benchmark: what
// goes over the wire, SSH's handshake and framing included.
//
//   count_proxy host port dir
//
// It keeps "SENT RECEIVED" (bytes to and from the server so far) in a file
// of its own in dir, rewritten as they grow: a connection that outlives a
// run is counted up to where it stood.
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// Copies what is there from one descriptor to another: false at the end.
bool
relay(int from, int to, uint64_t *count)
{
  char buf[1 << 16];
  ssize_t n = read(from, buf, sizeof buf);
  if (n < 0 && errno == EINTR)
    return true;
  if (n <= 0)
    return false;
  for (ssize_t done = 0; done < n;) {
    ssize_t w = write(to, buf + done, size_t(n - done));
    if (w < 0 && errno == EINTR)
      continue;
    if (w <= 0)
      return false;
    done += w;
  }
  *count += uint64_t(n);
  return true;
}

}  // namespace

int
main(int argc, char *argv[])
{
  if (argc != 4) {
    fputs("usage: count_proxy host port dir\n", stderr);
    return 1;
  }
  addrinfo hints = {}, *ai;
  hints.ai_socktype = SOCK_STREAM;
  if (getaddrinfo(argv[1], argv[2], &hints, &ai) != 0)
    return 1;
  int s = socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
  if (s < 0 || connect(s, ai->ai_addr, ai->ai_addrlen) != 0) {
    perror("count_proxy: connect");
    return 1;
  }
  freeaddrinfo(ai);
  std::string log = std::string(argv[3]) + "/" + std::to_string(getpid());
  int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) {
    perror(log.c_str());
    return 1;
  }
  // ssh hands its own stderr on: a connection kept open for later
  // sessions must not keep the first session's stderr open as well.
  int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null < 0 || dup2(null, 2) < 0)
    return 1;
  uint64_t sent = 0, received = 0;
  auto note = [&] {
    char line[64];
    int n = snprintf(line, sizeof line, "%20llu %20llu\n",
                     static_cast<unsigned long long>(sent),
                     static_cast<unsigned long long>(received));
    if (pwrite(fd, line, size_t(n), 0) != n)
      exit(1);
  };
  for (;;) {
    pollfd p[2] = {{0, POLLIN, 0}, {s, POLLIN, 0}};
    if (poll(p, 2, -1) < 0) {
      if (errno == EINTR)
        continue;
      break;
    }
    if (p[0].revents != 0 && !relay(0, s, &sent))
      break;
    if (p[1].revents != 0 && !relay(s, 1, &received))
      break;
    note();
  }
  note();
  return 0;
}
