/* KTFile.cpp - file handle over a descriptor with complete reads and writes.
 *
 * Every operation checks its arguments first and answers misuse with
 * ERROR_INVALID_PARAMETER and a trace line. Interrupted or would-block
 * system calls are retried; all other failures become ERROR_FILE_SYSTEM.
 * The module traces (KTDEBUG_FILE) but never logs, since the log writes
 * its lines through these handles.
 */
#include "KTFile.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "KTDebug.h"
#include "KTString.h"
#include "KTUtils.h"

/* Plain static records: constant initialised, usable before any constructor. */
static KTFile sKTFileStdin = {0};
static KTFile sKTFileStdout = {1};
static KTFile sKTFileStderr = {2};

KTFile* const KTFileStdin = &sKTFileStdin;
KTFile* const KTFileStdout = &sKTFileStdout;
KTFile* const KTFileStderr = &sKTFileStderr;

namespace {

struct ModeEntry {
  const char* mode;
  int flags;
};

const ModeEntry kModes[] = {
    {"r", O_RDONLY},
    {"w", O_WRONLY | O_CREAT | O_TRUNC},
    {"a", O_WRONLY | O_CREAT | O_APPEND},
    {"r+", O_RDWR},
    {"w+", O_RDWR | O_CREAT | O_TRUNC},
    {"a+", O_RDWR | O_CREAT | O_APPEND},
};

bool IsStandardHandle(const KTFile* pFile) {
  return pFile == KTFileStdin || pFile == KTFileStdout || pFile == KTFileStderr;
}

}  // namespace

KTStatus KTFileModeToFlag(const char* mode, int* pFlags) {
  if (mode == nullptr || pFlags == nullptr) {
    KTDEBUG_MSG(KTDEBUG_FILE, "KTFileModeToFlag(): wrong arguments passed to the procedure");
    return ERROR_INVALID_PARAMETER;
  }
  /* Drop every "b" among the first four characters; the binary flag has no
   * meaning on this platform. At most two characters may remain. */
  char stripped[3];
  size_t len = 0;
  for (size_t i = 0; mode[i] != '\0'; ++i) {
    if (i < 4 && mode[i] == 'b') continue;
    if (len >= 2) {
      len = 3; /* too long */
      break;
    }
    stripped[len++] = mode[i];
  }
  if (len == 0 || len > 2) {
    KTDEBUG_MSG(KTDEBUG_FILE, "KTFileModeToFlag(): wrong arguments passed to the procedure");
    return ERROR_INVALID_PARAMETER;
  }
  stripped[len] = '\0';
  for (const ModeEntry& entry : kModes) {
    if (strcmp(entry.mode, stripped) == 0) {
      *pFlags = entry.flags;
      return STATUS_OK;
    }
  }
  KTDEBUG_MSG(KTDEBUG_FILE, "KTFileModeToFlag(): unknown mode");
  return ERROR_INVALID_PARAMETER;
}

KTStatus KTFileOpen(KTFile** ppFile, const char* filename, const char* mode) {
  if (ppFile == nullptr || *ppFile != nullptr || filename == nullptr || mode == nullptr) {
    KTDEBUG_MSG(KTDEBUG_FILE, "KTFileOpen(): wrong arguments passed to the procedure");
    return ERROR_INVALID_PARAMETER;
  }
  KTFile* pFile = static_cast<KTFile*>(calloc(1, sizeof(KTFile)));
  if (pFile == nullptr) {
    KTDEBUG_MSG(KTDEBUG_FILE, "KTFileOpen(): could not allocate memory");
    return ERROR_MEMORY_ALLOCATION;
  }
  int flags = 0;
  KTStatus status = KTFileModeToFlag(mode, &flags);
  if (status != STATUS_OK) {
    free(pFile);
    return status;
  }
  int fd;
  for (;;) {
    fd = open(filename, flags | O_CLOEXEC, 0666);
    if (fd >= 0) break;
    int err = errno;
    if (err != EAGAIN && err != EINTR) break;
    KTDEBUG_MSG(KTDEBUG_FILE, "KTFileOpen(): recoverable error on fd #%d (%s)", fd, strerror(err));
    if (err == EAGAIN) SleepMilliseconds(1000);
  }
  if (fd < 0) {
    int err = errno;
    KTDEBUG_MSG(KTDEBUG_FILE, "KTFileOpen(): open failed for file %s (%s)", filename, strerror(err));
    free(pFile);
    /* The log reports the reason of the failed open to its fallback. */
    errno = err;
    return ERROR_FILE_SYSTEM;
  }
  pFile->fd = fd;
  *ppFile = pFile;
  return STATUS_OK;
}

KTStatus KTFileClose(KTFile** ppFile) {
  if (ppFile == nullptr || *ppFile == nullptr || IsStandardHandle(*ppFile)) {
    KTDEBUG_MSG(KTDEBUG_FILE, "KTFileClose(): wrong arguments passed to the procedure");
    return ERROR_INVALID_PARAMETER;
  }
  KTFile* pFile = *ppFile;
  /* close() is not retried on EINTR: on Linux the descriptor is gone then. */
  int rc = close(pFile->fd);
  free(pFile);
  *ppFile = nullptr;
  return rc == 0 ? STATUS_OK : ERROR_FILE_SYSTEM;
}

