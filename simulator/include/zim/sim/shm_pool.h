/* SPDX-License-Identifier: Apache-2.0 */
/* Control of the shared-memory table pool (libzim_memory).
 *
 * The pool is one POSIX shared-memory segment. A server process creates it;
 * other processes attach to it by name and see it at another address, so
 * objects in it are reached through offsets (zim_shm_pool_offset_of,
 * zim_shm_pool_at) and fixed up after mapping. Each process maps at most one
 * pool at a time.
 *
 * Allocation (zim_shm_table_pool_calloc): the segment behind the header, up to
 * its start map (ZIM_SHM_POOL_START_MAP_SIZE), is carved into chunks of
 * ZIM_SHM_POOL_CHUNK_SIZE bytes, handed out on demand to table ids; each table
 * id bump-allocates its blocks, 16-byte aligned and rounded up to 16 bytes, in
 * its own current chunk and takes a fresh chunk when the current one cannot
 * hold a request. Every block is preceded by a block header of
 * ZIM_SHM_POOL_BLOCK_HEADER_SIZE bytes (a magic word, the table id and the
 * size requested), which takes room in the chunk too: a chunk holds headers
 * and blocks back to back, then zero bytes. A request whose block and header
 * do not fit in a chunk gets a run of its own. Blocks are never freed or
 * reused; zim_shm_pool_walk finds them all through their headers, and the
 * start map at the segment's end, which only the allocator writes, records
 * where each begins (zim_shm_pool_block_at). Untyped blocks
 * (zim_shm_pool_calloc_untyped), a server's own records, are carved the same
 * way in chunks of their own, and their headers name ZIM_SHM_POOL_UNTYPED
 * instead of a table id. The pool keeps the allocation state of a table id
 * (0 to ZIM_SHM_POOL_MAX_TABLE_ID) in an id page shared by 256 ids, carved
 * with the first block of one of them; its own records (the configuration
 * written at creation, id pages, layout records) are runs of their own, which
 * count toward no table id. Allocation is safe for concurrent callers in all
 * processes that map the pool, and for their deaths: a process killed at any instruction of an
 * allocation leaves the pool as it was before the call or after it (its block
 * then lost), the id page and layout record that a first block brings
 * included, so no block is handed out twice, overlaps the header or another
 * table id's chunk, or is handed out other than zero-filled, and the next
 * caller goes on. A migration (zim_shm_pool_migrate) retires blocks: their
 * bytes stay, but they no longer count as live objects.
 *
 * Layouts: the first pool object of a table id in a process is checked
 * against the layout the pool records for that id (zim_shm_pool_layout_record_t)
 * under the pool's lock: with no record yet, the program's layout note for the
 * id is recorded with the object; with a record of another layout, the
 * allocation returns null after one line on stderr that names the type and the
 * first difference that breaks it (except in the pool's owner, for the layout
 * that a migration under way converts the id's objects to). Libraries loaded
 * after the pool was mapped are seen: the program's notes are read again when
 * the set of loaded objects changed. An id is checked with its first object in this process: a
 * library loaded after that, carrying another layout of the id, is held
 * against the pool only once another id's first object has read the notes
 * again, which checks every id afresh. Two notes of different layouts for one table id in one
 * program are refused the same way, at attach and at allocation. A program without a note for an id
 * (see zim_shm_pool_layout_record_t) allocates unchecked.
 *
 * Sizes: every object of a table id the program carries a layout note of,
 * the first and every later one, must have a size that the note's layout
 * gives at this process's NPD size of the id and N, for some 32-bit count
 * (at most 2^32 - 1 bytes); any other size returns null after one line on
 * stderr naming the type, its id, the size and the sizes the layout gives.
 * It comes from a table library of another layout than the program's.
 *
 * A stopped lock holder: allocations, zim_shm_pool_table_bytes and
 * zim_shm_pool_table_blocks take the pool's lock for a few instructions. A
 * process stopped while it holds it (SIGSTOP, Ctrl-Z, a debugger, a frozen
 * cgroup) is not dead, so nothing frees the lock: every such call in every
 * process that maps the pool waits until the holder runs again or dies. A
 * caller that has waited 5 s says so on stderr, once per process and stalled
 * holding, with its own and the holder's process ids and how long it has
 * waited, and goes on waiting.
 *
 * Default pool: when zim_shm_table_pool_calloc is called while no pool is
 * mapped, the process creates one, as zim_shm_pool_create would, from
 *   ZIM_SHM_POOL_NAME  segment name, "/" then 1 to 254 characters without
 *                      "/", not "/." or "/.."; default "/zim_table_pool.<pid>";
 *   ZIM_SHM_POOL_SIZE  size in bytes, decimal without a leading zero, at least
 *                      ZIM_SHM_POOL_MIN_SIZE; default ZIM_SHM_POOL_DEFAULT_SIZE
 *                      (64 MiB).
 * An unusable value, the empty one included, ends the process with exit
 * status 2 and a message.
 *
 * Names: a pool owns its name while its owner lives: its creator, then each
 * process that adopts it (zim_shm_pool_adopt); a child the owner forks shares
 * the owner's claim until the child detaches, maps a pool of its own or ends.
 * A name leads to a pool only once the pool is complete: the creator builds
 * it in an unnamed file of /dev/shm (O_TMPFILE, so /dev/shm must be a tmpfs
 * that supports it) and links it under its name as the last step. Creating a
 * pool of a name in use by a live pool fails; a complete pool of this version
 * whose owner is gone, however it ended, is stale and replaced, unless it is
 * kept (handed over or adopted: creating fails, adopt or destroy it);
 * anything else under the name (another program's segment, a pool of another
 * version or cut short, a directory, a link) is left alone and the creation
 * fails.
 *
 * Lifetime: the process that created a pool removes its name when it detaches,
 * destroys it, exits normally or stops on SIGABRT (an abort, as after a failed
 * check; the handler is installed at creation, removes the name, then passes
 * the signal on to the disposition it found), but only while the name still
 * leads to its own segment: it moves the name aside in one step, checks what
 * it moved, and puts back anything else, so a name that has passed to
 * another pool is never removed. A pool inherited through fork is never
 * removed by the child. Other processes cannot remove a pool whose owner
 * lives (zim_shm_pool_destroy). A creator killed otherwise leaves the complete
 * pool, which the next creation of its name replaces, or anyone's
 * zim_shm_pool_destroy removes. A kept pool (one handed over or adopted)
 * outlives every owner, however it ends: only zim_shm_pool_destroy removes
 * its name, by its owner, or by anyone once the owner is gone. Mapping,
 * detaching and destroying must not race with allocations in the same
 * process.
 *
 * What a process that maps a pool cannot survive: the segment is a file of
 * /dev/shm that every process of the pool's user may write, and a tmpfs file
 * cannot be sealed against shrinking. A process of that user that cuts the
 * segment short (ftruncate) kills every process that then touches a mapped
 * page past the new end with SIGBUS, and one that writes the pool's header or
 * start map can make allocations fail or overlap. The pool guards against its
 * own processes dying at any point (see Allocation) and against hostile bytes
 * in what it reads through zim_shm_pool_walk (never mapped, so a cut is an
 * error there), not against a writer of the same user. */
