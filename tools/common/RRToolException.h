/* RRToolException.h - the error raised by the operator tools and the benchmark.
 *
 * A CToolException is a CException with a kind, so that a caller can tell a
 * usage mistake from an unreachable router, a time-out, a connection closed
 * by the other side or an answer that breaks the protocol, and pick an exit
 * status or a retry policy from it. The text is complete and meant for the
 * operator; it never needs the kind to be understood.
 *
 * Thread safety: an exception object is immutable after construction.
 */
#ifndef RRTOOLEXCEPTION_H
#define RRTOOLEXCEPTION_H

#include <string>

#include "Exception.h"

class CToolException : public CException {
 public:
  enum Kind {
    TOOL_USAGE,     /* the command line or an argument is wrong */
    TOOL_RESOLVE,   /* the host name cannot be resolved */
    TOOL_CONNECT,   /* the connection (or the datagram) was refused */
    TOOL_TIMEOUT,   /* no (complete) answer within the time-out */
    TOOL_CLOSED,    /* the other side closed the connection */
    TOOL_PROTOCOL,  /* the answer does not follow the protocol */
    TOOL_IO         /* any other failure of a system call */
  };

  CToolException(Kind kind, const std::string& message) : CException(message), mKind(kind) {}
  Kind kind() const { return mKind; }

 private:
  Kind mKind;
};

#endif /* RRTOOLEXCEPTION_H */
