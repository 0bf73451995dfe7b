/* SPDX-License-Identifier: Apache-2.0 */
/* Versioned pools (libzim_memory): a version and a pool id per object, kept
 * by the pool outside the object's bytes, so that a reader in another process
 * can copy an object whole while its writer changes it.
 *
 * A versioned pool is chosen at creation (zim_shm_pool_create_with) and has
 * pool layout version 9; zim_shm_pool_create makes pools of version 8, as
 * before, and this release attaches both. In a versioned pool every block of
 * a table id and every untyped block comes with a version line: a block of
 * its own (tagged ZIM_SHM_POOL_VERSION_LINE, 32 bytes) right in front of the
 * object's block header, which a walk reports as one of the pool's records.
 *
 * The version is even while the object is whole and odd while a write is
 * under way. Versions are drawn from one pool-wide sequence: each write_end
 * gives the object 2 * sequence, so versions increase across all objects of
 * the pool. A new object is under way from its allocation until its writer's
 * first zim_shm_pool_write_end. The pool id, 64 bits, is drawn at allocation
 * from a pool-wide counter that only grows: no two objects of a pool ever
 * share one.
 *
 * Writers: each process that writes objects of a versioned pool holds a
 * writer slot (one of ZIM_SHM_POOL_WRITER_SLOTS) by a lock on the pool's file
 * that the kernel drops when the process dies or unmaps the pool; an object's
 * line names the slot and the slot's generation of its last writer, so that a
 * slot claimed again is not mistaken for the old writer. A write under way
 * whose writer's slot is free, or was claimed since, was left torn by a dead
 * writer: readers get EOWNERDEAD and the next write_begin rewrites it.
 *
 * An object of a pool that is not versioned, and any address outside the
 * mapped pool (heap objects), has no version: the bracket and read calls do
 * nothing and return 0, so that code bracketing every change needs not ask
 * where an object lives. An address inside a versioned pool that is not the
 * first byte of a live object is refused (-1, EINVAL). */
#ifndef ZIM_SIM_POOL_VERSIONS_H
#define ZIM_SIM_POOL_VERSIONS_H

#include <stdint.h>
#include <sys/types.h>
#include <zim/sim/export.h>
#include <zim/sim/pool_copies.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The block in front of every object's block header in a versioned pool. */
#define ZIM_SHM_POOL_VERSION_LINE (UINT32_MAX - 6)
#define ZIM_SHM_POOL_VERSIONED_LAYOUT_VERSION 9u
#define ZIM_SHM_POOL_WRITER_SLOTS 512u
/* Limits of the capacities a versioned pool records for its feed and index. */
/* The pool's own records of a versioned pool: its feed and its index, each
 * one run carved at creation (a walk reports them as records). */
#define ZIM_SHM_POOL_FEED (UINT32_MAX - 7)
#define ZIM_SHM_POOL_INDEX (UINT32_MAX - 8)
/* The feed holds a power of two of entries: a capacity is rounded up to one,
 * and to 8 at least. */
#define ZIM_SHM_POOL_MAX_FEED_CAPACITY (1u << 20)  /* entries */
#define ZIM_SHM_POOL_MAX_INDEX_CAPACITY (1u << 26) /* keys */
/* How long zim_shm_pool_read_begin waits for a live writer's write to end. */
#define ZIM_SHM_POOL_WRITE_BOUND_US 2000u

typedef struct zim_shm_pool_options {
  uint32_t versioned;      /* 1: a versioned pool; 0: as zim_shm_pool_create */
  uint32_t reserved;       /* 0 */
  uint64_t feed_capacity;  /* versioned: entries of the feed, 1 to ZIM_SHM_POOL_MAX_FEED_CAPACITY */
  uint64_t index_capacity; /* versioned: keys of the index, 1 to ZIM_SHM_POOL_MAX_INDEX_CAPACITY */
} zim_shm_pool_options_t;

