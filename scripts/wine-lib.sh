# Sourced by the scripts of the Wine steps. own_wine_prefix NAME: a Wine
# prefix of the step's own beside the default one, emptied, exported as
# TLX_WINEPREFIX, and used by one run at a time: the lock is held on file
# descriptor 7 until the script ends (close it for programs that outlive a
# command, "7>&-").
own_wine_prefix() {
  export TLX_WINEPREFIX
  TLX_WINEPREFIX=$(dirname "$(bash scripts/wine-env.sh prefix)")/$1
  mkdir -p "$(dirname "$TLX_WINEPREFIX")"
  exec 7>"$TLX_WINEPREFIX.run.lock"
  flock 7
  rm -rf "$TLX_WINEPREFIX"
}
