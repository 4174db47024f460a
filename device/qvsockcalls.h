// One-line wrappers around the socket calls the procedural devices use.
#pragma once

#include <netdb.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

int qvsock__startup() noexcept;
int qvsock__cleanup() noexcept;
int qvsock__gethostname(char* buffer, size_t size) noexcept;
struct hostent* qvsock__gethostbyname(const char* name) noexcept;
struct hostent* qvsock__gethostbyaddr(const void* address, socklen_t length, int family) noexcept;
// An IPv4 stream socket, close-on-exec.
int qvsock__socket() noexcept;
int qvsock__bind(int fd, const struct sockaddr* address, socklen_t length) noexcept;
int qvsock__listen(int fd, int backlog) noexcept;
int qvsock__accept(int fd, struct sockaddr* address, socklen_t* length) noexcept;
int qvsock__connect(int fd, const struct sockaddr* address, socklen_t length) noexcept;
int qvsock__getsockname(int fd, struct sockaddr* address, socklen_t* length) noexcept;
int qvsock__setsockopt(int fd, int level, int name, const void* value, socklen_t length) noexcept;
int qvsock__closesocket(int fd) noexcept;
// Each descriptor that is not negative is watched for its own readiness
// (reading, writing, urgent data) for at most microseconds; the number of
// readinesses found, 0 on time-out, -1 with errno on failure. No ceiling on
// descriptor numbers.
int qvsock__select(int readFd, int writeFd, int exceptFd, long microseconds) noexcept;
ssize_t qvsock__recv(int fd, void* bytes, size_t length, int flags) noexcept;
ssize_t qvsock__send(int fd, const void* bytes, size_t length, int flags) noexcept;
uint16_t qvsock__htons(uint16_t value) noexcept;
uint16_t qvsock__ntohs(uint16_t value) noexcept;
// Of the low 32 bits; the result is zero-extended.
unsigned long qvsock__htonl(unsigned long value) noexcept;
unsigned long qvsock__ntohl(unsigned long value) noexcept;
int qvsock__getlasterror() noexcept;
void qvsock__setlasterror(int error) noexcept;
// SO_KEEPALIVE on: setsockopt's result.
int qvsock___keepalive(int fd) noexcept;
// SO_REUSEADDR on: 0, else errno (-1 when errno is 0).
int qvsock___reuseaddr(int fd) noexcept;
// FD_CLOEXEC on: fcntl's result.
int qvsock___closeonexec(int fd) noexcept;
