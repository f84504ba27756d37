/* KTHash.cpp - text-keyed table with open addressing and downward linear
 * probing, stored as offsets in a memory manager.
 *
 * A key's home slot is its 64-bit lookup2 hash modulo (capacity - 1), so it
 * lies in 0 .. capacity - 2; probing steps down from there and wraps from
 * slot 0 to slot capacity - 1. Removal moves later members of the probe
 * chain down into the freed slot (Knuth's deletion for linear probing), so
 * there are no deleted markers. The slot array pointer and the pair and key
 * addresses are recomputed from their offsets at every use.
 */
#include "KTHash.h"

#include <limits.h>
#include <string.h>

#include "KTDebug.h"

namespace {

const uint64_t kGoldenRatio = 0x9e3779b9ULL;
const uint64_t kInitFactor = 0xe5768b62ULL;
const int kFirstCapacity = 256;
const int kLinearGrowthFrom = 65535;
const int kLinearGrowthStep = 65536;

/* The three-word mix of lookup2, on 64-bit words. */
inline void mix(uint64_t& a, uint64_t& b, uint64_t& c) {
  a -= b; a -= c; a ^= (c >> 13);
  b -= c; b -= a; b ^= (a << 8);
  c -= a; c -= b; c ^= (b >> 13);
  a -= b; a -= c; a ^= (c >> 12);
  b -= c; b -= a; b ^= (a << 16);
  c -= a; c -= b; c ^= (b >> 5);
  a -= b; a -= c; a ^= (c >> 3);
  b -= c; b -= a; b ^= (a << 10);
  c -= a; c -= b; c ^= (b >> 15);
}

inline uint64_t word(const unsigned char* k) {
  return (uint64_t)k[0] + ((uint64_t)k[1] << 8) + ((uint64_t)k[2] << 16) + ((uint64_t)k[3] << 24);
}

/* Refreshes the slot array address from its offset. */
void attach(KTHash* pHash, KTMemoryManager* pMgr) {
  pHash->pair = pHash->pairOffset != 0 ? (KTOffset*)pMgr->GetPtr(pMgr, pHash->pairOffset) : nullptr;
  KT_ASSERT(pHash->pair != nullptr || pHash->used == 0, "KTHash");
}

/* The pair stored in a slot, with its addresses refreshed. */
KeyValuePair* pairAt(KTMemoryManager* pMgr, KTOffset slot) {
  KeyValuePair* p = (KeyValuePair*)pMgr->GetPtr(pMgr, slot);
  p->key = (char*)pMgr->GetPtr(pMgr, p->keyOffset);
  p->value = p->valueOffset != 0 ? pMgr->GetPtr(pMgr, p->valueOffset) : nullptr;
  return p;
}

/* Home slot of a key for a table of `capacity` slots. */
int HashIndex(const char* key, int capacity) {
  KT_ASSERT(key != nullptr, "KTHash");
  KT_ASSERT(capacity > 1, "KTHash");
  const uint64_t n = strlen(key);
  const uint64_t h = KTHashFunction((const unsigned char*)key, n, n * kInitFactor);
  return (int)(h % (uint64_t)(capacity - 1));
}

inline int stepDown(int index, int capacity) { return index == 0 ? capacity - 1 : index - 1; }

/* The slot holding key, or the empty slot where it would go; -1 only when
 * every slot is taken by other keys (the load rule never lets that happen). */
int FindIndex(KTHash* pHash, KTMemoryManager* pMgr, const char* key) {
  int index = HashIndex(key, pHash->capacity);
  for (int probes = 0; probes < pHash->capacity; ++probes) {
    const KTOffset slot = pHash->pair[index];
    if (slot == 0 || strcmp(pairAt(pMgr, slot)->key, key) == 0) {
      KTDEBUG_MSG(KTDEBUG_HASH, "FindIndex(): found index %d", index);
      return index;
    }
    index = stepDown(index, pHash->capacity);
  }
  return -1;
}

/* Moves every pair into a new zeroed array of newCapacity + 1 slots; 2 when
 * that cannot be allocated (the table is unchanged then). */
KTStatus Rehash(KTHash* pHash, KTMemoryManager* pMgr, int newCapacity) {
  KT_ASSERT(newCapacity > 1, "KTHash");
  KTOffset* newPairs = (KTOffset*)pMgr->Calloc(pMgr, newCapacity + 1, sizeof(KTOffset));
  if (newPairs == nullptr) {
    KTDEBUG_MSG(KTDEBUG_HASH, "Rehash(): allocating memory failed");
    return ERROR_MEMORY_ALLOCATION;
  }
  if (pHash->pair != nullptr) {
    for (int i = 0; i <= pHash->capacity; ++i) {
      const KTOffset slot = pHash->pair[i];
      if (slot == 0) continue;
      int index = HashIndex(pairAt(pMgr, slot)->key, newCapacity);
      while (newPairs[index] != 0) index = stepDown(index, newCapacity);
      newPairs[index] = slot;
    }
    pMgr->Unalloc(pMgr, pHash->pair);
  }
  pHash->pair = newPairs;
  pHash->pairOffset = pMgr->GetOffset(pMgr, newPairs);
  pHash->capacity = newCapacity;
  KTDEBUG_MSG(KTDEBUG_HASH, "Rehash(): rehashing done: used %d, capacity %d, pair %d", pHash->used,
              pHash->capacity, (int)KT_PTR32(pHash->pair));
  return STATUS_OK;
}

/* Grows the table before an insertion when 90 % of its slots are used. */
KTStatus growIfNeeded(KTHash* pHash, KTMemoryManager* pMgr) {
  if ((double)pHash->used < 0.9 * (double)pHash->capacity) return STATUS_OK;
  KTDEBUG_MSG(KTDEBUG_HASH, "KTHashSet(): increase the hash capacity");
  long long requested;
  if (pHash->capacity < kFirstCapacity) {
    requested = kFirstCapacity;
  } else if (pHash->capacity > kLinearGrowthFrom) {
    requested = (long long)pHash->capacity + kLinearGrowthStep;
  } else {
    requested = 2LL * pHash->capacity;
  }
  if (requested <= pHash->used) requested = 2LL * pHash->used + 1;
  /* The slot array needs capacity + 1 slots, counted in an int. */
  if (requested >= INT_MAX) return ERROR_MEMORY_ALLOCATION;
  return Rehash(pHash, pMgr, (int)requested);
}

/* Releases a pair and its key copy. */
void releasePair(KTMemoryManager* pMgr, KeyValuePair* p) {
  if (p->key != nullptr) pMgr->Unalloc(pMgr, p->key);
  pMgr->Unalloc(pMgr, p);
}

}  // namespace

