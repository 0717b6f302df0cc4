#include "gateway/UdpListenerProbe.h"

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

UdpListenerProbe::~UdpListenerProbe() { close(); }

bool UdpListenerProbe::open(const sockaddr_in& self) {
  close();
  descriptor_ = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
  if (descriptor_ == -1) return false;
  if (ask(self, self) != Answer::kListening) {
    close();
    return false;
  }
  return true;
}

void UdpListenerProbe::close() {
  if (descriptor_ != -1) ::close(descriptor_);
  descriptor_ = -1;
}

UdpListenerProbe::Answer UdpListenerProbe::ask(const sockaddr_in& from, const sockaddr_in& to) {
  if (descriptor_ == -1) return Answer::kUnknown;
  struct {
    nlmsghdr header;
    inet_diag_req_v2 request;
  } message{};
  message.header.nlmsg_len = sizeof message;
  message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  // Without NLM_F_DUMP this is one exact lookup, not a walk of every socket.
  message.header.nlmsg_flags = NLM_F_REQUEST;
  message.header.nlmsg_seq = ++sequence_;
  message.request.sdiag_family = AF_INET;
  message.request.sdiag_protocol = IPPROTO_UDP;
  message.request.idiag_states = ~0u;
  // The kernel looks up the receiver of a datagram from "src" to "dst", the reverse of how it
  // names a socket's own ends in its answers.
  message.request.id.idiag_src[0] = from.sin_addr.s_addr;
  message.request.id.idiag_sport = from.sin_port;
  message.request.id.idiag_dst[0] = to.sin_addr.s_addr;
  message.request.id.idiag_dport = to.sin_port;
  message.request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
  message.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
  if (send(descriptor_, &message, sizeof message, MSG_NOSIGNAL) !=
      static_cast<ssize_t>(sizeof message)) {
    return Answer::kUnknown;
  }
  // The answer is queued before send() returns; never wait for one that does not come. An answer
  // to an earlier question left unread (after an interrupted read) is skipped by its number.
  alignas(nlmsghdr) uint8_t reply[1024];
  for (;;) {
    const ssize_t length = recv(descriptor_, reply, sizeof reply, MSG_DONTWAIT);
    if (length < 0 && errno == EINTR) continue;
    if (length < static_cast<ssize_t>(sizeof(nlmsghdr))) return Answer::kUnknown;
    nlmsghdr header;
    std::memcpy(&header, reply, sizeof header);
    if (header.nlmsg_seq != sequence_) continue;
    if (header.nlmsg_type == SOCK_DIAG_BY_FAMILY) return Answer::kListening;
    if (header.nlmsg_type != NLMSG_ERROR ||
        static_cast<size_t>(length) < NLMSG_LENGTH(sizeof(nlmsgerr))) {
      return Answer::kUnknown;
    }
    nlmsgerr error;
    std::memcpy(&error, reply + NLMSG_HDRLEN, sizeof error);
    return error.error == -ENOENT ? Answer::kNobody : Answer::kUnknown;
  }
}
