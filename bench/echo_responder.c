/* echo_responder: the cheapest possible DNS upstream for benchmarks. It answers every query
 * on 127.0.0.1:<port> (UDP, batches through recvmmsg/sendmmsg): A queries with one A record
 * 192.0.2.9 (TTL 300), anything else with no data. Runs until killed.
 *
 *   echo_responder <port>
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

enum { kBatch = 64, kMaxMessage = 512 };

/* Turns the query in buf (len bytes) into its answer in place; returns the answer length or 0
 * to drop it. */
static size_t Answer(unsigned char* buf, size_t len) {
  if (len < 12 || (buf[2] & 0x80) || buf[4] != 0 || buf[5] != 1) return 0;
  size_t pos = 12;
  while (pos < len && buf[pos] != 0) {
    if (buf[pos] > 63) return 0;
    pos += 1u + buf[pos];
  }
  if (pos + 5 > len) return 0;
  size_t end = pos + 5; /* past the question; any OPT record is dropped */
  int is_a = buf[pos + 1] == 0 && buf[pos + 2] == 1;
  buf[2] = (unsigned char)(0x80 | (buf[2] & 0x79)); /* QR, opcode and RD kept */
  buf[3] = 0x80;                                    /* RA, NOERROR */
  buf[6] = 0;
  buf[7] = (unsigned char)is_a;
  buf[8] = buf[9] = buf[10] = buf[11] = 0;
  if (!is_a) return end;
  static const unsigned char kRecord[] = {0xc0, 0x0c, 0, 1, 0, 1, 0, 0, 1, 0x2c, 0, 4,
                                          192,  0,    2, 9};
  if (end + sizeof kRecord > kMaxMessage) return 0;
  memcpy(buf + end, kRecord, sizeof kRecord);
  return end + sizeof kRecord;
}

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: echo_responder <port>\n");
    return 2;
  }
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  struct sockaddr_in addr = {0};
  addr.sin_family = AF_INET;
  addr.sin_port = htons((unsigned short)atoi(argv[1]));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int size = 4 << 20;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
  if (fd < 0 || bind(fd, (struct sockaddr*)&addr, sizeof addr) != 0) {
    perror("echo_responder: bind");
    return 1;
  }
  static unsigned char bufs[kBatch][kMaxMessage];
  static struct sockaddr_in peers[kBatch];
  static struct iovec iov[kBatch];
  static struct mmsghdr in[kBatch], out[kBatch];
  for (;;) {
    for (int i = 0; i < kBatch; i++) {
      iov[i].iov_base = bufs[i];
      iov[i].iov_len = kMaxMessage;
      memset(&in[i].msg_hdr, 0, sizeof in[i].msg_hdr);
      in[i].msg_hdr.msg_iov = &iov[i];
      in[i].msg_hdr.msg_iovlen = 1;
      in[i].msg_hdr.msg_name = &peers[i];
      in[i].msg_hdr.msg_namelen = sizeof peers[i];
    }
    int n = recvmmsg(fd, in, kBatch, MSG_WAITFORONE, NULL);
    if (n <= 0) continue;
    int m = 0;
    for (int i = 0; i < n; i++) {
      size_t len = Answer(bufs[i], in[i].msg_len);
      if (len == 0) continue;
      iov[i].iov_len = len;
      out[m].msg_hdr = in[i].msg_hdr;
      out[m].msg_hdr.msg_iov = &iov[i];
      out[m].msg_len = 0;
      m++;
    }
    for (int sent = 0; sent < m;) {
      int k = sendmmsg(fd, out + sent, (unsigned)(m - sent), 0);
      if (k <= 0) break;
      sent += k;
    }
  }
}