/* Never fails. */
uint64_t KTHashFunction(const unsigned char* k, uint64_t length, uint64_t initval) {
  uint64_t a = kGoldenRatio;
  uint64_t b = kGoldenRatio;
  uint64_t c = initval;
  uint64_t len = length;
  while (len >= 12) {
    a += word(k);
    b += word(k + 4);
    c += word(k + 8);
    mix(a, b, c);
    k += 12;
    len -= 12;
  }
  c += length;
  switch (len) { /* the lowest byte of c is taken by the length */
    case 11: c += (uint64_t)k[10] << 24; [[fallthrough]];
    case 10: c += (uint64_t)k[9] << 16; [[fallthrough]];
    case 9: c += (uint64_t)k[8] << 8; [[fallthrough]];
    case 8: b += (uint64_t)k[7] << 24; [[fallthrough]];
    case 7: b += (uint64_t)k[6] << 16; [[fallthrough]];
    case 6: b += (uint64_t)k[5] << 8; [[fallthrough]];
    case 5: b += k[4]; [[fallthrough]];
    case 4: a += (uint64_t)k[3] << 24; [[fallthrough]];
    case 3: a += (uint64_t)k[2] << 16; [[fallthrough]];
    case 2: a += (uint64_t)k[1] << 8; [[fallthrough]];
    case 1: a += k[0]; break;
    default: break;
  }
  mix(a, b, c);
  return c;
}