KTStatus KTFileRead(KTFile* pFile, void* buffer, size_t* pLength) {
  if (pFile == nullptr || buffer == nullptr || pLength == nullptr) {
    KTDEBUG_MSG(KTDEBUG_FILE, "KTFileRead(): wrong arguments passed to the procedure");
    return ERROR_INVALID_PARAMETER;
  }
  char* pos = static_cast<char*>(buffer);
  size_t wanted = *pLength;
  size_t done = 0;
  KTStatus status = STATUS_OK;
  while (done < wanted) {
    ssize_t n = read(pFile->fd, pos + done, wanted - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n == 0) {
      KTDEBUG_MSG(KTDEBUG_FILE, "KTFileRead(): EOF read");
      status = ERROR_FILE_EOF;
      break;
    } else if (errno == EINTR || errno == EAGAIN) {
      KTDEBUG_MSG(KTDEBUG_FILE, "KTFileRead(): recoverable error on fd #%d (%s)", pFile->fd,
                  strerror(errno));
    } else {
      status = ERROR_FILE_SYSTEM;
      break;
    }
  }
  *pLength = done;
  return status;
}

KTStatus KTFileWrite(KTFile* pFile, const void* buffer, size_t* pLength) {
  if (pFile == nullptr || buffer == nullptr || pLength == nullptr) {
    KTDEBUG_MSG(KTDEBUG_FILE, "KTFileWrite(): wrong arguments passed to the procedure");
    return ERROR_INVALID_PARAMETER;
  }
  const char* pos = static_cast<const char*>(buffer);
  size_t wanted = *pLength;
  size_t done = 0;
  KTStatus status = STATUS_OK;
  while (done < wanted) {
    ssize_t n = write(pFile->fd, pos + done, wanted - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
      KTDEBUG_MSG(KTDEBUG_FILE, "KTFileWrite(): recoverable error (%s), trying again",
                  strerror(errno));
    } else {
      /* A write that stores nothing without an error would loop forever. */
      int err = n < 0 ? errno : EIO;
      KTDEBUG_MSG(KTDEBUG_FILE, "KTFileWrite(): error writing fd #%d (%s)", pFile->fd,
                  strerror(err));
      status = ERROR_FILE_SYSTEM;
      break;
    }
  }
  *pLength = done;
  return status;
}

KTStatus KTFileVPrintf(KTFile* pFile, const char* format, va_list args) {
  if (pFile == nullptr || format == nullptr) {
    KTDEBUG_MSG(KTDEBUG_FILE, "KTFileVFPrint(): wrong arguments passed to the procedure");
    return ERROR_INVALID_PARAMETER;
  }
  char* text = nullptr;
  int written = 0;
  KTStatus status = KTVFormatString(&text, &written, format, args);
  if (status != STATUS_OK) {
    free(text);
    return status;
  }
  size_t length = written > 0 ? static_cast<size_t>(written) : 0;
  status = KTFileWrite(pFile, text, &length);
  free(text);
  return status;
}

KTStatus KTFilePrintf(KTFile* pFile, const char* format, ...) {
  if (pFile == nullptr || format == nullptr) {
    KTDEBUG_MSG(KTDEBUG_FILE, "KTFileFPrint(): wrong arguments passed to the procedure");
    return ERROR_INVALID_PARAMETER;
  }
  va_list args;
  va_start(args, format);
  KTStatus status = KTFileVPrintf(pFile, format, args);
  va_end(args);
  return status;
}

KTStatus KTFileReadline(KTFile* pFile, char* buffer, size_t length) {
  if (pFile == nullptr || buffer == nullptr || length == 0) {
    KTDEBUG_MSG(KTDEBUG_FILE, "KTFileGets(): wrong arguments passed to the procedure");
    return ERROR_INVALID_PARAMETER;
  }
  memset(buffer, 0, length);
  size_t stored = 0;
  size_t consumed = 0;
  while (stored < length - 1) {
    char c;
    ssize_t n = read(pFile->fd, &c, 1);
    if (n == 1) {
      ++consumed;
      if (c == '\n') break;
      if (c == '\r') continue;
      buffer[stored++] = c;
    } else if (n == 0) {
      /* A last line without a line feed is still a line; end of file is
       * reported once nothing at all was read. */
      if (consumed > 0) break;
      KTDEBUG_MSG(KTDEBUG_FILE, "KTFileReadline(): EOF read");
      return ERROR_FILE_EOF;
    } else if (errno == EINTR || errno == EAGAIN) {
      KTDEBUG_MSG(KTDEBUG_FILE, "KTFileReadline(): recoverable error on fd #%d (%s)", pFile->fd,
                  strerror(errno));
    } else {
      return ERROR_FILE_SYSTEM;
    }
  }
  return STATUS_OK;
}

KTStatus KTFileFileno(KTFile* pFile, int* pFd) {
  if (pFile == nullptr || pFd == nullptr) {
    KTDEBUG_MSG(KTDEBUG_FILE, "KTFileFileno(): wrong arguments passed to the procedure");
    return ERROR_INVALID_PARAMETER;
  }
  *pFd = pFile->fd;
  return STATUS_OK;
}
