/* KTCriticalSectionPThread.cpp - critical sections over POSIX mutexes in three variants.
 *
 * Thread-only sections keep everything on the heap with a process-private
 * mutex. Memory-manager sections take their shared part from a manager's
 * named block; raw sections use the start of a caller's block. All variants
 * share Enter and Leave, which disable the caller's cancellation while the
 * section is held and restore it afterwards.
 */
#include "KTCriticalSection.h"

#include <pthread.h>
#include <stdlib.h>

#include "KTDebug.h"
#include "KTLog.h"
#include "KTMemoryManager.h"
#include "KTUtils.h"

#define KTCS_SOURCE "KTCriticalSectionPThread"

/* Looks at a memory-manager section's shared part this often, 100 ms apart,
 * while another process initialises it. */
static const int kInitLooks = 11;
static const int kInitPauseMs = 100;

static inline int _LoadInitialized(const KTCriticalSectionSharedData* pShared) {
  return __atomic_load_n(&pShared->initialized, __ATOMIC_ACQUIRE);
}

static inline void _StoreInitialized(KTCriticalSectionSharedData* pShared, int value) {
  __atomic_store_n(&pShared->initialized, value, __ATOMIC_RELEASE);
}

static const char* _CancelStateName(int state) {
  if (state == PTHREAD_CANCEL_DISABLE) return "DISABLE";
  if (state == PTHREAD_CANCEL_ENABLE) return "ENABLE";
  return "UNKNOWN";
}

static KTStatus KTCriticalSectionPThreadEnter(KTCriticalSection* pCriticalSection) {
  KTDEBUG_MSG(KTDEBUG_TRACE, "KTCriticalSectionPThreadEnter( 0x%X )", KT_PTR32(pCriticalSection));
  if (pCriticalSection == NULL) {
    KTDEBUG_MSG(KTDEBUG_CRITICALSECTION,
                "KTCriticalSectionPThreadEnter(): wrong arguments passed to the procedure");
    return ERROR_INVALID_PARAMETER;
  }
  KT_ASSERT(NULL != pCriticalSection->pData, KTCS_SOURCE);
  KT_ASSERT(NULL != pCriticalSection->pData->pShared, KTCS_SOURCE);
  KT_ASSERT(1 == pCriticalSection->pData->pShared->initialized, KTCS_SOURCE);

  int oldState = 0;
  if (pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &oldState) != 0) {
    KTDEBUG_MSG(KTDEBUG_CRITICALSECTION, "KTCriticalSectionPThreadEnter(): pthread_setcancelstate() failed");
    return ERROR_UNKNOWN;
  }
  KTDEBUG_MSG(KTDEBUG_CRITICALSECTION, "KTCriticalSectionPThreadEnter(): detected the old cancel-state %s",
              _CancelStateName(oldState));
  if (pthread_mutex_lock(&pCriticalSection->pData->pShared->mutex) != 0) {
    KTDEBUG_MSG(KTDEBUG_CRITICALSECTION, "KTCriticalSectionPThreadEnter(): pthread_mutex_lock() failed");
    /* Nothing is held, so the caller's cancel state comes back at once. */
    pthread_setcancelstate(oldState, NULL);
    return ERROR_UNKNOWN;
  }
  /* Only the holder writes this. */
  pCriticalSection->pData->cancelstate = oldState;
  return STATUS_OK;
}

static KTStatus KTCriticalSectionPThreadLeave(KTCriticalSection* pCriticalSection) {
  if (pCriticalSection == NULL) {
    KTDEBUG_MSG(KTDEBUG_CRITICALSECTION,
                "KTCriticalSectionPThreadLeave(): wrong arguments passed to the procedure");
    return ERROR_INVALID_PARAMETER;
  }
  KT_ASSERT(NULL != pCriticalSection->pData, KTCS_SOURCE);
  KT_ASSERT(NULL != pCriticalSection->pData->pShared, KTCS_SOURCE);
  KT_ASSERT(1 == pCriticalSection->pData->pShared->initialized, KTCS_SOURCE);

  /* Read before unlocking: afterwards another thread may overwrite it. */
  int cancelState = pCriticalSection->pData->cancelstate;
  KTStatus status = STATUS_OK;
  if (pthread_mutex_unlock(&pCriticalSection->pData->pShared->mutex) != 0) {
    KTDEBUG_MSG(KTDEBUG_CRITICALSECTION, "KTCriticalSectionPThreadLeave(): pthread_mutex_unlock() failed");
    status = ERROR_UNKNOWN;
  }
  pthread_setcancelstate(cancelState, NULL);
  return status;
}

/* Frees the heap parts of a section whose shared part is handled elsewhere. */
static void _FreeHeapParts(KTCriticalSection* pCS, KTCriticalSectionData* pData) {
  free(pData);
  free(pCS);
}

