# SPDX-License-Identifier: Apache-2.0
# zim_hardening: the installed programs and platform libraries are built as a
# distribution builds its own: stack protector and fortified libc calls, and
# a read-only GOT bound at load time. Targets link it PRIVATE as
# $<BUILD_INTERFACE:zim_hardening>. Table libraries take only the link part,
# from zim_tables_add_library: their units call nothing but the platform's
# operations, calloc, free, memcpy and __assert_fail, so neither
# __stack_chk_fail nor __memcpy_chk may appear in them.
add_library(zim_hardening INTERFACE)
# Fortification needs an optimised build; unoptimised it only warns.
target_compile_options(zim_hardening INTERFACE -fstack-protector-strong
  $<$<NOT:$<CONFIG:Debug>>:-U_FORTIFY_SOURCE -D_FORTIFY_SOURCE=2>)
target_link_options(zim_hardening INTERFACE LINKER:-z,relro LINKER:-z,now)
