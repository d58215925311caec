# Sourced by the scripts that run Windows programs under Wine. Sets wine (the 64-bit loader),
# wine32 (the 32-bit one, package wine32:i386) and wineserver, and
# prepare_wine_prefix DIR makes (on first use) and exports a prefix with Wine's own fonts
# (Debian's fonts-wine) in its Fonts folder: with them MS Sans Serif 8 has the dialog base units
# Windows gives it (6 by 13 pixels) and the About box its Windows size, 304 by 430 pixels. Without
# them Wine takes Liberation Sans (6 by 12) and the dialog comes out 398 pixels high, cutting off
# the OK button.

wine=/usr/lib/wine/wine64
wine32=/usr/lib/wine/wine
wineserver=/usr/lib/wine/wineserver
[ -x "$wineserver" ] || wineserver=/usr/lib/wine/wineserver64

prepare_wine_prefix() {
  export WINEPREFIX="$1" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  # A prefix made before Wine's 32-bit half was installed runs no 32-bit program: make it anew.
  if [ -d "$WINEPREFIX/drive_c/windows" ] && [ -x "$wine32" ] &&
     [ ! -f "$WINEPREFIX/drive_c/windows/syswow64/kernel32.dll" ]; then
    rm -rf "$WINEPREFIX"
  fi
  if [ ! -d "$WINEPREFIX/drive_c/windows/Fonts" ]; then
    "$wine" wineboot -i > /dev/null 2>&1
    # Wait for the session to end: a desktop process left from it has no display.
    "$wineserver" -w
  fi
  local font
  for font in marlett.ttf tahoma.ttf tahomabd.ttf sserife.fon ms_sans_serif.ttf; do
    if [ -f "/usr/share/wine/fonts/$font" ]; then
      cp "/usr/share/wine/fonts/$font" "$WINEPREFIX/drive_c/windows/Fonts/"
    fi
  done
}