/* zim_shm_pool_create with options; null options are zim_shm_pool_create's.
 * -1 with errno EINVAL and one line on stderr for options out of range
 * (versioned other than 0 or 1, reserved not 0, a capacity of 0 or past its
 * limit), ENOSPC when a versioned pool of that size has no room for its feed
 * and index (each a record carved at creation: the feed takes 48 bytes an
 * entry, the index 128 bytes a key); otherwise as zim_shm_pool_create. A
 * pool that is not versioned ignores the capacities. */
ZIM_SIM_API int zim_shm_pool_create_with(const char *name, uint64_t size,
                                         const zim_shm_pool_options_t *options);

/* 1 when the mapped pool is versioned, else 0. */
ZIM_SIM_API int zim_shm_pool_is_versioned(void);

/* The mapped versioned pool's identity: a random number, never 0, drawn when
 * its versions began (its creation, or its upgrade in place) and kept through
 * hand-overs and migrations. A pool made again under the same name, or
 * restored from an image, has another, so that a copy kept elsewhere can
 * tell that the versions it holds are not of this pool's sequence. 0 when no
 * versioned pool is mapped, and for pools made by earlier releases. */
ZIM_SIM_API uint64_t zim_shm_pool_identity(void);

/* Brackets a change of the object obj of the mapped pool. write_begin: 0, the
 * object's version now odd; 1 when its last writer died inside a write (the
 * object may be torn: rewrite it whole before write_end); -1 with errno EBUSY
 * while a write of it is under way (its allocation's included) by a writer
 * that lives, or EINVAL. write_end: the object gets the next version of the
 * pool's sequence (even) and its change is published in the pool's feed
 * (below); -1 with errno EINVAL when no write of it is under way or the
 * pool's feed is damaged, EPERM when another process's write is under way,
 * EOVERFLOW once 2^62 - 1 sequences were drawn. Other processes' writers may not be
 * in a write of the same object at once. */
ZIM_SIM_API int zim_shm_pool_write_begin(void *obj);
ZIM_SIM_API int zim_shm_pool_write_end(void *obj);

/* A reader's copy of obj: read_begin gives the version to copy at (even) and
 * read_end says whether the copy taken in between is whole. read_begin waits
 * at most ZIM_SHM_POOL_WRITE_BOUND_US for a write under way; -1 with errno
 * EOWNERDEAD when its writer died (or unmapped the pool) inside it, EBUSY when
 * it lasts past the bound, EINVAL. read_end: 0 when the copy is whole, -1 with
 * errno EAGAIN when a write came in between (copy again). Readers write
 * nothing in the pool and print nothing. For objects without a version both
 * return 0 (version 0). */
ZIM_SIM_API int zim_shm_pool_read_begin(const void *obj, uint64_t *version);
ZIM_SIM_API int zim_shm_pool_read_end(const void *obj, uint64_t version);

/* The version of obj as it stands (odd: a write under way); 0 without one. */
ZIM_SIM_API uint64_t zim_shm_pool_version_of(const void *obj);

/* The pool id of obj; 0 for an object without one. */
ZIM_SIM_API uint64_t zim_shm_pool_id_of(const void *obj);

/* The pid of the writer of a write of obj under way, as that writer recorded
 * it when it claimed its slot (a dead writer's too, for messages: the pid may
 * have been reused since); 0 when no write is under way or obj has no
 * version. Liveness is never judged by this pid. */
ZIM_SIM_API pid_t zim_shm_pool_writer_of(const void *obj);

/* One writer for the mapped versioned pool: the calling process becomes its
 * only writer for as long as it lives and keeps the pool mapped. From then on
 * every other process's zim_shm_pool_write_begin, zim_shm_pool_write_end,
 * allocation of a block (zim_shm_table_pool_calloc, zim_shm_pool_calloc_untyped,
 * zim_shm_pool_alloc_with_id) and index put or removal in the pool fails with
 * errno EPERM; a write of
 * another process already under way at the claim cannot end (claim before
 * other writers start). The claim is the holder's writer slot, recorded in
 * the pool: it ends when the kernel drops that slot's lock (the holder died
 * or unmapped the pool), and the next claimer takes it over.
 * 0 on success, also when the caller holds the claim already; -1 with errno
 * EBUSY while another live process holds it, EINVAL when no versioned pool is
 * mapped, EAGAIN when no writer slot is left. */
