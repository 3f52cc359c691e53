# Sourced by the scripts that run Win32 programs: a quiet, headless Wine with a
# prefix of its own, and a wineserver kept alive so that each test start is fast.
export WINEPREFIX="${WINEPREFIX:-$HOME/.wine}"
export WINEARCH=win64
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d;winedbg.exe=d"
unset DISPLAY
if [[ ! -d "$WINEPREFIX/drive_c" ]]; then
    echo "Creating the Wine prefix (once)..."
    /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1 || true
fi
# Detached from our pipes, so ctest does not wait on it.
(setsid /usr/lib/wine/wineserver -p120 </dev/null >/dev/null 2>&1 &)
/usr/lib/wine/wine64 wineboot >/dev/null 2>&1 || true
