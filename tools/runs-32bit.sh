#!/bin/sh
# Succeeds when this machine runs 32-bit programs. A Linux kernel may be
# built or booted without IA-32 emulation ("32-bit emulation disabled" in
# its log); 32-bit Wine cannot start there at all, so the 32-bit Windows
# tests are skipped, and said to be, instead of failing for the machine.
/usr/lib/wine/wine --version >/dev/null 2>&1