ZIM_SIM_API int zim_shm_pool_claim_writes(void);

/* The pid of the live holder of the writes of pool `name`, read by name
 * without mapping it (as the holder recorded it in its writer slot): 1 and
 * *holder, 0 when nobody holds them (or the pool is not versioned), -1 with
 * errno as zim_shm_pool_versions_read. */
ZIM_SIM_API int zim_shm_pool_writes_holder(const char *name, pid_t *holder);

/* Objects made under given pool ids, for copiers: zim/sim/pool_copies.h. */

/* What the inspector tells of a versioned pool, read by name without mapping
 * it: the last sequence number drawn, the pool ids drawn, the objects with a
 * write under way and, of those, the ones whose writer died. */
typedef struct zim_shm_pool_versions_report {
  uint64_t sequence;
  uint64_t pool_ids;
  uint64_t under_way;
  uint64_t torn;
  uint64_t first_torn; /* offset of the first torn object, 0 for none */
} zim_shm_pool_versions_report_t;

/* 1 and *report for a versioned pool, 0 for a pool that is not; -1 with
 * errno: EINVAL for a bad name, a segment that is not a pool or a versioned
 * pool's damaged state, else as zim_shm_pool_walk_headers gives it. A
 * writer that is claiming a slot at that instant may count as alive. */
ZIM_SIM_API int zim_shm_pool_versions_read(const char *name,
                                           zim_shm_pool_versions_report_t *report);

/* What else a tool tells of a versioned pool, read by name without mapping
 * it, as one pass reads it while writers may work (each count as its words
 * stood when read): its feed's next sequence and capacity, its index's keys
 * and capacity, and the objects that need an eye: those a dead writer left
 * torn, and live objects of a table id that has keys in the index which no
 * key names (a process killed between making an object and putting its key,
 * or an object whose key was removed or given another object). */
typedef struct zim_shm_pool_rooms_report {
  uint64_t next_sequence;  /* the feed's next sequence to draw */
  uint64_t feed_capacity;  /* its ring's entries */
  uint64_t index_keys;     /* the keys the index holds */
  uint64_t index_capacity; /* the keys it may hold */
  uint64_t torn;           /* objects visited as torn */
  uint64_t unindexed;      /* objects visited as unindexed */
} zim_shm_pool_rooms_report_t;

#define ZIM_SHM_POOL_OBJECT_UNINDEXED 3u

typedef struct zim_shm_pool_object_fault {
  uint64_t offset; /* the object's first byte in the segment */
  uint64_t pool_id;
  uint64_t version; /* torn: odd */
  uint32_t table_id;
  uint32_t state;     /* ZIM_SHM_POOL_OBJECT_TORN or ZIM_SHM_POOL_OBJECT_UNINDEXED */
  int32_t writer_pid; /* torn: its dead writer's, as that writer's slot recorded it; else 0 */
  uint32_t reserved;
} zim_shm_pool_object_fault_t;

/* 1, *report and a visit for each torn or unindexed object (visit may be
 * null; a non-zero return stops the pass, which still returns 1 with what
 * was counted); 0 for a pool that is not versioned; -1 with errno as
 * zim_shm_pool_versions_read, EINVAL also for a damaged feed or index header.
 * Memory grows with the index's keys, time with its capacity and the pool's
 * blocks. */
ZIM_SIM_API int zim_shm_pool_rooms_read(const char *name, zim_shm_pool_rooms_report_t *report,
                                        int (*visit)(const zim_shm_pool_object_fault_t *fault,
                                                     void *context),
                                        void *context);

