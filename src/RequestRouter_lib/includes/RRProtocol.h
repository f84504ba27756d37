/* RRProtocol.h - the codes, limits and texts of the message-center, get-server and monitor protocols, shared by the router, its tools and its benchmark.
 *
 * Message center (TCP): a request is a header line "CODE LENGTH ...\n" and
 * LENGTH bytes of data; the codes are MCRequestCode. Get-server (UDP): one
 * datagram of at most RR_MAX_DATAGRAM bytes per attempt, answered with one
 * of RRResponseCode. Cache data, in both, is a sequence of items each ending
 * in RR_CACHE_DELIMITER; the item "All" resets every cache.
 */
#ifndef RRPROTOCOL_H
#define RRPROTOCOL_H

/* Request codes of the message-center protocol. */
enum MCRequestCode {
  MC_REQUEST_INITIALFREE = 2,   /* application server announces itself (address, pool, pid, priority) */
  MC_REQUEST_IDLE = 3,          /* application server is idle; answered with its pending cache data */
  MC_REQUEST_WORKING = 4,       /* application server is working; answered likewise */
  MC_REQUEST_UPDATECACHE = 5,   /* cache data for a pool (address, pool, broadcast flag) */
  MC_REQUEST_SETMONFLAG = 6,    /* application server enters monitor state */
  MC_REQUEST_FINISH = 7,        /* application server leaves, handing in its last cache data */
  MC_REQUEST_INITIALPOOL = 20,  /* a peer router starts and asks for our used pools */
  MC_REQUEST_NEWPOOL = 21,      /* a peer's pool got its first application server */
  MC_REQUEST_RELEASEPOOL = 22,  /* a peer's pool lost its last application server */
  MC_REQUEST_POOLCHANGES = 30,  /* obsolete; refused */
  MC_REQUEST_POOLRESET = 31,    /* obsolete; refused */
  MC_REQUEST_SHUTDOWN = 99      /* ends the router process */
};

/* Largest data length a message-center header may announce. */
#define MC_MAX_DATA_LENGTH (64 * 1024 * 1024)

/* The only get-server request code. */
#define RR_REQUEST_GETSERVER 1

/* Answer codes of the get-server protocol. */
enum RRResponseCode {
  RR_RESPONSE_OK = 0,        /* "0 host port": take this server */
  RR_RESPONSE_TRYLATER = 1,  /* no server idle now: try again */
  RR_RESPONSE_ABORT = 2,     /* a limit refuses the request: give up */
  RR_RESPONSE_ERROR = 3,     /* "3 status": the router failed */
  RR_RESPONSE_TIMEOUT = 4    /* the last attempt found no server: give up */
};

/* Longest get-server datagram; a longer one is dropped unanswered. */
#define RR_MAX_DATAGRAM 1023u

/* The two bytes that end every cache item. */
#define RR_CACHE_DELIMITER "\x01\x01"
#define RR_CACHE_DELIMITER_LENGTH 2
/* The item that resets every cache, and the same with its delimiter. */
#define RR_CACHE_RESET_ITEM "All"
#define RR_CACHE_RESET_DATA RR_CACHE_RESET_ITEM RR_CACHE_DELIMITER

/* Request codes of the monitor protocol (TCP): a line "CODE ...\n" answered
 * "0 LENGTH\n" and LENGTH bytes of lines. */
enum MonitorRequestCode {
  MONITOR_GET_SERVERS = 10,       /* one line per application server */
  MONITOR_GET_DEBUG = 11,         /* the same with the pending cache data */
  MONITOR_GET_MCSERVERS = 12,     /* one line per peer router */
  MONITOR_GET_POOLS = 13,         /* one line per pool */
  MONITOR_RESET_POOL = 14,        /* reset one pool's counters */
  MONITOR_RESET_ALL_POOLS = 15,   /* reset every pool's counters */
  MONITOR_GET_TRANSACTIONID = 16, /* obsolete; refused */
  MONITOR_EXPLAIN = 17            /* "17 <get-server description>": the selection, explained */
};

/* The pool whose cache data reaches the application servers of every pool. */
#define RR_DEFAULT_POOL "DefaultPool"

#endif /* RRPROTOCOL_H */
