// One read of a socket together with its ancillary data (the sender's ids,
// passed descriptors), for the daemon's connections and the callback host's
// control socket alike.
#ifndef TARVI_ANCILLARY_H
#define TARVI_ANCILLARY_H

#include <cerrno>
#include <cstddef>
#include <sys/socket.h>
#include <sys/types.h>

// recvmsg of up to `cap` bytes into buf, with `control_len` bytes at
// `control` for the ancillary data, EINTR retried; descriptors that come
// are close-on-exec. *msg is left as recvmsg filled it, for its flags and
// CMSG_FIRSTHDR / CMSG_NXTHDR. Returns what recvmsg returned.
inline ssize_t recv_ancillary(int fd, void *buf, size_t cap, int flags, void *control, size_t control_len,
                              struct msghdr *msg) {
    struct iovec iov = {buf, cap};
    ssize_t n;
    do {
        *msg = {};
        msg->msg_iov = &iov;
        msg->msg_iovlen = 1;
        msg->msg_control = control;
        msg->msg_controllen = control_len;
        n = recvmsg(fd, msg, flags | MSG_CMSG_CLOEXEC);
    } while (n < 0 && errno == EINTR);
    msg->msg_iov = nullptr; // iov lived here only
    msg->msg_iovlen = 0;
    return n;
}

#endif
