#!/bin/sh
# Strips a program for the Debian package the way Debian's own packaging does:
# the symbols, and the compiler's version notes, which nothing reads.
exec strip --remove-section=.comment --remove-section=.note "$@"
