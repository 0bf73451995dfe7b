/* SPDX-License-Identifier: Apache-2.0 */
/* Fills the pool NAME with objects of a user's catalogue (table ids from 1000)
 * and of the platform's, then runs COMMAND while the pool lives and exits
 * with its status: pool_writer NAME COMMAND... */
#define _POSIX_C_SOURCE 200809L /* fork, execvp, waitpid */
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zim/sim/shm_pool.h>
#include <zim/tables/olist.h>
#include <zim/tables/port_entry.h>
#include <zim/tables/route_list.h>

int main(int argc, char **argv) {
  int status = 1;
  pid_t child;
  if (argc < 3) return fputs("usage: pool_writer NAME COMMAND...\n", stderr), 2;
  if (zim_shm_pool_create(argv[1], 1 << 22) != 0) return perror("create"), 1;
  if (!zim_srv_route_list_ctor_with_shm(3) || !zim_srv_port_entry_ctor_with_shm() ||
      !zim_srv_olist_ctor_with_shm(3)) {
    return perror("allocate"), 1;
  }
  fflush(stdout);
  child = fork();
  if (child == 0) {
    execvp(argv[2], argv + 2);
    _exit(127);
  }
  if (child < 0 || waitpid(child, &status, 0) != child) return perror("run"), 1;
  zim_shm_pool_detach();
  return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
