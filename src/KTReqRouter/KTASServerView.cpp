/* KTASServerView.cpp - the dense store of the server records' views.
 *
 * The store has its own lock, taken only while a record is created or
 * freed; it is a leaf: nothing else is locked while it is held.
 */
#include <stdlib.h>
#include <string.h>

#include <mutex>
#include <new>

#include "KTLock.h"
#include "KTThreadSafety.h"
#include "internal/KTASServerInternal.h"

namespace {

/* The dense store of views: blocks of cache-line slots, taken in order, so
 * that the views of servers registered one after another lie side by side.
 * Released slots go to a free list and are taken again first; blocks are
 * never returned, so the store is as large as the most servers that ever
 * existed at once (64 bytes each). */
struct alignas(64) ViewSlot {
  unsigned char bytes[64];
};
static_assert(sizeof(KTASServerView) <= sizeof(ViewSlot), "a view must fit one slot");
const size_t kViewsPerBlock = 1024;

/* Created on first use; lives as long as the process. */
KTMutex gViewMutex;
std::once_flag gViewMutexCreated;
ViewSlot* gpViewBlock KT_GUARDED_BY(gViewMutex) = nullptr;      /* block being filled */
size_t gViewsUsed KT_GUARDED_BY(gViewMutex) = kViewsPerBlock;   /* slots taken from it */
ViewSlot* gpFreeViews KT_GUARDED_BY(gViewMutex) = nullptr;      /* released slots, linked
                                                                   through their first bytes */

KTMutex& ViewMutex() KT_RETURN_CAPABILITY(gViewMutex) {
  std::call_once(gViewMutexCreated, [] { (void)gViewMutex.Create(); });
  return gViewMutex;
}

}  // namespace

KTASServerView* KTASServerViewNew(KTASServer* pAS) {
  ViewSlot* pSlot = nullptr;
  {
    KTLockGuard guard(ViewMutex());
    if (!guard.locked()) return nullptr;
    if (gpFreeViews != nullptr) {
      pSlot = gpFreeViews;
      memcpy(&gpFreeViews, pSlot->bytes, sizeof gpFreeViews);
    } else {
      if (gViewsUsed == kViewsPerBlock) {
        void* pBlock = aligned_alloc(alignof(ViewSlot), kViewsPerBlock * sizeof(ViewSlot));
        if (pBlock == nullptr) return nullptr;
        gpViewBlock = static_cast<ViewSlot*>(pBlock);
        gViewsUsed = 0;
      }
      pSlot = &gpViewBlock[gViewsUsed++];
    }
  }
  memset(pSlot->bytes, 0, sizeof pSlot->bytes);
  KTASServerView* pView = new (pSlot->bytes) KTASServerView();
  pView->pServer = pAS;
  return pView;
}

void KTASServerViewFree(KTASServerView* pView) {
  if (pView == nullptr) return;
  pView->~KTASServerView();
  ViewSlot* pSlot = reinterpret_cast<ViewSlot*>(pView);
  KTLockGuard guard(ViewMutex());
  if (!guard.locked()) return; /* the slot stays taken */
  memcpy(pSlot->bytes, &gpFreeViews, sizeof gpFreeViews);
  gpFreeViews = pSlot;
}