static KTStatus KTCriticalSectionPThreadFree(KTCriticalSection** ppCriticalSection) {
  if (ppCriticalSection == NULL || *ppCriticalSection == NULL) {
    KTDEBUG_MSG(KTDEBUG_CRITICALSECTION,
                "KTCriticalSectionPThreadFree(): wrong arguments passed to the procedure");
    return ERROR_INVALID_PARAMETER;
  }
  KTCriticalSection* pCS = *ppCriticalSection;
  KTCriticalSectionData* pData = pCS->pData;
  if (pData != NULL && pData->pShared != NULL) {
    if (_LoadInitialized(pData->pShared) == 1) {
      pthread_mutex_destroy(&pData->pShared->mutex);
      pthread_mutexattr_destroy(&pData->pShared->mutexAttr);
    }
    free(pData->pShared);
  }
  _FreeHeapParts(pCS, pData);
  *ppCriticalSection = NULL;
  return STATUS_OK;
}

static KTStatus KTCriticalSectionPThreadAndIPCFree(KTCriticalSection** ppCriticalSection) {
  if (ppCriticalSection == NULL || *ppCriticalSection == NULL) {
    KTDEBUG_MSG(KTDEBUG_CRITICALSECTION,
                "KTCriticalSectionPThreadAndIPCFree(): wrong arguments passed to the procedure");
    return ERROR_INVALID_PARAMETER;
  }
  KT_ASSERT(NULL != (*ppCriticalSection)->pData, KTCS_SOURCE);
  KT_ASSERT(NULL != (*ppCriticalSection)->pData->pShared, KTCS_SOURCE);
  KT_ASSERT(NULL != (*ppCriticalSection)->pData->pMemMgr, KTCS_SOURCE);

  KTCriticalSection* pCS = *ppCriticalSection;
  KTCriticalSectionData* pData = pCS->pData;
  KTMemoryManager* pMemMgr = pData->pMemMgr;
  int references = 0;
  pMemMgr->ReleaseName(pMemMgr, pData->identifier, &references);
  if (references == 0) {
    pthread_mutex_destroy(&pData->pShared->mutex);
    pthread_mutexattr_destroy(&pData->pShared->mutexAttr);
    pMemMgr->Unalloc(pMemMgr, pData->pShared);
  }
  _FreeHeapParts(pCS, pData);
  *ppCriticalSection = NULL;
  return STATUS_OK;
}

static KTStatus KTCriticalSectionPThreadAndIPCRawFree(KTCriticalSection** ppCriticalSection) {
  if (ppCriticalSection == NULL || *ppCriticalSection == NULL) {
    KTDEBUG_MSG(KTDEBUG_CRITICALSECTION,
                "KTCriticalSectionPThreadAndIPCRawFree(): wrong arguments passed to the procedure");
    return ERROR_INVALID_PARAMETER;
  }
  _FreeHeapParts(*ppCriticalSection, (*ppCriticalSection)->pData);
  *ppCriticalSection = NULL;
  return STATUS_OK;
}

/* Allocates the record and its private part, zero-filled; false when out of memory. */
static bool _AllocHeapParts(KTCriticalSection** ppCS, KTCriticalSectionData** ppData) {
  *ppCS = (KTCriticalSection*)calloc(1, sizeof(KTCriticalSection));
  *ppData = (KTCriticalSectionData*)calloc(1, sizeof(KTCriticalSectionData));
  if (*ppCS == NULL || *ppData == NULL) {
    free(*ppCS);
    free(*ppData);
    *ppCS = NULL;
    *ppData = NULL;
    return false;
  }
  (*ppCS)->pData = *ppData;
  (*ppCS)->Enter = KTCriticalSectionPThreadEnter;
  (*ppCS)->Leave = KTCriticalSectionPThreadLeave;
  return true;
}

