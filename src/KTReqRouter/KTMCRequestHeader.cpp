/* KTMCRequestHeader.cpp - the table of message-center header shapes and the scanner that reads a header by its shape. */
#include "KTMCRequestHeader.h"

#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "VXASPool.h"

namespace {

static_assert(MC_MAX_ADDRESS_LENGTH + 1 == 300, "address scan width must be 300");
static_assert(MC_MAX_POOLNAME_LENGTH + 1 == 100, "pool name scan width must be 100");
static_assert(MC_MAX_POOLNAME_LENGTH < ASPOOL_NAME_SIZE, "pool names must fit the pool record");

/* What one field of a header is and where it goes. */
enum FieldKind { SKIP, DATA_SIZE, ADDRESS, POOL, PID, PRIORITY, BROADCAST, END };

struct HeaderShape {
  int code;
  FieldKind fields[7];
  int needed; /* fields that must be read, SKIP fields not counted */
};

const HeaderShape kShapes[] = {
    {MC_REQUEST_INITIALFREE, {SKIP, SKIP, ADDRESS, POOL, PID, PRIORITY, END}, 2},
    {MC_REQUEST_IDLE, {SKIP, SKIP, ADDRESS, SKIP, END}, 1},
    {MC_REQUEST_WORKING, {SKIP, SKIP, ADDRESS, SKIP, END}, 1},
    {MC_REQUEST_UPDATECACHE, {SKIP, DATA_SIZE, ADDRESS, POOL, BROADCAST, END}, 4},
    {MC_REQUEST_SETMONFLAG, {SKIP, SKIP, ADDRESS, SKIP, END}, 1},
    {MC_REQUEST_FINISH, {SKIP, SKIP, ADDRESS, SKIP, END}, 1},
    {MC_REQUEST_INITIALPOOL, {SKIP, SKIP, ADDRESS, END}, 1},
    {MC_REQUEST_NEWPOOL, {SKIP, SKIP, ADDRESS, POOL, END}, 2},
    {MC_REQUEST_RELEASEPOOL, {SKIP, SKIP, ADDRESS, POOL, END}, 2},
};

const HeaderShape* shapeOf(int code) {
  for (const HeaderShape& shape : kShapes) {
    if (shape.code == code) return &shape;
  }
  return nullptr;
}

/* Reads one field at *pText the way the same conversion inside one whole
 * scan would (leading white space skipped, the same widths) and moves
 * *pText past it. False when the field does not read. */
bool scanField(const char** pText, FieldKind kind, MCRequestHeader* pFields) {
  int used = -1;
  switch (kind) {
    case SKIP:
      sscanf(*pText, " %*d%n", &used);
      break;
    case DATA_SIZE:
      sscanf(*pText, " %d%n", &pFields->dataSize, &used);
      break;
    case PID:
      sscanf(*pText, " %d%n", &pFields->pid, &used);
      break;
    case PRIORITY:
      sscanf(*pText, " %d%n", &pFields->priority, &used);
      break;
    case BROADCAST:
      sscanf(*pText, " %d%n", &pFields->broadcast, &used);
      break;
    case ADDRESS:
      sscanf(*pText, " %300s%n", pFields->address, &used);
      break;
    case POOL:
      sscanf(*pText, " %100s%n", pFields->pool, &used);
      break;
    case END:
      break;
  }
  if (used < 0) return false;
  *pText += used;
  return true;
}

/* True when the fields the shape holds have their allowed lengths. */
bool fieldsFit(const HeaderShape& shape, const MCRequestHeader& fields) {
  if (strlen(fields.address) > MC_MAX_ADDRESS_LENGTH) return false;
  for (int i = 0; shape.fields[i] != END; ++i) {
    if (shape.fields[i] == POOL) return strlen(fields.pool) <= MC_MAX_POOLNAME_LENGTH;
  }
  return true;
}

/* One integer as "%d" reads it (leading white space, an optional sign,
 * decimal digits); false when none is there or it does not fit an int. */
bool scanInt(const char** pText, int* pValue) {
  char* end = nullptr;
  errno = 0;
  const long value = strtol(*pText, &end, 10);
  if (end == *pText || errno == ERANGE || value < INT_MIN || value > INT_MAX) return false;
  *pValue = (int)value;
  *pText = end;
  return true;
}

}  // namespace

int MCScanCodeAndLength(const char* line, int* pCode, int* pLength) {
  if (line == nullptr || pCode == nullptr || pLength == nullptr) return 0;
  const char* text = line;
  if (!scanInt(&text, pCode)) return 0;
  return scanInt(&text, pLength) ? 2 : 1;
}

KTStatus MCScanRequestHeader(const char* header, int code, const char* who,
                             MCRequestHeader* pFields, KTLog* pLog) {
  const HeaderShape* pShape = shapeOf(code);
  if (header == nullptr || who == nullptr || pFields == nullptr || pShape == nullptr) {
    KTLogWrite(pLog, "MCScanRequestHeader(): wrong arguments passed to the procedure");
    return ERROR_INVALID_PARAMETER;
  }
  memset(pFields, 0, sizeof *pFields);
  int read = 0;
  const char* text = header;
  for (int i = 0; pShape->fields[i] != END; ++i) {
    if (!scanField(&text, pShape->fields[i], pFields)) break;
    if (pShape->fields[i] != SKIP) ++read;
  }
  const int ok = read >= pShape->needed && fieldsFit(*pShape, *pFields);
  if (ParseSocket(pFields->address, &pFields->port, ok) != 0) {
    KTLogWrite(pLog, "%s(): error parsing request '%s'", who, header);
    return ERROR_UNKNOWN;
  }
  return STATUS_OK;
}

int ParseSocket(char* IP, unsigned short* pPort, int ok) {
  if (!ok || IP == nullptr || pPort == nullptr) return 1;
  char* colon = strrchr(IP, ':');
  /* ":port" names no host: a server registered so would be handed out as
   * "0  port", which the web adapter cannot read. */
  if (colon == nullptr || colon == IP) return 1;
  /* The port is plain decimal: no sign, no blanks, at most 65535; text after
   * the digits is ignored as by a "%hu" scan. */
  const char* digits = colon + 1;
  if (*digits < '0' || *digits > '9') return 1;
  unsigned long value = 0;
  while (*digits >= '0' && *digits <= '9') {
    value = value * 10 + (unsigned long)(*digits - '0');
    if (value > 65535) return 1;
    ++digits;
  }
  if ((size_t)(colon - IP) > MC_MAX_HOST_LENGTH) return 1;
  *pPort = (unsigned short)value;
  *colon = '\0';
  return 0;
}
