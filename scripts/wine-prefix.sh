# shellcheck shell=bash
# Sourced, not run, by the scripts that start Windows programs (scripts/release.sh,
# scripts/test-windows.sh): the one place that prepares Wine for them. Wine runs headless, 64-bit,
# quiet, in a prefix of the caller's choosing, which the caller removes.

# wine_prefix_start DIR: creates a prefix in DIR and exports the environment that selects it.
wine_prefix_start() {
  wine_prefix_started=$1
  export WINEPREFIX=$1
  export WINEARCH=win64
  export WINEDEBUG=-all
  # No Mono or Gecko installers, no windows: nothing here needs them.
  export WINEDLLOVERRIDES="mscoree,mshtml="
  unset DISPLAY WAYLAND_DISPLAY
  echo "== creating the Wine prefix $WINEPREFIX"
  timeout 300 wineboot -i >/dev/null 2>&1
  timeout 120 wineserver -w
}

# wine_prefix_stop: ends the Wine server of the prefix wine_prefix_start made, if any, so that its
# folder can go; a prefix the caller's environment named is left alone.
wine_prefix_stop() {
  [ -z "${wine_prefix_started:-}" ] ||
    WINEPREFIX=$wine_prefix_started timeout 30 wineserver -k >/dev/null 2>&1 || true
}