KTStatus KTCriticalSectionThreadNew(KTCriticalSection** ppCriticalSection) {
  if (ppCriticalSection == NULL || *ppCriticalSection != NULL) {
    KTDEBUG_MSG(KTDEBUG_CRITICALSECTION,
                "KTCriticalSectionThreadNew(): wrong arguments passed to the procedure");
    return ERROR_INVALID_PARAMETER;
  }
  KTCriticalSection* pCS = NULL;
  KTCriticalSectionData* pData = NULL;
  KTCriticalSectionSharedData* pShared = NULL;
  if (!_AllocHeapParts(&pCS, &pData) ||
      (pShared = (KTCriticalSectionSharedData*)calloc(1, sizeof(KTCriticalSectionSharedData))) == NULL) {
    KTDEBUG_MSG(KTDEBUG_CRITICALSECTION, "KTCriticalSectionThreadNew(): error allocating memory");
    if (pCS != NULL) _FreeHeapParts(pCS, pData);
    return ERROR_MEMORY_ALLOCATION;
  }
  pData->pShared = pShared;

  KTStatus status = STATUS_OK;
  bool attrInit = false;
  if (pthread_mutexattr_init(&pShared->mutexAttr) != 0) {
    KTDEBUG_MSG(KTDEBUG_CRITICALSECTION, "KTCriticalSectionThreadNew(): error initializing mutex-attributes");
    status = ERROR_UNKNOWN;
  } else {
    attrInit = true;
    if (pthread_mutexattr_settype(&pShared->mutexAttr, PTHREAD_MUTEX_NORMAL) != 0 ||
        pthread_mutexattr_setpshared(&pShared->mutexAttr, PTHREAD_PROCESS_PRIVATE) != 0) {
      KTDEBUG_MSG(KTDEBUG_CRITICALSECTION,
                  "KTCriticalSectionThreadNew(): error setting mutex-attributes to be process local");
      status = ERROR_UNKNOWN;
    } else if (pthread_mutex_init(&pShared->mutex, &pShared->mutexAttr) != 0) {
      KTDEBUG_MSG(KTDEBUG_CRITICALSECTION, "KTCriticalSectionThreadNew(): error initializing mutex");
      status = ERROR_UNKNOWN;
    } else {
      _StoreInitialized(pShared, 1);
    }
  }
  if (status != STATUS_OK) {
    if (attrInit) pthread_mutexattr_destroy(&pShared->mutexAttr);
    free(pShared);
    _FreeHeapParts(pCS, pData);
    *ppCriticalSection = NULL;
    return status;
  }
  pData->pMemMgr = NULL;
  pData->identifier = 0;
  pCS->Free = KTCriticalSectionPThreadFree;
  *ppCriticalSection = pCS;
  return STATUS_OK;
}

/* Initialises a process-shared mutex in pShared; returns 0, or ERROR_UNKNOWN
 * after writing the failing step to pLog with the caller's name. *pAttrInit
 * and *pMutexInit tell what has to be undone. */
static KTStatus _InitSharedMutex(KTCriticalSectionSharedData* pShared, const char* caller, KTLog* pLog,
                                 bool* pAttrInit, bool* pMutexInit) {
  *pAttrInit = false;
  *pMutexInit = false;
  if (pthread_mutexattr_init(&pShared->mutexAttr) != 0) {
    KTLogWrite(pLog, "%s(): error initializing mutex-attributes", caller);
    return ERROR_UNKNOWN;
  }
  *pAttrInit = true;
  if (pthread_mutexattr_settype(&pShared->mutexAttr, PTHREAD_MUTEX_NORMAL) != 0 ||
      pthread_mutexattr_setpshared(&pShared->mutexAttr, PTHREAD_PROCESS_SHARED) != 0) {
    KTLogWrite(pLog, "%s(): error setting mutex-attributes to be shared between processes", caller);
    return ERROR_UNKNOWN;
  }
  if (pthread_mutex_init(&pShared->mutex, &pShared->mutexAttr) != 0) {
    KTLogWrite(pLog, "%s(): error initializing mutex", caller);
    return ERROR_UNKNOWN;
  }
  *pMutexInit = true;
  return STATUS_OK;
}

