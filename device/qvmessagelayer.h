// The thin descriptor layer under the two procedural stream devices:
// readiness waits, reads and writes that call the link's yield function while
// they wait, the eight-byte out-of-band message record, and the process-wide
// registry of message handlers dispatched from SIGIO and SIGURG. Every
// routine works on plain descriptors and owns none of them.
#pragma once

#include <sys/uio.h>

#include <cstdint>

#include "api/qvyield.h"

// Reads one message of a registered device: nonzero when it read one.
using qv_message_reader = int (*)(void* device, uint64_t* code, uint64_t* argument);
using qv_plain_signal_function = void (*)(int);

// 1 when a descriptor is ready, 0 when none is within the time-out, -1 on an
// error or when all three are negative. An interrupted wait is repeated, ten
// attempts in all.
int unix_select(int readFd, int writeFd, int exceptFd, long microseconds) noexcept;

// Bytes read by one read (at most length); 0 when length is 0 or the yield
// function asked to stop; -2 at end of file; -1 on an error.
long unix_read(int fd, void* buffer, long length, qv_yield_function yielder, void* cookie, int forceYield,
               QVYieldParams* yieldData) noexcept;

// length when every byte is written; 0 when the yield function stopped it
// before any byte went; -1 on an error or when stopped after a part went.
long unix_write(int fd, const void* bytes, long length, qv_yield_function yielder, void* cookie, int forceYield,
                QVYieldParams* yieldData) noexcept;

// As unix_write, for a socket: a peer that has gone fails the write without
// raising SIGPIPE, so the caller need not hold the signal back.
long unix_send(int fd, const void* bytes, long length, qv_yield_function yielder, void* cookie, int forceYield,
               QVYieldParams* yieldData) noexcept;

// As unix_write, for a pipe, which never holds urgent data: without a yield
// function the write itself waits for room.
long unix_write_pipe(int fd, const void* bytes, long length, qv_yield_function yielder, void* cookie, int forceYield,
                     QVYieldParams* yieldData) noexcept;

// What a waiting write writes to: any descriptor (it is looked at for urgent
// data before each write), a socket (as unix_send) or a pipe (as
// unix_write_pipe).
enum class QVWriteTarget { kAny, kSocket, kPipe };

// As unix_write, unix_send or unix_write_pipe, for the bytes of count pieces
// (at most IOV_MAX) in order, written with as few system calls as the
// descriptor takes them in; the pieces are used up as they go. Answers the
// bytes of all the pieces when every one went, else as unix_write.
long unix_write_pieces(QVWriteTarget target, int fd, iovec* pieces, int count, qv_yield_function yielder, void* cookie,
                       int forceYield, QVYieldParams* yieldData) noexcept;

// Sends the record (the low 32 bits of each value) in one write: 1 when all
// eight bytes went, 0 otherwise or for a negative descriptor.
int unix_writemsg(int fd, uint64_t code, uint64_t argument) noexcept;

// Never waits, so it may run in signal context: takes the bytes already
// there and answers 1 with the values once a whole record has come. A record
// still incomplete is kept for the descriptor's next call (answer 0, outputs
// 0); end of file or a read error drops it.
int unix_readmsg(int fd, uint64_t* code, uint64_t* argument) noexcept;

// Installs the handler (or SIG_IGN / SIG_DFL) with an empty mask and no
// flags; the handler it replaced, or kWatchSignalRefused.
qv_plain_signal_function watchsignal(int number, qv_plain_signal_function handler) noexcept;
qv_plain_signal_function WatchSignalRefused() noexcept;

// Arms A (or B when A is negative) for signal-driven input: 1 on success, 0
// on failure or when both are negative.
int unix_arrange_to_get_msgs(int a, int b) noexcept;
// Disarms the descriptor and forgets any part of a record read from it, so
// that a descriptor number used again starts clean: 1 on success, 0 on failure.
int unix_arrange_to_stop_msgs(int fd) noexcept;

// The dispatch run on SIGIO and SIGURG: each registered device whose message
// descriptor is readable (or, without one, whose data descriptor holds urgent
// data) has its messages read and handed to its handler. Async-signal-safe.
void unix_signal_handler(int number) noexcept;

// Registers the device (an empty handler removes it): one entry per device,
// the newest first; 1, or 0 when the registry cannot grow. Not to be called
// from signal context. A change that replaces or removes an entry returns
// only once no dispatch on another thread can still use the old one, so the
// device and its descriptors may then be closed and freed.
int unix_setmsghandler(void* device, qv_message_reader reader, qv_message_handler handler, void* cookie,
                       int messageFd, int dataFd) noexcept;
// 1 with the handler and cookie when the device is registered, else 0.
int unix_getmsghandler(void* device, qv_message_handler* handler, void** cookie) noexcept;
// 1 when an entry was removed, else 0.
int unix_rmvmsghandler(void* device) noexcept;
