#!/bin/sh
# Runs a Windows program under Wine for the build and the tests: no display,
# no debug chatter, no offer to install Mono or Gecko, and a Wine prefix of
# its own (kept between runs, since creating one takes several seconds).
: "${WINEPREFIX:=${XDG_CACHE_HOME:-${HOME:-/tmp}/.cache}/zmrgen/wine}"
: "${WINEDEBUG:=-all}"
: "${WINEDLLOVERRIDES:=mscoree,mshtml=}"
export WINEPREFIX WINEDEBUG WINEDLLOVERRIDES
unset DISPLAY WAYLAND_DISPLAY
mkdir -p "$(dirname "$WINEPREFIX")"
exec wine "$@"