KTStatus KTCriticalSectionThreadAndIPCNew(KTCriticalSection** ppCriticalSection, KTMemoryManager* pMemMgrMem,
                                          int identifier, KTLog* pLog) {
  static const char* kName = "KTCriticalSectionThreadAndIPCNew";
  if (ppCriticalSection == NULL || *ppCriticalSection != NULL || pMemMgrMem == NULL || identifier <= 0) {
    KTLogWrite(pLog, "%s(): wrong arguments passed to the procedure", kName);
    return ERROR_INVALID_PARAMETER;
  }
  KTCriticalSection* pCS = NULL;
  KTCriticalSectionData* pData = NULL;
  if (!_AllocHeapParts(&pCS, &pData)) {
    KTLogWrite(pLog, "%s(): error allocation memory from the heap", kName);
    return ERROR_MEMORY_ALLOCATION;
  }
  int references = 0;
  KTCriticalSectionSharedData* pShared = (KTCriticalSectionSharedData*)pMemMgrMem->NamedCalloc(
      pMemMgrMem, identifier, 1, sizeof(KTCriticalSectionSharedData), &references);
  if (pShared == NULL) {
    KTLogWrite(pLog, "%s(): error allocation memory from the SHM", kName);
    _FreeHeapParts(pCS, pData);
    return ERROR_MEMORY_ALLOCATION;
  }

  KTStatus status = STATUS_OK;
  bool attrInit = false;
  bool mutexInit = false;
  if (references == 1) {
    status = _InitSharedMutex(pShared, kName, pLog, &attrInit, &mutexInit);
    if (status == STATUS_OK) _StoreInitialized(pShared, 1);
  } else {
    /* Another user owns the initialisation; give it about a second. */
    int look = 0;
    while (_LoadInitialized(pShared) != 1 && ++look <= kInitLooks) SleepMilliseconds(kInitPauseMs);
    if (_LoadInitialized(pShared) != 1) {
      KTLogWrite(pLog,
                 "%s(): waiting for another process that is initializing the critical section timed out",
                 kName);
      status = ERROR_UNKNOWN;
    }
  }

  if (status != STATUS_OK) {
    pMemMgrMem->ReleaseName(pMemMgrMem, identifier, &references);
    if (references == 0) {
      if (mutexInit) pthread_mutex_destroy(&pShared->mutex);
      if (attrInit) pthread_mutexattr_destroy(&pShared->mutexAttr);
      pMemMgrMem->Unalloc(pMemMgrMem, pShared);
    }
    _FreeHeapParts(pCS, pData);
    *ppCriticalSection = NULL;
    return status;
  }
  pData->pShared = pShared;
  pData->pMemMgr = pMemMgrMem;
  pData->identifier = identifier;
  pCS->Free = KTCriticalSectionPThreadAndIPCFree;
  *ppCriticalSection = pCS;
  return STATUS_OK;
}

KTStatus KTCriticalSectionThreadAndIPCRawNew(KTCriticalSection** ppCriticalSection, void* pMemShared,
                                             size_t* pMemSharedSize, KTLog* pLog) {
  static const char* kName = "KTCriticalSectionThreadAndIPCRawNew";
  if (ppCriticalSection == NULL || *ppCriticalSection != NULL || pMemShared == NULL ||
      pMemSharedSize == NULL ||
      ((uintptr_t)pMemShared % alignof(KTCriticalSectionSharedData)) != 0) {
    KTLogWrite(pLog, "%s(): wrong arguments passed to the procedure", kName);
    return ERROR_INVALID_PARAMETER;
  }
  KTCriticalSection* pCS = NULL;
  KTCriticalSectionData* pData = NULL;
  if (!_AllocHeapParts(&pCS, &pData)) {
    KTLogWrite(pLog, "%s(): error allocating memory from the heap", kName);
    return ERROR_MEMORY_ALLOCATION;
  }
  if (*pMemSharedSize < sizeof(KTCriticalSectionSharedData)) {
    KTLogWrite(pLog, "%s(): the piece of shared memory I got was not big enough to store the shared data",
               kName);
    _FreeHeapParts(pCS, pData);
    return ERROR_MEMORY_ALLOCATION;
  }
  *pMemSharedSize = sizeof(KTCriticalSectionSharedData);
  KTCriticalSectionSharedData* pShared = (KTCriticalSectionSharedData*)pMemShared;

  for (;;) {
    int expected = 0;
    /* Exactly one process wins the step from 0 to -1 and initialises. */
    if (__atomic_compare_exchange_n(&pShared->initialized, &expected, -1, false, __ATOMIC_ACQ_REL,
                                    __ATOMIC_ACQUIRE)) {
      bool attrInit = false;
      bool mutexInit = false;
      KTStatus status = _InitSharedMutex(pShared, kName, pLog, &attrInit, &mutexInit);
      if (status != STATUS_OK) {
        if (attrInit) pthread_mutexattr_destroy(&pShared->mutexAttr);
        /* Let a later caller try again instead of waiting for ever. */
        _StoreInitialized(pShared, 0);
        _FreeHeapParts(pCS, pData);
        *ppCriticalSection = NULL;
        return status;
      }
      _StoreInitialized(pShared, 1);
      break;
    }
    if (expected == 1) break;
    if (expected != -1) {
      /* Neither free, nor being initialised, nor ready: the block is not a section. */
      KTLogWrite(pLog, "%s(): the shared data holds an invalid state (%d)", kName, expected);
      _FreeHeapParts(pCS, pData);
      *ppCriticalSection = NULL;
      return ERROR_UNKNOWN;
    }
    SleepMilliseconds(kInitPauseMs);
  }
  pData->pShared = pShared;
  pData->pMemMgr = NULL;
  pData->identifier = -1;
  pCS->Free = KTCriticalSectionPThreadAndIPCRawFree;
  *ppCriticalSection = pCS;
  return STATUS_OK;
}

size_t KTCriticalSectionPThreadSharedSize(void) { return sizeof(KTCriticalSectionSharedData); }