#ifndef ZIM_SIM_SHM_POOL_H
#define ZIM_SIM_SHM_POOL_H

#include <stdint.h>
#include <zim/sim/export.h>
#include <zim/sim/pool_records.h>
#include <zim/tables/platform.h>

#ifdef __cplusplus
extern "C" {
#endif

#define ZIM_SHM_POOL_HEADER_SIZE 16384u /* offset of the first chunk */
#define ZIM_SHM_POOL_CHUNK_SIZE 65536u
#define ZIM_SHM_POOL_ALIGN 16u
#define ZIM_SHM_POOL_BLOCK_HEADER_SIZE 16u /* in front of every block */
#define ZIM_SHM_POOL_MIN_SIZE (ZIM_SHM_POOL_HEADER_SIZE + 32768u)
/* Bytes at the end of a pool of `size` bytes (below `size` rounded down to
 * ZIM_SHM_POOL_ALIGN) that record where its blocks start, a bit for every
 * ZIM_SHM_POOL_ALIGN bytes after the header; blocks are carved before them,
 * so a pool of `size` bytes holds at most size - ZIM_SHM_POOL_HEADER_SIZE -
 * ZIM_SHM_POOL_START_MAP_SIZE(size) bytes of blocks and block headers. */
#define ZIM_SHM_POOL_START_MAP_SIZE(size) \
  ((((size)-ZIM_SHM_POOL_HEADER_SIZE) / ZIM_SHM_POOL_ALIGN + 127u) / 128u * 16u)
#define ZIM_SHM_POOL_DEFAULT_SIZE (64u * 1024u * 1024u)
/* zim_shm_pool_offset_of for a pointer outside the pool. */
#define ZIM_SHM_POOL_BAD_OFFSET UINT64_MAX

/* Creates the pool `name` ("/" then 1 to 254 characters without "/", not "/."
 * or "/..") of `size` bytes, replacing a stale pool of that name, and maps it.
 * 0 on success; -1 with errno on failure: EINVAL for a bad name or a size
 * below ZIM_SHM_POOL_MIN_SIZE, EBUSY when this process already maps a pool,
 * ENOSPC when the pool cannot hold its configuration record (zim_shm_pool_config_t),
 * EEXIST with a message on stderr when a live pool owns the name (the message
 * names its owner's process id), a kept pool has it (the message ends "handed
 * over: adopt or destroy it") or something that is not a complete pool of
 * this version has it (nothing of it is touched), EOPNOTSUPP with a message
 * when /dev/shm cannot hold unnamed files, or the error of the failing system
 * call. A creator killed during creation leaves nothing under the name, or a
 * complete pool that the next creation of the name replaces. */
ZIM_SIM_API int zim_shm_pool_create(const char *name, uint64_t size);

/* Maps the existing pool `name` at an address other than its creator's, once
 * it has checked that this process reads the pool's objects as their makers
 * wrote them (the handshake). 0 on success; -1 with errno on failure: EINVAL
 * for a bad name or a segment that is not a pool (or whose records are
 * damaged), EBUSY when this process already maps a pool or, with a message on
 * stderr, while the pool's owner migrates its objects (attach again once
 * zim_shm_pool_migrate has returned), EPROTO when the handshake refuses the
 * pool, or the error of the failing system call. The
 * handshake refuses, with one line on stderr for each difference and nothing
 * mapped afterwards, a pool made for another number of NPUs or another NPD
 * size of any table id than this process's configuration (zim/sim/config.h:
 * a different default is reported once, then each table id whose own size
 * differs), and a pool that holds objects of a table id whose layout record
 * differs from the layout note this program carries for it (naming the type
 * and the first difference that breaks it). Table ids this program carries no
 * note for are no reason to refuse. Its cost grows with the table ids that
 * hold objects and the configuration's entries, not with the objects. A pool
 * inherited through fork does not count as mapped: attaching replaces it.
 * While it maps the pool, an attacher holds a shared lock (F_OFD_SETLK) on
 * one byte of the segment far past its end, which names the pool's adoption
 * epoch and its process id: how a migration learns who maps the pool and
 * whether it attached before its owner adopted the pool. */
ZIM_SIM_API int zim_shm_pool_attach(const char *name);

/* Unmaps the pool; the creator of a pool not handed over also removes its
 * name, if the name still leads to its pool. No-op without a pool. */
ZIM_SIM_API void zim_shm_pool_detach(void);

/* Unmaps the pool and removes its name, if the name still leads to it. 0 on
 * success, also without a pool. In a process that does not own the pool (its
 * creator or adopter; a child that inherited it through fork does not) only
 * once the pool's owner is gone; while the owner lives, -1 with errno EPERM and a message on stderr
 * naming the owner's process id, and the pool stays mapped and named. -1 with
 * the error of the failing system call when the name cannot be checked. */
ZIM_SIM_API int zim_shm_pool_destroy(void);

/* Removes the name of the pool `name` without mapping it, as
 * zim_shm_pool_destroy does in a process that does not own the pool: only
 * once its owner is gone (a kept pool whose adopter ended, or a pool whose
 * creator was killed). 0 on success; -1 with errno: EPERM and a message on
 * stderr naming the owner's process id while the owner lives (the pool stays),
 * EINVAL for a bad name or when the name leads to something that is not a
 * complete pool of this version (left alone), ENOENT when no such name
 * exists, or the error of the failing system call. Processes that map the
 * pool keep their mapping. */
ZIM_SIM_API int zim_shm_pool_destroy_name(const char *name);

/* Name, start address and size of the mapped pool; null, null and 0 without
 * one. */
ZIM_SIM_API const char *zim_shm_pool_name(void);
ZIM_SIM_API void *zim_shm_pool_base(void);
ZIM_SIM_API uint64_t zim_shm_pool_size(void);

/* Offset of p from the pool's start; ZIM_SHM_POOL_BAD_OFFSET when p is not in
 * the mapped pool. */
ZIM_SIM_API uint64_t zim_shm_pool_offset_of(const void *p);

/* Address of an offset in the mapped pool; null when it lies outside the part
 * carved into chunks and runs so far: the header, offset 0 included, and what
 * lies past the carve point. Not a check that a block starts there: see
 * zim_shm_pool_block_at. */
ZIM_SIM_API void *zim_shm_pool_at(uint64_t offset);

/* Address of the block that starts at `offset` of the mapped pool (its first
 * byte, after its block header), with its table id (ZIM_SHM_POOL_UNTYPED for
 * an untyped block, or one of the pool's own record tags) in *table_id and the size requested in
 * *size, either of them may be null; null when no block handed out starts there, when the block
 * there is retired (zim_shm_pool_migrate) or without a pool.
 * Constant time, without the pool's lock: it reads the start map, so bytes inside a block that look
 * like a block header never count. A block in the making in another process may be found before its
 * allocation returns (zero-filled then). Lets a client check what the root slot or a record names
 * before it touches it. */
ZIM_SIM_API void *zim_shm_pool_block_at(uint64_t offset, uint32_t *table_id, uint64_t *size);

/* A shared slot through which a server publishes one object (for example a
 * directory of tables) to the processes that attach: an offset, 0 for none.
 * zim_shm_pool_root returns 0 without a pool; setting it without one does
 * nothing. */
ZIM_SIM_API void zim_shm_pool_set_root(uint64_t offset);
ZIM_SIM_API uint64_t zim_shm_pool_root(void);

/* The table id that untyped blocks stand under, in a walk's pieces and for
 * zim_shm_pool_table_bytes and zim_shm_pool_table_blocks. */
#define ZIM_SHM_POOL_UNTYPED (UINT32_MAX - 1)

/* A zero-filled block of `size` bytes that holds no table object: for a
 * server's own records, such as a directory of its objects that it publishes
 * through the root slot. Allocated, aligned and crash-safe as
 * zim_shm_table_pool_calloc's blocks (and in the default pool when none is
 * mapped), never freed; a walk reports it with table id ZIM_SHM_POOL_UNTYPED.
 * Null for size 0 or when the pool cannot hold it. */
ZIM_SIM_API void *zim_shm_pool_calloc_untyped(uint64_t size);

/* Bytes (each block rounded up to ZIM_SHM_POOL_ALIGN, block headers not
 * counted) and live blocks (retired ones not counted) handed out to a table
 * id (0 to ZIM_SHM_POOL_MAX_TABLE_ID),
 * or to the untyped blocks for ZIM_SHM_POOL_UNTYPED; 0 for any other id or
 * without a pool. */
ZIM_SIM_API uint64_t zim_shm_pool_table_bytes(uint32_t table_id);
ZIM_SIM_API uint64_t zim_shm_pool_table_blocks(uint32_t table_id);

/* Draws the next value of the pool's uid counter, shared by every process that
 * maps the pool: 1 to 0x7fffffff, wrapping around. 0 when no pool is mapped. */
ZIM_SIM_API uint32_t zim_shm_pool_next_uid(void);

/* One piece of a pool found by zim_shm_pool_walk. */
typedef struct zim_shm_pool_piece {
  uint64_t offset;   /* from the pool's first byte: the block's first byte (after its header), or
                        the first unrecognised byte */
  uint64_t size;     /* a block: the size requested; damage: the number of unrecognised bytes */
  uint32_t table_id; /* a block: its table id, ZIM_SHM_POOL_UNTYPED for an untyped block, or
                        one of the pool's own records (ZIM_SHM_POOL_CONFIG, ZIM_SHM_POOL_LAYOUT,
                        ZIM_SHM_POOL_ID_PAGE, ZIM_SHM_POOL_MIGRATION, a versioned pool's
                        ZIM_SHM_POOL_VERSION_LINE); ZIM_SHM_POOL_DAMAGED: bytes that are neither a
                        block nor free space */
  uint32_t is_root;  /* 1 for the block that the root slot names (zim_shm_pool_root), else 0 */
  const void *data;  /* the piece's bytes: zim_shm_pool_walk, a copy valid during the visit only;
                        zim_shm_pool_walk_mapped, the piece in the pool;
                        zim_shm_pool_walk_headers, null */
  uint32_t retired;  /* 1 for a block whose object a migration replaced or that was retired
                        (zim_shm_pool_retire): its bytes stay, but it is no live object */
  uint32_t reserved; /* 0 */
} zim_shm_pool_piece_t;
#define ZIM_SHM_POOL_DAMAGED UINT32_MAX

/* Reads the pool `name`, without taking its lock or claiming its name, and
 * calls visit for every block handed out, in address order, and for every
 * stretch of bytes in the carved part that is neither a block nor free (zero)
 * space. Returns 0 after the last piece, or the first non-zero value visit
 * returns (the walk stops there); -1 with errno when the pool cannot be
 * walked: EINVAL for a bad name or a segment that is not a complete pool of
 * this version, ENODATA when the segment shrank below its carved part during
 * the walk (the pieces visited until then stand), ENOMEM when a block does not
 * fit in memory, or the error of the failing system call. The segment is read,
 * not mapped, so a segment cut short meanwhile is an error, never a signal;
 * the walk holds one block's bytes at a time, for the visit that gets them,
 * and a window of block headers. A walk alongside allocations in other processes
 * may miss the newest blocks, or catch one in the making: a block not yet
 * returned, or its header half written (16 damaged bytes). So may a walk after
 * a process died allocating, until another process takes the pool's lock and
 * clears what it left. Whatever the segment holds, the walk reads only inside
 * it, and every piece lies inside it. */
ZIM_SIM_API int zim_shm_pool_walk(const char *name,
                                  int (*visit)(const zim_shm_pool_piece_t *piece, void *context),
                                  void *context);

/* Why a pool cannot be walked (zim_shm_pool_walk_facts_t::fault):
 *   NONE        walkable, or a system call failed (errno says which)
 *   NAME        not "/" then 1 to 254 characters without "/", or "/." or "/.."
 *   EMPTY       the segment holds no byte
 *   NOT_A_POOL  no pool header: another program's segment, or no regular file
 *   VERSION     a pool of another layout version
 *   CUT_SHORT   smaller than its header says, or than any pool
 *   EXTENDED    larger than its header says
 *   CARVE       its carve point lies outside it or off a ZIM_SHM_POOL_ALIGN line
 *   SHRANK      cut below its carved part during the walk */
#define ZIM_SHM_POOL_FAULT_NONE 0u
#define ZIM_SHM_POOL_FAULT_NAME 1u
#define ZIM_SHM_POOL_FAULT_EMPTY 2u
#define ZIM_SHM_POOL_FAULT_NOT_A_POOL 3u
#define ZIM_SHM_POOL_FAULT_VERSION 4u
#define ZIM_SHM_POOL_FAULT_CUT_SHORT 5u
#define ZIM_SHM_POOL_FAULT_EXTENDED 6u
#define ZIM_SHM_POOL_FAULT_CARVE 7u
#define ZIM_SHM_POOL_FAULT_SHRANK 8u

/* What a walk by name learnt of the segment besides its pieces. */
typedef struct zim_shm_pool_walk_facts {
  uint64_t root;           /* the root slot as the walk read it; 0 for none */
  uint32_t fault;          /* ZIM_SHM_POOL_FAULT_*: why the walk failed, if for one of these */
  uint32_t layout_version; /* the segment's, when it has a pool's header; else 0 */
} zim_shm_pool_walk_facts_t;

/* zim_shm_pool_walk without copies, for a reader whose memory must not grow
 * with the blocks: every piece's data is null, and a visit reads what it needs
 * with zim_shm_pool_piece_read; a visit that returns non-zero stops the walk
 * there, as above. Errors as zim_shm_pool_walk's (never ENOMEM); *facts (when
 * facts is not null) says why a segment cannot be walked, EINVAL or ENODATA
 * then. */
ZIM_SIM_API int zim_shm_pool_walk_headers(const char *name,
                                          int (*visit)(const zim_shm_pool_piece_t *piece,
                                                       void *context),
                                          void *context, zim_shm_pool_walk_facts_t *facts);

/* Copies `size` bytes of the piece being visited, from `from` on (relative to
 * the piece's first byte), into `to`; valid only during that piece's visit, on
 * the visiting thread, in any of the walks. 0, or -1 with errno: EINVAL when
 * piece is not the piece being visited or the bytes lie outside it, ENODATA
 * when the segment no longer holds them (cut short meanwhile). */
ZIM_SIM_API int zim_shm_pool_piece_read(const zim_shm_pool_piece_t *piece, uint64_t from,
                                        uint64_t size, void *to);

/* The same walk over the pool this process maps, in its own mapping (data
 * points into the pool); -1 with errno ENOENT without one. Must not race with
 * mapping, detaching or destroying the pool in this process, nor with a cut of
 * the segment (a mapping past the end raises SIGBUS). */
ZIM_SIM_API int zim_shm_pool_walk_mapped(int (*visit)(const zim_shm_pool_piece_t *piece,
                                                      void *context),
                                         void *context);

#ifdef __cplusplus
}
#endif

/* Hand-over, adoption and migration of a pool's objects to new layouts. */
#include <zim/sim/pool_upgrade.h>
/* Versioned pools: object versions, pool ids, write brackets. */
#include <zim/sim/pool_versions.h>
/* Upgrading a pool of layout version 8 to a versioned one, in place. */
#include <zim/sim/pool_format_upgrade.h>

#endif /* ZIM_SIM_SHM_POOL_H */