KTStatus KTHashNew(KTHash** ppHash, KTMemoryManager* pMgr) {
  KTDEBUG_MSG(KTDEBUG_TRACE, "KTHashNew( 0x%X, 0x%X )", KT_PTR32(ppHash), KT_PTR32(pMgr));
  if (ppHash == nullptr || *ppHash != nullptr || pMgr == nullptr) {
    KTDEBUG_MSG(KTDEBUG_HASH, "KTHashNew(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  KTHash* pHash = (KTHash*)pMgr->Calloc(pMgr, 1, sizeof(KTHash));
  if (pHash == nullptr) {
    KTDEBUG_MSG(KTDEBUG_HASH, "KTHashNew(): allocating memory failed");
    return ERROR_MEMORY_ALLOCATION;
  }
  pHash->key = -1;
  *ppHash = pHash;
  return STATUS_OK;
}

KTStatus KTHashNamedNew(KTHash** ppHash, KTMemoryManager* pMgr, int key, int* pInstanceCounter) {
  KTDEBUG_MSG(KTDEBUG_TRACE, "KTHashNamedNew( 0x%X, 0x%X, %d, 0x%X )", KT_PTR32(ppHash),
              KT_PTR32(pMgr), key, KT_PTR32(pInstanceCounter));
  if (ppHash == nullptr || *ppHash != nullptr || pMgr == nullptr || pInstanceCounter == nullptr) {
    KTDEBUG_MSG(KTDEBUG_HASH, "KTHashNamedNew(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  KTHash* pHash = (KTHash*)pMgr->NamedCalloc(pMgr, key, 1, sizeof(KTHash), pInstanceCounter);
  if (pHash == nullptr) {
    KTDEBUG_MSG(KTDEBUG_HASH, "KTHashNamedNew(): allocating memory failed");
    return ERROR_MEMORY_ALLOCATION;
  }
  if (*pInstanceCounter == 1) {
    pHash->key = key;
    pHash->capacity = 0;
    pHash->used = 0;
    pHash->pair = nullptr;
    pHash->pairOffset = 0;
  }
  KT_ASSERT(*pInstanceCounter == 1 || pHash->key == key, "KTHash");
  *ppHash = pHash;
  return STATUS_OK;
}

KTStatus KTHashFree(KTHash** ppHash, KTMemoryManager* pMgr) {
  KTDEBUG_MSG(KTDEBUG_TRACE, "KTHashFree( 0x%X, 0x%X )", KT_PTR32(ppHash), KT_PTR32(pMgr));
  if (ppHash == nullptr || *ppHash == nullptr || pMgr == nullptr) {
    KTDEBUG_MSG(KTDEBUG_HASH, "KTHashFree(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  KTHash* pHash = *ppHash;
  const KTStatus status = KTHashClear(pHash, pMgr);
  if (status != STATUS_OK) return status;
  if (pHash->pair != nullptr) pMgr->Unalloc(pMgr, pHash->pair);
  pMgr->Unalloc(pMgr, pHash);
  *ppHash = nullptr;
  return STATUS_OK;
}

KTStatus KTHashClear(KTHash* pHash, KTMemoryManager* pMgr) {
  KTDEBUG_MSG(KTDEBUG_TRACE, "KTHashClear( 0x%X, 0x%X )", KT_PTR32(pHash), KT_PTR32(pMgr));
  if (pHash == nullptr || pMgr == nullptr) {
    KTDEBUG_MSG(KTDEBUG_HASH, "KTHashClear(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  attach(pHash, pMgr);
  if (pHash->pair != nullptr) {
    for (int i = 0; i <= pHash->capacity; ++i) {
      if (pHash->pair[i] == 0) continue;
      releasePair(pMgr, pairAt(pMgr, pHash->pair[i]));
      pHash->pair[i] = 0;
    }
  }
  pHash->used = 0;
  return STATUS_OK;
}

KTStatus KTHashClearAndFreeElements(KTHash* pHash, KTMemoryManager* pMgr,
                                    KTHashDestructor destructor, ...) {
  KTDEBUG_MSG(KTDEBUG_TRACE, "KTHashClearAndFreeElements( 0x%X, 0x%X, 0x%X )", KT_PTR32(pHash),
              KT_PTR32(pMgr), KT_PTR32((void*)destructor));
  if (pHash == nullptr || pMgr == nullptr || destructor == nullptr) {
    KTDEBUG_MSG(KTDEBUG_HASH, "KTHashClearAndFreeElements(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  attach(pHash, pMgr);
  va_list args;
  va_start(args, destructor);
  if (pHash->pair != nullptr) {
    for (int i = 0; i <= pHash->capacity; ++i) {
      if (pHash->pair[i] == 0) continue;
      KeyValuePair* p = pairAt(pMgr, pHash->pair[i]);
      pMgr->Unalloc(pMgr, p->key);
      p->key = nullptr;
      va_list copy;
      va_copy(copy, args);
      destructor(&p->value, copy);
      va_end(copy);
      pMgr->Unalloc(pMgr, p);
      pHash->pair[i] = 0;
    }
  }
  va_end(args);
  pHash->used = 0;
  return STATUS_OK;
}

KTStatus KTHashSet(KTHash* pHash, KTMemoryManager* pMgr, const char* key, void* element) {
  KTDEBUG_MSG(KTDEBUG_TRACE, "KTHashSet( 0x%X, 0x%X, 0x%X, 0x%X ), arg3=%s", KT_PTR32(pHash),
              KT_PTR32(pMgr), KT_PTR32(key), KT_PTR32(element), key != nullptr ? key : "(null)");
  if (pHash == nullptr || pMgr == nullptr || key == nullptr) {
    KTDEBUG_MSG(KTDEBUG_HASH, "KTHashSet(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  attach(pHash, pMgr);
  KTStatus status = growIfNeeded(pHash, pMgr);
  if (status != STATUS_OK) return status;

  const int index = FindIndex(pHash, pMgr, key);
  KT_ASSERT(index >= 0, "KTHash");
  KeyValuePair* p;
  if (pHash->pair[index] != 0) {
    KTDEBUG_MSG(KTDEBUG_HASH, "KTHashSet(): key-value-pair already exists (%s)", key);
    p = pairAt(pMgr, pHash->pair[index]);
  } else {
    KTDEBUG_MSG(KTDEBUG_HASH, "KTHashSet(): key-value-pair does not exist (%s)", key);
    p = (KeyValuePair*)pMgr->Malloc(pMgr, sizeof(KeyValuePair));
    char* keyCopy = p != nullptr ? pMgr->Strdup(pMgr, key) : nullptr;
    if (keyCopy == nullptr) {
      KTDEBUG_MSG(KTDEBUG_HASH, "KTHashSet(): failed to allocate memory");
      if (p != nullptr) pMgr->Unalloc(pMgr, p);
      return ERROR_MEMORY_ALLOCATION;
    }
    p->key = keyCopy;
    p->keyOffset = pMgr->GetOffset(pMgr, keyCopy);
    pHash->pair[index] = pMgr->GetOffset(pMgr, p);
    pHash->used++;
  }
  p->value = element;
  p->valueOffset = element != nullptr ? pMgr->GetOffset(pMgr, element) : 0;
  return STATUS_OK;
}

KTStatus KTHashRemove(KTHash* pHash, KTMemoryManager* pMgr, const char* key) {
  KTDEBUG_MSG(KTDEBUG_TRACE, "KTHashRemove( 0x%X, 0x%X, 0x%X ), arg3=%s", KT_PTR32(pHash),
              KT_PTR32(pMgr), KT_PTR32(key), key != nullptr ? key : "(null)");
  if (pHash == nullptr || pMgr == nullptr || key == nullptr) {
    KTDEBUG_MSG(KTDEBUG_HASH, "KTHashRemove(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  attach(pHash, pMgr);
  if (pHash->pair == nullptr || pHash->capacity < 2) return STATUS_OK;

  int j = FindIndex(pHash, pMgr, key);
  if (j < 0 || pHash->pair[j] == 0) {
    KTDEBUG_MSG(KTDEBUG_HASH, "KTHashRemove(): key %s was not found in the hash", key);
    return STATUS_OK;
  }
  releasePair(pMgr, pairAt(pMgr, pHash->pair[j]));
  pHash->pair[j] = 0;

  /* Close the gap at j: a later chain member moves down into it unless its
   * home slot lies cyclically between its own slot and the gap, in which
   * case it is still reachable without passing j. */
  int i = j;
  for (int probes = 0; probes < pHash->capacity; ++probes) {
    i = stepDown(i, pHash->capacity);
    if (pHash->pair[i] == 0) break;
    const int r = HashIndex(pairAt(pMgr, pHash->pair[i])->key, pHash->capacity);
    if ((i <= r && r < j) || (r < j && j < i) || (j < i && i <= r)) continue;
    pHash->pair[j] = pHash->pair[i];
    pHash->pair[i] = 0;
    j = i;
  }
  pHash->used--;
  return STATUS_OK;
}

void* KTHashGet(KTHash* pHash, KTMemoryManager* pMgr, const char* key, KTStatus* pStatus) {
  KTDEBUG_MSG(KTDEBUG_TRACE, "KTHashGet( 0x%X, 0x%X, 0x%X, 0x%X ), arg3=%s", KT_PTR32(pHash),
              KT_PTR32(pMgr), KT_PTR32(key), KT_PTR32(pStatus), key != nullptr ? key : "(null)");
  if (pHash == nullptr || pMgr == nullptr || key == nullptr) {
    KTDEBUG_MSG(KTDEBUG_HASH, "KTHashGet(): wrong arguments passed to procedure");
    if (pStatus != nullptr) *pStatus = ERROR_INVALID_PARAMETER;
    return nullptr;
  }
  if (pStatus != nullptr) *pStatus = STATUS_OK;
  attach(pHash, pMgr);
  if (pHash->pair == nullptr || pHash->capacity < 2) return nullptr;
  const int index = FindIndex(pHash, pMgr, key);
  if (index < 0 || pHash->pair[index] == 0) return nullptr;
  return pairAt(pMgr, pHash->pair[index])->value;
}

int KTHashExists(KTHash* pHash, KTMemoryManager* pMgr, const char* key) {
  KTDEBUG_MSG(KTDEBUG_TRACE, "KTHashExists( 0x%X, 0x%X, 0x%X ), arg3=%s", KT_PTR32(pHash),
              KT_PTR32(pMgr), KT_PTR32(key), key != nullptr ? key : "(null)");
  if (pHash == nullptr || pMgr == nullptr || key == nullptr) {
    KTDEBUG_MSG(KTDEBUG_HASH, "KTHashExists(): wrong arguments passed to procedure");
    return 0;
  }
  attach(pHash, pMgr);
  if (pHash->pair == nullptr || pHash->capacity < 2) return 0;
  const int index = FindIndex(pHash, pMgr, key);
  return index >= 0 && pHash->pair[index] != 0 ? 1 : 0;
}

KTStatus KTHashKeys(KTHash* pHash, KTMemoryManager* pMgr, KTStringList* pKeys) {
  KTDEBUG_MSG(KTDEBUG_TRACE, "KTHashKeys( 0x%X, 0x%X, 0x%X )", KT_PTR32(pHash), KT_PTR32(pMgr),
              KT_PTR32(pKeys));
  if (pHash == nullptr || pMgr == nullptr || pKeys == nullptr) {
    KTDEBUG_MSG(KTDEBUG_HASH, "KTHashKeys(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  attach(pHash, pMgr);
  if (pHash->pair == nullptr) return STATUS_OK;
  for (int i = 0; i <= pHash->capacity; ++i) {
    if (pHash->pair[i] == 0) continue;
    const KTStatus status = KTStringListAdd(pKeys, pairAt(pMgr, pHash->pair[i])->key);
    if (status != STATUS_OK) return status;
  }
  return STATUS_OK;
}

KTStatus KTHashForEach(KTHash* pHash, KTMemoryManager* pMgr, KTHashIterator iterator, ...) {
  KTDEBUG_MSG(KTDEBUG_TRACE, "KTHashForEach( 0x%X, 0x%X, 0x%X )", KT_PTR32(pHash), KT_PTR32(pMgr),
              KT_PTR32((void*)iterator));
  if (pHash == nullptr || pMgr == nullptr || iterator == nullptr) {
    KTDEBUG_MSG(KTDEBUG_HASH, "KTHashForEach(): wrong arguments passed to procedure");
    return ERROR_INVALID_PARAMETER;
  }
  attach(pHash, pMgr);
  if (pHash->pair == nullptr) return STATUS_OK;
  va_list args;
  va_start(args, iterator);
  long result = 0;
  for (int i = 0; i <= pHash->capacity && result == 0; ++i) {
    if (pHash->pair[i] == 0) continue;
    KeyValuePair* p = pairAt(pMgr, pHash->pair[i]);
    va_list copy;
    va_copy(copy, args);
    result = iterator(p->key, p->value, copy);
    va_end(copy);
    if (result != 0) {
      KTDEBUG_MSG(KTDEBUG_HASH, "KTHashForEach(): iterator failed on slot %d (%ld)", i, result);
    }
  }
  va_end(args);
  return (KTStatus)result;
}
