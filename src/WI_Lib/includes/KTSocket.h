/* KTSocket.h - C-style TCP socket: client connect with time-out, listening
 * and accepted sockets, bounded send and receive loops.
 *
 * Every wait is a poll() of the one descriptor, so any descriptor number the
 * process can open works. Transfers move at most 512 bytes per system call and
 * wait (up to the socket's `timeout`) before each chunk. Sends never raise
 * SIGPIPE: a peer that went away is reported as ERROR_SOCKET_SEND.
 *
 * Every operation returns a KTStatus, checks its pointer arguments first
 * (ERROR_INVALID_PARAMETER) and reports failures in the log given as its last
 * argument (KTSocketFPrint takes it before the format). A KTSocket has no lock:
 * one thread uses it at a time.
 */
#ifndef KTSOCKET_H
#define KTSOCKET_H

#include <stddef.h>
#include <time.h>

#include "KTLog.h"
#include "KTStatus.h"

/* Default bound of every wait in send and receive, in milliseconds. */
#define KTSOCKET_DEFAULT_TIMEOUT 998000
/* Largest chunk moved by one send or recv call. */
#define KTSOCKET_CHUNK 512
/* A pooled connection older than this (seconds) is never reused. */
#define KTSOCKET_MAX_AGE 300
/* Connect time-outs (seconds) must be below this. */
#define KTSOCKET_MAX_CONNECT_TIMEOUT 100

typedef struct KTSocket {
  int socket;            /* the descriptor */
  unsigned short port;   /* remote port, or the bound port of a listening socket */
  char* ip;              /* owned: remote host, accepted peer, or bind host ("*" = any) */
  int connected;         /* 1 once connected; also for listening and accepted sockets */
  int created;           /* 1 once the descriptor exists; freeing closes it only then */
  int timeout;           /* milliseconds each send/receive wait may take */
  time_t timeConnected;  /* clock time (KTTimeNow) of the successful connect */
} KTSocket;

/* Creates a stream socket of `family` (AF_INET, AF_INET6) with SO_KEEPALIVE on
 * and the default time-out. *ppSocket must be null and stays null on failure
 * (ERROR_SOCKET_OPEN, ERROR_SOCKET_OPTION, ERROR_MEMORY_ALLOCATION). */
KTStatus KTSocketNew(KTSocket** ppSocket, int family, KTLog* pLog);

/* Closes the descriptor if created, frees the record and nulls *ppSocket. */
KTStatus KTSocketFree(KTSocket** ppSocket, KTLog* pLog);

/* Sets the bound (milliseconds) of every later send and receive wait. */
KTStatus KTSocketSetTimeout(KTSocket* pSocket, int timeout, KTLog* pLog);

/* Sets TCP_MAXSEG; ERROR_SOCKET_OPTION when the system refuses it. */
KTStatus KTSocketSetMSS(KTSocket* pSocket, int mss, KTLog* pLog);

/* Connects a created, unconnected socket to host:port within `timeout`
 * seconds (0 waits without limit; 100 or more, or negative, is
 * ERROR_INVALID_PARAMETER). The socket stays non-blocking afterwards.
 * Fails with ERROR_INTERNAL_INCONSISTENCE on a wrong state, the resolver's
 * status, ERROR_SOCKET_FCNTL or ERROR_SOCKET_CONNECT. */
KTStatus KTSocketConnect(KTSocket* pSocket, const char* host, unsigned short port,
                         int timeout, KTLog* pLog);

/* Tells whether a parked connection may be reused: 0 when usable,
 * ERROR_SOCKET when older than 300 seconds, with a pending exception, not
 * writable or readable (unasked data or the peer's end of stream);
 * ERROR_INTERNAL_INCONSISTENCE for a socket that was never created. */
KTStatus KTSocketCheck(KTSocket* pSocket, KTLog* pLog);

/* Sends exactly *pLength bytes; *pLength receives the number sent, also on
 * failure (ERROR_SOCKET, ERROR_SOCKET_TIMEOUT, ERROR_SOCKET_SEND). */
KTStatus KTSocketSend(KTSocket* pSocket, const char* buffer, size_t* pLength, KTLog* pLog);

/* Formats printf-style and sends the whole text; the status of the send, or
 * of the formatter when it fails. */
KTStatus KTSocketFPrint(KTSocket* pSocket, KTLog* pLog, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

/* Receives exactly *pLength bytes; *pLength receives the number received,
 * also on failure (ERROR_SOCKET, ERROR_SOCKET_TIMEOUT, ERROR_SOCKET_EOF,
 * ERROR_SOCKET_RECEIVE). */
KTStatus KTSocketReceive(KTSocket* pSocket, char* buffer, size_t* pLength, KTLog* pLog);

/* Reads one line into buffer (size *pLength, unchanged) until a "\n" (kept)
 * or *pLength - 1 bytes, consuming no byte after the "\n"; always
 * NUL-terminates what was read.
 * ERROR_INSUFFICIENT_BUFFER when no "\n" came within *pLength - 1 bytes,
 * else the status of a failed receive. */
KTStatus KTSocketReceiveLine(KTSocket* pSocket, char* buffer, size_t* pLength, KTLog* pLog);

/* Copies the host text and the port; ERROR_INSUFFICIENT_BUFFER (port still
 * set, host cut to hostLen - 1 characters) when the host does not fit. */
KTStatus KTSocketGetHostPort(KTSocket* pSocket, char* hostName, size_t hostLen,
                             unsigned short* pPort, KTLog* pLog);

/* Copies the descriptor. */
KTStatus KTSocketGetFd(KTSocket* pSocket, int* pFd, KTLog* pLog);

/* Creates a listening socket (SO_LINGER 0, SO_REUSEADDR, backlog 128) on IP
 * (null: any address of `family`) and port; with port 0 the record holds the
 * port the system chose. Fails with the resolver's status, ERROR_SOCKET_OPEN,
 * ERROR_SOCKET_CONNECT (bind) or ERROR_SOCKET_LISTENING; *ppSocket then stays
 * null and the descriptor is closed. */
KTStatus KTServerSocketNew(KTSocket** ppSocket, const char* IP, unsigned short port,
                           int family, KTLog* pLog);

/* Accepts one connection of a listening socket into a new record (*ppSocket
 * must be null); ERROR_SOCKET_ACCEPT, ERROR_GETNAMEINFO or
 * ERROR_MEMORY_ALLOCATION, with the accepted descriptor closed. When no
 * descriptor is left (EMFILE, ENFILE) the result is ERROR_SOCKET_DESCRIPTORS
 * with errno left at that error and only a trace written: the caller, which
 * must pace its retries, writes the log line, so that a listener at the
 * limit does not fill the log. */
KTStatus KTSocketAccept(KTSocket* pServerSocket, KTSocket** ppSocket, KTLog* pLog);

/* Returns a malloc'ed copy of the system's text for `number` (at most 255
 * characters), or null when out of memory; the caller frees it. */
char* KTFormatError(int number);

/* Copies the system's text for `number` into buffer (NUL-terminated, cut to
 * bufferSize - 1); ERROR_INVALID_PARAMETER for a null or empty buffer. */
KTStatus KTFormatSocketError(int number, char* buffer, size_t bufferSize);

#endif /* KTSOCKET_H */
