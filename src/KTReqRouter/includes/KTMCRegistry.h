/* KTMCRegistry.h - the registry steps of the message center and of the start-up join: find or create a pool or a peer, enter a peer into a pool, move a server between pools, drop a pool left empty.
 *
 * The find-or-create steps stop at their first failure and tell the caller
 * which step failed (MCRegistryStep); given the name of the calling handler
 * (`who`) they also log it in that name, without one they log nothing of
 * their own and the caller reports the step in its own words (the start-up
 * join, in the exception it raises). Records an operation creates are
 * released again when a later step of the same operation fails.
 *
 * Thread safety: the pool list is changed by one thread only (see
 * VXASPoolList.h): the message-center listener while the router runs, the
 * instance's thread before the listeners start. These steps run there and
 * use the pool list's lookups without its read lock.
 */
#ifndef KTMCREGISTRY_H
#define KTMCREGISTRY_H

#include <string>

#include "KTLog.h"
#include "KTStatus.h"

struct ASPool;
struct ASPoolList;
struct KTASServer;
struct KTMCServer;
struct KTMCServerList;

/* The step of a registry operation that failed. */
enum MCRegistryStep {
  MC_REGISTRY_OK = 0,
  MC_REGISTRY_FIND,   /* looking the pool or peer up */
  MC_REGISTRY_CREATE, /* creating its record */
  MC_REGISTRY_LIST    /* adding the new record to the pool list or peer list */
};

/* *ppPool (must be null) = the pool called name, created with maxCacheItems
 * and added to the pool list when there is none; *pCreated tells which.
 * Returns 0, or the failing step's status with *pFailed naming the step (a
 * new pool that cannot be listed is freed). With who: "<who>(): error get
 * pool for name '%s'(%d).", "... error create pool for name '%s'(%d).",
 * "... error add pool '%s' to pool list (%d).". */
KTStatus MCRegistryFindOrCreatePool(struct ASPoolList* pPoolList, const char* name,
                                    int maxCacheItems, const char* who, struct ASPool** ppPool,
                                    bool* pCreated, MCRegistryStep* pFailed, KTLog* pLog);

/* Removes pPool from the list when created is set and it has neither
 * servers nor peers: undoes MCRegistryFindOrCreatePool for a request that
 * failed later. Nothing for a null pool. Never fails. */
void MCRegistryDropCreatedPool(struct ASPoolList* pPoolList, struct ASPool* pPool, bool created,
                               KTLog* pLog);

/* *ppMC (must be null) = the peer host:port of the peer list, created (its
 * send thread starts; MyIP/MyPort is this router's own message-center
 * endpoint) and added to the list when there is none. Returns 0, or the
 * failing step's status with *pFailed naming the step (a new record that
 * cannot be listed is freed). With who: "<who>(): error find MC (%d).",
 * "... error create MC for [%s]:%hu (status %d).", "... error add MC to
 * global list [%s]:%hu (status %d).". */
KTStatus MCRegistryFindOrCreatePeer(struct KTMCServerList* pMCs, const char* host,
                                    unsigned short port, const char* MyIP, unsigned short MyPort,
                                    const char* who, struct KTMCServer** ppMC,
                                    MCRegistryStep* pFailed, KTLog* pLog);

/* Enters the peer into the pool (ASPoolAddMC; a peer already there stays
 * as it is). Returns its failing status; a pool the caller has just created
 * (created set) is then dropped again. */
KTStatus MCRegistryAddPeerToPool(struct ASPoolList* pPoolList, struct ASPool* pPool, bool created,
                                 struct KTMCServer* pMC, KTLog* pLog);

/* Where a server ended up after MCRegistryMoveServer. */
enum MCMoveOutcome {
  MC_MOVE_ARRIVED, /* in the new pool, with the new pool name */
  MC_MOVE_STAYED,  /* could not be taken out: still in the old pool */
  MC_MOVE_FREED    /* belonged to no pool any more and could not join the new one: freed */
};

/* Moves the server pAS from pOldPool into pNewPool, whose name is newName:
 * takes it out of the old pool (telling the peers when that pool lost its
 * last server), drops the old pool when it is left empty, sets the
 * record's pool name and adds it to the new pool (announcing that pool to
 * the peers when it is its first server). A server that has left the old
 * pool always goes on to the new one, even when a step before failed; a
 * record is never left outside every pool. Each failure is logged in the
 * name of the caller `who`: "<who>(): error remove server from old pool.
 * (%d)", "... error ask if pool empty (%d).", "... error set pool name for
 * server (%d)", "... error add server to new pool. (%d)".
 * Returns 0 (*pOutcome MC_MOVE_ARRIVED) or the first failing status, with
 * *pOutcome telling where the server is; after MC_MOVE_FREED pAS must not
 * be used. An old pool whose removal failed may stay listed, empty. */
KTStatus MCRegistryMoveServer(struct ASPoolList* pPoolList, struct KTMCServerList* pMCs,
                              struct KTASServer* pAS, struct ASPool* pOldPool,
                              struct ASPool* pNewPool, const char* newName, const char* who,
                              MCMoveOutcome* pOutcome, KTLog* pLog);

/* *pHost = the server's host, *pPort its port (read through
 * KTASServerGetHost). Returns ERROR_INVALID_PARAMETER for null arguments,
 * else the buffer's failing status. */
KTStatus MCRegistryGetServerHost(struct KTASServer* pAS, std::string* pHost, unsigned short* pPort,
                                 KTLog* pLog);

#endif /* KTMCREGISTRY_H */