/* Maps the versioned pool `name` as a follower: a process that reads its
 * objects (read brackets, zim_shm_pool_block_at, the walk, the index's
 * lookups) and follows its feed (zim_shm_pool_follow, _changes, _wait,
 * _changed_since), as a relay or an inspector does, but writes none:
 * zim_shm_pool_write_begin, write_end, every allocation, the index's puts
 * and removals and zim_shm_pool_claim_writes fail with errno EPERM, and
 * zim_shm_pool_set_root does nothing. A follower does not count as a process
 * that maps the pool: the owner's zim_shm_pool_retire and zim_shm_pool_migrate
 * go on while it follows, and it learns of them from the feed (retired,
 * moved, layout changed; an object retired or moved away reads as no longer
 * an object, since blocks are never reused). Otherwise as zim_shm_pool_attach
 * (the same handshake, detached by zim_shm_pool_detach); -1 with errno
 * ENOTSUP also for a pool that is not versioned. */
ZIM_SIM_API int zim_shm_pool_attach_follower(const char *name);

/* Following a versioned pool's changes. Every change of the pool draws one
 * sequence number (versions are twice it) and publishes one entry in the
 * pool's feed, a ring of feed_capacity entries that writers in any process
 * fill without a lock and without waiting. A follower reads the entries from
 * a cursor of its own, in sequence order, and is told explicitly when it fell
 * a ring behind (lapped) or when a change is unknown (lost): then it copies
 * again whatever it follows. */
#define ZIM_SHM_POOL_CHANGE_CREATED 1u   /* an object's first write_end */
#define ZIM_SHM_POOL_CHANGE_CHANGED 2u   /* a later write_end */
#define ZIM_SHM_POOL_CHANGE_RETIRED 3u   /* zim_shm_pool_retire retired it */
#define ZIM_SHM_POOL_CHANGE_INDEXED 4u   /* a key now leads to it */
#define ZIM_SHM_POOL_CHANGE_UNINDEXED 5u /* a key no longer leads to it */
/* The pool as a whole (zim/sim/pool_upgrade.h). A follower that keeps its
 * view through a migration applies each move: the object of pool_id now lies
 * at key (its new offset), with the version 2 * sequence, and every key that
 * led to it leads there (the pool carries the index itself). */
#define ZIM_SHM_POOL_CHANGE_MOVED 6u /* a migration converted the object at offset into key */
/* A table id's slot names another layout record (offset; 0: forgotten by a
 * retirement): objects of it made from now on have that layout. */
#define ZIM_SHM_POOL_CHANGE_LAYOUT_CHANGED 7u
/* The owner handed the pool over: detach, zim_shm_pool_wait_attachable,
 * attach again and read on from the cursor. */
#define ZIM_SHM_POOL_CHANGE_HANDED_OVER 8u
#define ZIM_SHM_POOL_CHANGE_ADOPTED 9u /* a process adopted the pool */
/* A migration began: offset is its record's, key the number of objects it
 * converts (each told as moved). */
#define ZIM_SHM_POOL_CHANGE_MIGRATION_BEGUN 10u
/* The migration ended: offset is its record's, key the moves it made. */
#define ZIM_SHM_POOL_CHANGE_MIGRATION_FINISHED 11u
/* zim_shm_pool_set_root, or a migration that moved the root's object: offset
 * is the new root, pool_id its object's (0 for none). */
#define ZIM_SHM_POOL_CHANGE_ROOT_CHANGED 12u
/* The change of this sequence is unknown: its writer died between drawing the
 * sequence and publishing it, or stayed stopped past the cursor's patience. */
#define ZIM_SHM_POOL_CHANGE_LOST 13u

typedef struct zim_shm_pool_change {
  uint64_t sequence;
  uint32_t kind;     /* ZIM_SHM_POOL_CHANGE_... */
  uint32_t table_id; /* the object's; indexed, unindexed: the key's; else 0 */
  uint64_t offset;   /* the object's (zim_shm_pool_at gives its address) */
  uint64_t pool_id;  /* the object's; 0 for changes of the pool as a whole */
  uint64_t key;      /* indexed, unindexed: the key; moved: the new offset; migration begun,
                        finished: a count of objects (above); else 0 */
} zim_shm_pool_change_t;

