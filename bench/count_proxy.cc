// count_proxy: an ssh ProxyCommand that relays the connection to
// host:port and counts its bytes, for the collector's benchmark: what
// goes over the wire, SSH's handshake and framing included.
//
//   count_proxy host port log
//
// When either side closes, it appends "SENT RECEIVED" (bytes to and from
// the server) as one line to log.
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
    fputs("usage: count_proxy host port log\n", stderr);
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
  uint64_t sent = 0, received = 0;
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
  }
  std::string line =
      std::to_string(sent) + " " + std::to_string(received) + "\n";
  int fd = open(argv[3], O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0 || write(fd, line.data(), line.size()) != ssize_t(line.size()))
    return 1;
  close(fd);
  return 0;
}
