# SPDX-License-Identifier: Apache-2.0
# zim_warnings: project code builds warning-free or not at all. Every target
# of the project links it PRIVATE; it is never installed, so targets in an
# export set link it as $<BUILD_INTERFACE:zim_warnings>.
add_library(zim_warnings INTERFACE)
target_compile_options(zim_warnings INTERFACE -Wall -Wextra -Wshadow -Werror)