/* A follower's place, in its own memory. patience_us: how long a drawn
 * sequence may stay unpublished before it reads as lost (0: 500 ms). */
typedef struct zim_shm_pool_cursor {
  uint64_t next; /* the next sequence to read */
  uint64_t patience_us;
  uint64_t pending, pending_since_ns; /* the cursor's own; zero at first */
} zim_shm_pool_cursor_t;

/* A cursor at the mapped pool's next change (only later changes are read)
 * with a patience of 500 ms. 0, or -1 with errno EINVAL when no versioned
 * pool is mapped or its feed is damaged (one line on stderr). */
ZIM_SIM_API int zim_shm_pool_follow(zim_shm_pool_cursor_t *cursor);

/* Up to max changes from the cursor, in sequence order, each sequence once:
 * a change, or ZIM_SHM_POOL_CHANGE_LOST. Never waits. The number stored in
 * out; *lapped is 0, or, when the cursor fell more than a ring behind, the
 * oldest sequence still in the ring: the cursor moved there, and every change
 * in between is unknown. -1 with errno EINVAL as zim_shm_pool_follow. */
ZIM_SIM_API int zim_shm_pool_changes(zim_shm_pool_cursor_t *cursor, zim_shm_pool_change_t *out,
                                     uint32_t max, uint64_t *lapped);

/* How long zim_shm_pool_wait looks again before it sleeps, in microseconds. */
#define ZIM_SHM_POOL_WAIT_SPIN_US 50u

/* Sleeps until zim_shm_pool_changes from the cursor has something to tell (a
 * change, a loss, a lap) or timeout_us pass: 1, or 0 at the timeout; -1 with
 * errno EINVAL as zim_shm_pool_follow. It first looks again for
 * ZIM_SHM_POOL_WAIT_SPIN_US (or timeout_us, if shorter), writing nothing and
 * offering its core to other threads ready to run (sched_yield) every
 * microsecond, so that a follower that keeps up with a busy writer finds the
 * next change without sleeping and its writers make no wake-up call; only
 * then does it count itself as a sleeper and sleep in a futex in the pool,
 * which writers wake, until the change or the timeout. A bounded spin, then one sleep:
 * nobody polls. */
ZIM_SIM_API int zim_shm_pool_wait(zim_shm_pool_cursor_t *cursor, uint64_t timeout_us);

/* Resyncing by versions. A follower keeps a mark: the last sequence whose
 * change, and every one before it, its view holds. When it is lapped or reads
 * a lost change, it resyncs by this call instead of copying everything: one
 * walk of the pool's blocks (its cost grows with the objects made, never with
 * the changes), visiting every live object whose version is above 2 * mark
 * and every object retired by a change after mark. A retired block is never
 * reused: its line keeps the version of the retirement (stored before the
 * block's header says retired), so a retirement is found after any lap.
 *
 * cursor is set, before the walk, at the pool's next sequence N, as
 * zim_shm_pool_follow sets it (a patience already in it is kept): every
 * change from N on is then read from the cursor, and every change before N
 * was made before the walk reached its object, so nothing falls between the
 * walk and the cursor. Afterwards the follower's mark is cursor->next - 1;
 * a change both visited and read from the cursor comes twice (an object's
 * version tells which copy is newer).
 *
 * Before reading N the call takes the pool's lock for an instant, so that
 * retirements and index changes, made under it, are whole on either side;
 * an object found with a write under way is waited for as read_begin waits.
 * An object whose write lasts past ZIM_SHM_POOL_WRITE_BOUND_US is visited
 * with its odd version and state UNDER_WAY, and counted in the result: its
 * write_end may have drawn a sequence before N, so the follower calls again
 * later (with the same mark) until the call returns 0. A torn object (state
 * TORN, its writer dead) needs no second call: whoever rewrites it draws a
 * sequence at or after N. Retired blocks of migrations and of releases that
 * did not keep the retirement's version are not visited. */
