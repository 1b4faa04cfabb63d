# Sourced by the scripts that run the Windows executables under Wine (the
# end-to-end tests, the benchmark): starts Wine in a throwaway prefix and
# removes it again. Whatever the runs leave in the prefix (the seek-table
# cache under its ProgramData included) goes with it.
#
#   start_wine_prefix    sets and exports WINEPREFIX and starts Wine there
#   stop_wine_prefix     stops Wine and removes the prefix

start_wine_prefix() {
    throwaway_wine_prefix=$(mktemp -d "${TMPDIR:-/tmp}/trakmap-wine-XXXXXX")
    export WINEPREFIX=$throwaway_wine_prefix
    export WINEDEBUG=-all
    export WINEDLLOVERRIDES='mscoree,mshtml,winemenubuilder.exe='
    # Without a display, message boxes return at once instead of waiting for
    # a click. Sheet and file names are UTF-8 on the Unix side, whatever the
    # caller's locale.
    unset DISPLAY WAYLAND_DISPLAY
    export LC_ALL=C.UTF-8
    wineboot -i >/dev/null 2>&1
    # Let the prefix's first start finish completely, then keep its server up
    # between the many short runs, and start its services now, with their
    # output discarded: a service started by a run whose output is a pipe
    # would hold that pipe open.
    wineserver -w
    wineserver -p >/dev/null 2>&1 || true
    wine cmd /c exit </dev/null >/dev/null 2>&1 || true
}

# Touches only a prefix that start_wine_prefix made, never one the caller had.
stop_wine_prefix() {
    if [ -n "${throwaway_wine_prefix:-}" ] && [ -d "$throwaway_wine_prefix" ]; then
        WINEPREFIX=$throwaway_wine_prefix wineserver -k >/dev/null 2>&1 || true
        rm -rf "$throwaway_wine_prefix"
    fi
}