#define ZIM_SHM_POOL_OBJECT_WHOLE 0u
#define ZIM_SHM_POOL_OBJECT_UNDER_WAY 1u
#define ZIM_SHM_POOL_OBJECT_TORN 2u

typedef struct zim_shm_pool_object_version {
  uint64_t version; /* even: as copied; odd: under way or torn; retired: the retirement's */
  uint64_t pool_id;
  uint64_t offset;   /* zim_shm_pool_at gives the address; retired: where it lay */
  uint32_t table_id; /* ZIM_SHM_POOL_UNTYPED for untyped blocks */
  uint32_t kind;     /* ZIM_SHM_POOL_CHANGE_CHANGED (live) or ZIM_SHM_POOL_CHANGE_RETIRED */
  uint32_t state;    /* live objects: ZIM_SHM_POOL_OBJECT_...; retired: 0 */
  uint32_t reserved;
} zim_shm_pool_object_version_t;

/* The count of objects visited UNDER_WAY (0: the resync is complete), or -1
 * with errno: EINVAL when no versioned pool is mapped, its feed is damaged
 * or an argument is null, ECANCELED when visit returned non-zero (the walk
 * stopped there; the cursor is set all the same, so the resync is complete
 * only once a later call with the same mark returns 0). */
ZIM_SIM_API int zim_shm_pool_changed_since(uint64_t mark, zim_shm_pool_cursor_t *cursor,
                                           int (*visit)(const zim_shm_pool_object_version_t *object,
                                                        void *context),
                                           void *context);

/* The pool's index: per table id, 64-bit keys to one object each, for up to
 * index_capacity keys. Lookups take no lock; puts and removals take the
 * pool's lock, and the next writer finishes an operation whose writer died.
 * Each put and removal publishes an indexed or unindexed change.
 *
 * put: obj, a live object of the mapped pool, under (table_id, key): 0 for a
 * new key, 1 when it replaced an object (its address in *replaced when not
 * null and the object is still live; the key's indexed change tells
 * followers); -1 with errno ENOSPC when the
 * index holds index_capacity keys, EINVAL for obj not an object of the mapped
 * versioned pool, or EAGAIN (no writer slot left). */
ZIM_SIM_API int zim_shm_pool_index_put(uint32_t table_id, uint64_t key, void *obj, void **replaced);

/* The object of (table_id, key) in this process's mapping, or null with errno
 * ENOENT (no such key, or its object was retired), EBUSY (writers kept moving
 * it for every try) or EINVAL. */
ZIM_SIM_API void *zim_shm_pool_index_get(uint32_t table_id, uint64_t key);
/* The pool keeps the index through upgrades: a key whose object a migration
 * converts leads to the converted object (same pool id), and
 * zim_shm_pool_retire removes the keys of the objects it retires (each told
 * as unindexed). */

/* Removes (table_id, key): 0, or -1 with errno ENOENT, EINVAL, EAGAIN. */
ZIM_SIM_API int zim_shm_pool_index_remove(uint32_t table_id, uint64_t key);

/* Retires the live object obj of the mapped versioned pool, in the pool's
 * owner: its block is retired as zim_shm_pool_retire retires each of a table
 * id, keeping the retirement's version, and a retired change is published.
 * Keys that led to it stay and lead nowhere (zim_shm_pool_index_get: ENOENT)
 * until removed or put again: the caller's to keep. Must not race with a
 * migration or retirement of this process. 0, or -1 with errno: ENOENT
 * without a pool, EPERM in a process that does not own it, EBUSY during a
 * migration, EINVAL for obj not a live object of a versioned pool. */
ZIM_SIM_API int zim_shm_pool_retire_object(void *obj);

#ifdef __cplusplus
}
#endif

#endif /* ZIM_SIM_POOL_VERSIONS_H */
